// The directory: catalogue and channel-join requests against the p2pdb database,
// one connection per request, replies sent on the caller's service socket.
#pragma once

#include "platform.h"

#include <cstddef>
#include <string>

// The longest channel name a request's statement buffer is sized for: all of a message but
// its tag. A longer one is still handled whole, its statement formatted twice.
constexpr std::size_t longest_channel_name = 1334;

// Each request returns the bytes of the reply it sent to peer, 0 when none left.

// Sends the Channels document to peer, or nothing when the directory fails.
std::size_t answer_catalogue_request(socket_handle service_socket, const sockaddr_in& peer);

// The two channel joins; each registers peer in the named channel and sends it the
// Neighbors document. quorvane's retires the sender's earlier registrations, lists the
// channel's alive peers, replies, and only then registers the sender.
std::size_t join_channel_retiring_peer(socket_handle service_socket, const sockaddr_in& peer,
                                       const std::string& channel_name);
// quorvane_tcp's registers first, then lists every registration of the channel, alive or
// not, the new one included, and replies.
std::size_t join_channel_registering_first(socket_handle service_socket, const sockaddr_in& peer,
                                           const std::string& channel_name);
