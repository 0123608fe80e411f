// halvering: the relay listener. Prints one console line per datagram received on UDP 1234.
#include "platform.h"
#include "ports.h"

#include <cstdio>
#include <cstring>
#include <memory>

static constexpr std::size_t relay_listener_buffer_size = 2000;
// Address, " say : ", up to 2000 bytes of text and the line break.
constexpr std::size_t listener_line_size = 15 + 7 + relay_listener_buffer_size + 1;

static socket_handle open_listener_socket()
{
    int error = 0;
    socket_handle listener = open_bound_udp_socket(relay_listener_port, &error);
    if (listener == invalid_socket)
        std::fprintf(stderr, "halvering: cannot serve UDP port %u: %s\n", relay_listener_port,
                     error_text(error).c_str());
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
            // Nothing was received, so nothing is printed.
            pause_after_receive_failures(++consecutive_failures);
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
    prepare_console();
    if (!start_sockets_version_1_1()) {
        std::fprintf(stderr, "halvering: cannot start the sockets library (version 1.1)\n");
        return 1;
    }
    socket_handle listener = open_listener_socket();
    if (listener == invalid_socket) {
        stop_sockets();
        return 1;
    }
    listen_forever(listener);
}
