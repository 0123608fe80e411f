// quorvane_peer: a peer's side of the wire protocol, for checking a live tracker. Owns the
// wire messages a peer sends, the check and indented rendering of the reply documents, and
// the exchanges: one UDP request and its reply, or playing the tracker host for quorvane_tcp.
//
// Linux only, unlike the programs it checks: its exchanges use the system's sockets directly,
// beside platform/, for what only Linux tells and the tool is about: IP_RECVERR, so that a port
// nobody serves shows as refused rather than as silence, and SIOCOUTQ, to know that quorvane_tcp
// has taken every byte sent before hanging up; and a listener for host mode. platform/ keeps to
// what the three programs need on both systems.
#pragma once

#include "platform.h"

#include <string>
#include <string_view>
#include <vector>

// Exit statuses of quorvane_peer.
constexpr int peer_ok = 0;
constexpr int peer_failed = 1;     // usage, a bad host, port or file, a socket that failed
constexpr int peer_no_reply = 2;   // no reply within the time-out, the tracker's port refused, or
                                   // the tracker's network or host cannot be reached
constexpr int peer_malformed = 3;  // a reply that is not the document the message asks for

// The reply a message gets, by its first tag: "<Msg>1</Msg>" gets Channels, a ChView
// message gets Neighbors, every other message gets none.
constexpr int reply_none = 0;
constexpr int reply_channels = 1;
constexpr int reply_neighbors = 2;
int expected_reply(std::string_view message);

// Messages. Each returns peer_ok and the message, or peer_failed and why not.
std::string catalogue_message();
// A name holding '<' or a NUL byte, or a message longer than the tracker takes, is refused.
int join_message(const std::string& channel_name, std::string* message, std::string* error);
// A packet file is whole 1328-byte RTP packets back to back; one RTPPacket message each.
int rtp_messages(const std::string& file_bytes, std::vector<std::string>* messages, std::string* error);
// The RTP sequence number of an RTPPacket message (packet bytes 2 and 3, big-endian).
unsigned rtp_sequence_number(const std::string& message);

// Replies. "" when the reply is one whole document of the kind, NUL-terminated; else what
// is wrong with it.
std::string reply_fault(const std::string& reply, int kind);
// The document (NUL dropped) with one element per line, nested elements indented by two
// spaces, and control bytes and backslashes written as \xNN and \\ so that nothing a name
// holds can act on the terminal.
std::string indented_document(std::string_view document);

struct peer_options {
    sockaddr_in tracker{};   // the tracker's UDP address (host mode: unused)
    sockaddr_in local{};     // the source address of requests; host mode listens on it
    int timeout_ms = 3000;   // the wait for each reply
    int wait_ms = 60000;     // host mode: the wait for quorvane_tcp's connection
    int interval_ms = 10;    // rtp: the pause between packets
    int gap_ms = 200;        // host mode: the pause after a message that gets no reply
    bool raw = false;        // write replies as received, NUL included
};

// One request over UDP and its reply. Returns peer_ok with the reply, or peer_no_reply or
// peer_failed with the reason in error.
int ask_tracker(const peer_options& options, const std::string& message, std::string* reply, std::string* error);
// Sends each message as a datagram of its own, options.interval_ms apart; nothing is awaited.
// `sent` counts the messages that left.
int send_to_tracker(const peer_options& options, const std::vector<std::string>& messages, std::size_t* sent,
                    std::string* error);

// Host mode: listens on TCP options.local, accepts one connection within options.wait_ms,
// sends each message and waits for the reply that it gets (a NUL-terminated document);
// after a message that gets none, waits options.gap_ms so that the next message arrives
// as a receive of its own. Every reply, expected or not, is handed to print_reply.
// Returns peer_ok, or the first failure's status with the reason in error: peer_failed when
// it cannot listen, peer_no_reply when no connection or reply came.
int play_tracker_host(const peer_options& options, const std::vector<std::string>& messages,
                      int (*print_reply)(const std::string& reply, int kind), std::string* error);
