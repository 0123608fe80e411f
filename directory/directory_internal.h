// What the directory's own files share: the reply senders.
#pragma once

#include "platform.h"

#include <mysql.h>


// Build the document from every row of the result set and send it to peer.
void send_channels(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result);
void send_neighbors(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result);
