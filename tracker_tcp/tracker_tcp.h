// quorvane_tcp's stream client: the one TCP connection to the tracker host and its
// receive loop. Every chunk that one receive returns is one message.
#pragma once

#include "protocol.h"

// The tracker host, port 8848: where the client connects, and the peer address of every
// message, so replies name it; on the connected socket they go onto the connection.
sockaddr_in tracker_host_address();

// Opens the stream socket, sets its send and then its receive buffer to 3 MiB, and connects
// it to tracker_address. Nothing is reported: a socket that could not be opened or connected
// fails its first receive, and the client then ends.
socket_handle connect_to_tracker_host(const sockaddr_in& tracker_address);

// Hands each received chunk, at most 1342 bytes, to the dispatcher and handlers until the
// tracker host hangs up or a receive fails.
void serve_connection(socket_handle stream_socket, const sockaddr_in& tracker_address,
                      const message_handlers& handlers);
