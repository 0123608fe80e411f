// The RTP trace and the relay step: a table-driven formatter that writes the trace into a
// caller's buffer, and the relay that copies, traces and forwards one packet, unchanged, as
// one 1328-byte datagram to the relay listener.
#pragma once

#include "platform.h"
#include "protocol.h"

#include <cstddef>

// quorvane writes the full trace: header fields, relay index, 18 spaces, the word dump and
// four line ends. quorvane_tcp writes the header fields and the relay index on one line.
enum rtp_trace_variant { rtp_trace_full, rtp_trace_one_line };

// The word dump reads three bytes past the packet: message bytes 11 to 1341.
constexpr std::size_t rtp_window_size = rtp_packet_size + 3;

// Longest trace: fields 1 to 6 in at most 8+4+2+2+4+4 hex digits, field 7 in at most 5
// decimal digits, each with its space, and the one-digit index (37 bytes); then 18 spaces,
// 1328 words of at most 8 digits and a space, and four line ends.
constexpr std::size_t rtp_trace_capacity = 37 + 18 + rtp_packet_size * 9 + 4;

// Fills window (rtp_window_size bytes) with message bytes 11 to 1341. The message holds
// `received` bytes: every position at or past that reads as zero, never as a stale byte.
void read_packet_window(const unsigned char* message, std::size_t received, unsigned char* window);

// Writes the trace of the packet at the start of window into trace, which must have room
// for rtp_trace_capacity bytes even when the trace is shorter: the writer stores eight
// bytes at a time. Returns the length of the trace.
std::size_t format_rtp_trace(const unsigned char* window, rtp_trace_variant variant, char* trace);

// The relay step: copies the packet into packet_copy (rtp_packet_size bytes), writes the
// trace whole to standard output, and only then sends the 1328 bytes on relay_socket to
// relay_endpoint. Failures are not reported.
void relay_packet_with_trace(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                             const sockaddr_in& relay_endpoint, unsigned char* packet_copy,
                             rtp_trace_variant variant);

// The relay steps the programs hand to the dispatcher (message_handlers::relay_rtp_packet):
// quorvane's, with the full trace, and quorvane_tcp's, with the one-line trace.
void relay_with_full_trace(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                           const sockaddr_in& relay_endpoint, unsigned char* packet_copy);
void relay_with_one_line_trace(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                               const sockaddr_in& relay_endpoint, unsigned char* packet_copy);
