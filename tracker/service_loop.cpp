// The UDP tracker: one datagram at a time, console line first, then the dispatcher.
#include "tracker.h"

#include "protocol.h"
#include "settings.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

socket_handle open_service_socket()
{
    socket_handle service_socket = open_udp_socket();
    if (service_socket == invalid_socket) {
        std::fprintf(stderr, "quorvane: cannot open a UDP socket for port %u: %s\n", tracker_service_port,
                     std::strerror(errno));
        return invalid_socket;
    }
    int error = bind_to_any(service_socket, tracker_service_port);
    if (error != 0) {
        std::fprintf(stderr, "quorvane: cannot bind UDP port %u: %s\n", tracker_service_port, std::strerror(error));
        close_socket(service_socket);
        return invalid_socket;
    }
    return service_socket;
}

// A receive that keeps failing must not spin: pause a little after the first repeat.
static void pause_after_failures(int consecutive_failures)
{
    if (consecutive_failures > 1)
        usleep(consecutive_failures > 10 ? 100000 : 10000);
}

void serve_datagrams(socket_handle service_socket)
{
    std::unique_ptr<unsigned char[]> receive_buffer(new unsigned char[receive_buffer_size]());
    std::unique_ptr<char[]> console_line(new char[console_line_buffer_size]);
    int consecutive_failures = 0;
    for (;;) {
        sockaddr_in peer{};
        long received = receive_datagram(service_socket, receive_buffer.get(), max_message_size, &peer);
        if (received < 0) {
            pause_after_failures(++consecutive_failures);
            continue;
        }
        consecutive_failures = 0;
        // Nothing of an earlier, longer datagram may show through: clear past this one.
        std::size_t length = static_cast<std::size_t>(received);
        std::memset(receive_buffer.get() + length, 0, receive_buffer_size - length);
        std::string_view text = message_text(receive_buffer.get(), length);
        write_say_line(console_line.get(), console_line_buffer_size, peer, text.data(), text.size());
        handle_message(receive_buffer.get(), length, service_socket, peer);
    }
}
