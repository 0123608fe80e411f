// The tagged message protocol: the forward-only scanner and the per-message dispatcher,
// shared by quorvane and quorvane_tcp.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// Handles one received message completely: reads its type and calls the catalogue,
// channel-join or relay step; replies go out on service_socket to peer.
// `received` is the number of bytes the receive delivered into `buffer`.
int handle_message(const unsigned char* buffer, std::size_t received, socket_handle service_socket,
                   const sockaddr_in& peer);
