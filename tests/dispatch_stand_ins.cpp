// Recording stand-ins for the dispatcher's three calls.
#include "dispatch_stand_ins.h"

#include "directory.h"
#include "rtp_relay.h"

#include <sys/socket.h>

dispatch_record dispatched;

void answer_catalogue_request(socket_handle service_socket, const sockaddr_in& peer)
{
    dispatched.catalogue_requests++;
    dispatched.last_socket = service_socket;
    dispatched.last_peer = peer;
}

void answer_channel_join(socket_handle service_socket, const sockaddr_in& peer, const std::string& channel_name)
{
    dispatched.channel_joins.push_back(channel_name);
    dispatched.last_socket = service_socket;
    dispatched.last_peer = peer;
}

void relay_rtp_packet(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                      const sockaddr_in& relay_endpoint, unsigned char* packet_copy)
{
    dispatched.relays++;
    dispatched.relay_message = message;
    dispatched.relay_received = received;
    dispatched.relay_socket = relay_socket;
    dispatched.relay_endpoint = relay_endpoint;
    dispatched.packet_copy_given = packet_copy != nullptr;
    int type = 0;
    socklen_t length = sizeof type;
    dispatched.relay_socket_is_udp =
        getsockopt(relay_socket, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_DGRAM;
}
