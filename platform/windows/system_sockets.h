// The system's socket types on Windows: Windows Sockets handles.
#pragma once

#include <winsock2.h>

using socket_handle = SOCKET;
constexpr socket_handle invalid_socket = INVALID_SOCKET;
