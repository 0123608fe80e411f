// The relay step: traces an RTP packet on the console and forwards it, unchanged,
// as one 1328-byte datagram to the relay listener.
#pragma once

#include "platform.h"

#include <cstddef>

// `message` holds `received` bytes; every position past them reads as zero.
// `packet_copy` has room for rtp_packet_size bytes. quorvane and quorvane_tcp each
// link their own variant, which differ only in the trace.
void relay_rtp_packet(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                      const sockaddr_in& relay_endpoint, unsigned char* packet_copy);
