// The directory: catalogue and channel-join requests against the p2pdb database,
// one connection per request, replies sent on the caller's service socket.
#pragma once

#include "platform.h"

#include <string>

// Sends the Channels document to peer, or nothing when the directory fails.
void answer_catalogue_request(socket_handle service_socket, const sockaddr_in& peer);

// Registers peer in the named channel and sends it the Neighbors document.
// quorvane and quorvane_tcp each link their own variant.
void answer_channel_join(socket_handle service_socket, const sockaddr_in& peer, const std::string& channel_name);
