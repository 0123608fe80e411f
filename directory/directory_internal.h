// What the directory's own files share and its tests reach: the reply senders and both
// variants of the channel join, under names of their own so one binary can hold both.
#pragma once

#include "platform.h"

#include <mysql.h>

#include <string>

// Build the document from every row of the result set and send it to peer.
void send_channels(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result);
void send_neighbors(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result);

// quorvane's join: retires the sender's earlier registrations, lists the channel's alive
// peers, replies, and only then registers the sender.
void join_channel_retiring_peer(socket_handle service_socket, const sockaddr_in& peer,
                                const std::string& channel_name);

// quorvane_tcp's join: registers first, then lists every registration of the channel,
// alive or not, the new one included, and replies.
void join_channel_registering_first(socket_handle service_socket, const sockaddr_in& peer,
                                    const std::string& channel_name);
