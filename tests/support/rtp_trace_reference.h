// An independent reference for the RTP trace and the relay datagram, written with printf
// formats straight from the header-field values, to check the table-driven formatter against.
#pragma once

#include <string>

// The byte at a message position: past the received bytes it reads as zero.
unsigned char message_byte(const std::string& message, std::size_t position);
// The 1328 packet bytes the relay sends for this message.
std::string expected_datagram(const std::string& message);
// quorvane's full trace, and quorvane_tcp's one-line trace.
std::string expected_full_trace(const std::string& message);
std::string expected_one_line_trace(const std::string& message);
// "<RTPPacket>" followed by the packet bytes and `tail` bytes after them.
std::string rtp_message(const std::string& packet, const std::string& tail = "");
// Random bytes, zero bytes included, from a fixed seed.
std::string random_bytes(std::size_t count, unsigned seed);
