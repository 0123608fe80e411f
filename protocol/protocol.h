// The tagged message protocol: its ports and sizes, the forward-only scanner and the
// per-message dispatcher, shared by quorvane and quorvane_tcp.
#pragma once

#include "platform.h"
#include "ports.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr std::size_t receive_buffer_size = 1350;
constexpr std::size_t max_message_size = 1342;  // leaves 8 spare bytes in the receive buffer
constexpr std::size_t rtp_packet_offset = 11;   // just past "<RTPPacket>"
constexpr std::size_t rtp_packet_size = 1328;

// The message text: the received bytes up to the first NUL, or all of them.
std::string_view message_text(const unsigned char* buffer, std::size_t received);

// read_tag: the bytes between the next '<' at or after the cursor and the '>' after it;
// the cursor is left on that '>'. read_text mirrors it: between the next '>' and the '<'
// after it, cursor left on that '<'. An unclosed result runs to the end of the text,
// with the cursor one past the last byte; no opening delimiter gives "" and the same cursor.
std::string read_tag(std::string_view text, std::int32_t& cursor);
std::string read_text(std::string_view text, std::int32_t& cursor);

constexpr int message_handled = 0;
constexpr int message_bad_envelope = -1;  // a Msg envelope whose closing tag is not "/Msg"

// Whether handle_message relays the message, and so writes an RTP trace: its first tag is RTPPacket.
bool is_rtp_packet_message(std::string_view text);
// Whether handle_message may answer the message's sender: a catalogue request (a Msg envelope
// with code 1) or a channel join. Nothing else draws a reply.
bool draws_reply(std::string_view text);

// What a program does with each message type the dispatcher acts on. Each program builds its
// own table in its main and hands it to its loop; tests hand in recording ones the same way.
// The two that answer return the bytes they sent to peer, 0 when nothing left.
struct message_handlers {
    // A Msg envelope with code 1: send the catalogue to peer on service_socket.
    std::size_t (*answer_catalogue_request)(socket_handle service_socket, const sockaddr_in& peer);
    // ChView: register peer in the named channel and send it the channel's neighbours.
    std::size_t (*answer_channel_join)(socket_handle service_socket, const sockaddr_in& peer,
                                       const std::string& channel_name);
    // RTPPacket: `message` holds `received` bytes, every position past them reads as zero;
    // `packet_copy` has room for one packet. Trace it, then forward it to relay_endpoint.
    void (*relay_rtp_packet)(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                             const sockaddr_in& relay_endpoint, unsigned char* packet_copy);
};

// Handles one received message completely: reads its type and calls the program's handler
// for it; replies go out on service_socket to peer.
// `received` is the number of bytes the receive delivered into `buffer`. Where `replied` is
// given it receives the bytes sent to peer, 0 when nothing was.
int handle_message(const message_handlers& handlers, const unsigned char* buffer, std::size_t received,
                   socket_handle service_socket, const sockaddr_in& peer, std::size_t* replied = nullptr);
