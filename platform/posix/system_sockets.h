// The system's socket types on POSIX systems: sockets are file descriptors.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

using socket_handle = int;
constexpr socket_handle invalid_socket = -1;
