// quorvane_tcp's channel join: register first, then list every registration of the channel.
#include "directory.h"

#include "directory_internal.h"

void answer_channel_join(socket_handle service_socket, const sockaddr_in& peer, const std::string& channel_name)
{
    join_channel_registering_first(service_socket, peer, channel_name);
}
