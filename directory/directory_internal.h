// What the directory's own files share: the reply senders.
#pragma once

#include "platform.h"

#include <mysql.h>


// Build the document from every row of the result set and send it to peer; the bytes sent.
std::size_t send_channels(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result);
std::size_t send_neighbors(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result);
