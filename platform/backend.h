// What the shared platform code asks of the system backend (posix/ or windows/) beyond the
// operations of platform.h. Internal to platform/.
#pragma once

#include "platform.h"

#include <cstddef>

struct console_part {
    const char* bytes;
    std::size_t length;
};

// Writes the parts (one or two) to standard output in order, every byte, as they stand: no line-end
// translation. A failed write drops the rest.
void write_output(console_part* parts, int count);

// The error number of the calling thread's last failed socket operation.
int last_socket_error();

// Sends every byte on a connected stream socket, partial sends continued; 0 or -1.
int send_all_on_stream(socket_handle socket, const char* bytes, std::size_t length);

// Lets the socket, not yet bound, share its port with others that ask the same; 0 or the error number.
int share_port(socket_handle socket);
// Sends each datagram of the bound socket's group to the socket (source address mod
// group_size) of the group; 0 or the error number.
int steer_by_source_address(socket_handle socket, int group_size);
