// quorvane's relay step: the full trace, word dump included.
#include "rtp_relay.h"

#include "rtp_trace.h"

void relay_rtp_packet(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                      const sockaddr_in& relay_endpoint, unsigned char* packet_copy)
{
    relay_packet_with_trace(message, received, relay_socket, relay_endpoint, packet_copy, rtp_trace_full);
}
