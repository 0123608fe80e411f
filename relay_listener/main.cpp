// halvering: the relay listener. Prints one console line per datagram received on UDP 1234.
#include "platform.h"
#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

// Address, " say : ", up to 2000 bytes of text and the line break.
constexpr std::size_t listener_line_size = 15 + 7 + relay_listener_buffer_size + 1;

static socket_handle open_listener_socket()
{
    socket_handle listener = open_udp_socket();
    if (listener == invalid_socket) {
        std::fprintf(stderr, "halvering: cannot open a UDP socket for port %u: %s\n", relay_listener_port,
                     std::strerror(errno));
        return invalid_socket;
    }
    int error = bind_to_any(listener, relay_listener_port);
    if (error != 0) {
        std::fprintf(stderr, "halvering: cannot bind UDP port %u: %s\n", relay_listener_port, std::strerror(error));
        close_socket(listener);
        return invalid_socket;
    }
    return listener;
}

[[noreturn]] static void listen_forever(socket_handle listener)
{
    std::unique_ptr<unsigned char[]> datagram(new unsigned char[relay_listener_buffer_size]);
    std::unique_ptr<char[]> line(new char[listener_line_size]);
    int consecutive_failures = 0;
    for (;;) {
        sockaddr_in sender{};
        long received = receive_datagram(listener, datagram.get(), relay_listener_buffer_size, &sender);
        if (received < 0) {
            // Nothing was received: print nothing, and never spin on a failing socket.
            if (++consecutive_failures > 1)
                usleep(consecutive_failures > 10 ? 100000 : 10000);
            continue;
        }
        consecutive_failures = 0;
        const void* nul = std::memchr(datagram.get(), 0, static_cast<std::size_t>(received));
        std::size_t text_length = nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - datagram.get())
                                      : static_cast<std::size_t>(received);
        write_say_line(line.get(), listener_line_size, sender, reinterpret_cast<const char*>(datagram.get()),
                       text_length);
    }
}

int main()
{
    std::uint16_t granted_version = 0;
    if (start_sockets(sockets_version_1_1, &granted_version) != 0)
        return 0;
    if (!is_version_1_1(granted_version)) {
        stop_sockets();
        return 0;
    }
    socket_handle listener = open_listener_socket();
    if (listener == invalid_socket) {
        stop_sockets();
        return 1;
    }
    listen_forever(listener);
}
