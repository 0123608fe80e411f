// The socket operations that read the same on every system: the version handshake, bound
// service sockets, addresses and their text, and the reply send.
#include "platform.h"

#include "backend.h"

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

// A UDP socket bound to every interface on port: alone, or in a group of group_size steered by
// source address. invalid_socket and the first error number on failure.
static socket_handle open_udp_socket_on(std::uint16_t port, bool grouped, int group_size, int* error)
{
    socket_handle socket = open_udp_socket();
    if (socket == invalid_socket) {
        *error = last_socket_error();
        return invalid_socket;
    }
    *error = grouped ? share_port(socket) : 0;
    if (*error == 0)
        *error = bind_to_any(socket, port);
    // Bound first: a program attached before the bind would be the socket's own, and dropped
    // when the socket joins the group that others formed.
    if (*error == 0 && grouped)
        *error = steer_by_source_address(socket, group_size);
    if (*error != 0) {
        close_socket(socket);
        return invalid_socket;
    }
    return socket;
}

socket_handle open_bound_udp_socket(std::uint16_t port, int* error)
{
    return open_udp_socket_on(port, false, 0, error);
}

socket_handle open_steered_udp_socket(std::uint16_t port, int group_size, int* error)
{
    return open_udp_socket_on(port, true, group_size, error);
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
    char text[16];
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

std::uint32_t address_number(const sockaddr_in& address)
{
    return ntohl(address.sin_addr.s_addr);
}

std::uint16_t port_number(const sockaddr_in& address)
{
    return ntohs(address.sin_port);
}
