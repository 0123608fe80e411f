// quorvane's UDP service: the socket on port 8848 and its receive loop.
#pragma once

#include "protocol.h"

// Opens the service socket bound to every interface on port 8848, alone, or as one of the
// workers that QUORVANE_WORKERS in the environment counts; on failure (a value of it that is
// not a count from 1 to 64 included) writes one error line to standard error and returns
// invalid_socket.
socket_handle open_service_socket();

// Receives, prints and dispatches datagrams one at a time to handlers, forever.
[[noreturn]] void serve_datagrams(socket_handle service_socket, const message_handlers& handlers);
