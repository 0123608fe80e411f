// quorvane's channel join: retire the sender's earlier registrations, list, then register.
#include "directory.h"

#include "directory_internal.h"

void answer_channel_join(socket_handle service_socket, const sockaddr_in& peer, const std::string& channel_name)
{
    join_channel_retiring_peer(service_socket, peer, channel_name);
}
