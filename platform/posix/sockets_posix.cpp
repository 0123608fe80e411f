// POSIX sockets behind the operations the programs were designed around.
#include "platform.h"

#include <arpa/inet.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

int start_sockets(std::uint16_t requested_version, std::uint16_t* granted_version)
{
    // POSIX sockets need no start-up; grant what was asked for, up to 1.1.
    *granted_version = requested_version < sockets_version_1_1 ? requested_version : sockets_version_1_1;
    return 0;
}

void stop_sockets() {}

bool is_version_1_1(std::uint16_t version)
{
    return (version & 0xff) == 1 && (version >> 8) == 1;
}

bool start_sockets_version_1_1()
{
    std::uint16_t granted_version = 0;
    if (start_sockets(sockets_version_1_1, &granted_version) != 0)
        return false;
    if (!is_version_1_1(granted_version)) {
        stop_sockets();
        return false;
    }
    return true;
}

socket_handle open_udp_socket()
{
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

socket_handle open_tcp_socket()
{
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

void close_socket(socket_handle socket)
{
    if (socket != invalid_socket)
        close(socket);
}

int bind_to_any(socket_handle socket, std::uint16_t port)
{
    sockaddr_in address = make_any_address(port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return errno;
    return 0;
}

socket_handle open_bound_udp_socket(std::uint16_t port, int* error)
{
    socket_handle socket = open_udp_socket();
    if (socket == invalid_socket) {
        *error = errno;
        return invalid_socket;
    }
    *error = bind_to_any(socket, port);
    if (*error != 0) {
        close_socket(socket);
        return invalid_socket;
    }
    return socket;
}

void pause_after_receive_failures(int consecutive_failures)
{
    if (consecutive_failures > 1)
        usleep(consecutive_failures > 10 ? 100000 : 10000);
}

void use_precise_timers()
{
    prctl(PR_SET_TIMERSLACK, 1UL);
}

int set_socket_buffer_size(socket_handle socket, int option_name, int bytes)
{
    return setsockopt(socket, SOL_SOCKET, option_name, &bytes, sizeof bytes);
}

int connect_to(socket_handle socket, const sockaddr_in& address)
{
    return connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

long receive_stream(socket_handle socket, void* buffer, std::size_t capacity)
{
    ssize_t received;
    do
        received = recv(socket, buffer, capacity, 0);
    while (received < 0 && errno == EINTR);
    return received;
}

long receive_datagram(socket_handle socket, void* buffer, std::size_t capacity, sockaddr_in* sender)
{
    socklen_t sender_length = sizeof *sender;
    return recvfrom(socket, buffer, capacity, 0, reinterpret_cast<sockaddr*>(sender), &sender_length);
}

long send_datagram(socket_handle socket, const void* bytes, std::size_t length, const sockaddr_in& to)
{
    return sendto(socket, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

static bool is_stream_socket(socket_handle socket)
{
    int type = 0;
    socklen_t type_length = sizeof type;
    return getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &type_length) == 0 && type == SOCK_STREAM;
}

static int send_all_on_stream(socket_handle socket, const char* bytes, std::size_t length)
{
    while (length > 0) {
        // MSG_NOSIGNAL: a peer that hung up must not kill the process with SIGPIPE.
        ssize_t sent = send(socket, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return -1;
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return 0;
}

int send_reply(socket_handle socket, const void* bytes, std::size_t length, const sockaddr_in& to)
{
    if (is_stream_socket(socket))
        return send_all_on_stream(socket, static_cast<const char*>(bytes), length);
    return send_datagram(socket, bytes, length, to) == static_cast<long>(length) ? 0 : -1;
}

sockaddr_in make_ipv4_address(const char* dotted_quad, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(dotted_quad);
    return address;
}

sockaddr_in make_any_address(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return address;
}

std::string address_text(const sockaddr_in& address)
{
    // Written by hand: inet_ntop goes through sprintf, and every datagram's console line needs this.
    const auto* octets = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);
    char text[INET_ADDRSTRLEN];
    char* out = text;
    for (int i = 0; i < 4; ++i) {
        unsigned octet = octets[i];
        if (octet >= 100)
            *out++ = static_cast<char>('0' + octet / 100);
        if (octet >= 10)
            *out++ = static_cast<char>('0' + octet / 10 % 10);
        *out++ = static_cast<char>('0' + octet % 10);
        *out++ = '.';
    }
    return std::string(text, static_cast<std::size_t>(out - 1 - text));
}
