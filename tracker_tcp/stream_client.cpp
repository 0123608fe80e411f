// The TCP tracker client: one connection, one message per receive, replies on the connection.
#include "tracker_tcp.h"

#include "configured.h"

#include <cstring>
#include <memory>

static constexpr int tcp_socket_buffer_size = 3145728;

sockaddr_in tracker_host_address()
{
    return make_ipv4_address(tracker_host, tracker_host_port);
}

socket_handle connect_to_tracker_host(const sockaddr_in& tracker_address)
{
    socket_handle stream_socket = open_tcp_socket();
    if (stream_socket == invalid_socket)
        return invalid_socket;
    // Sizes must be set before connecting for the receive window to scale to them.
    set_send_buffer_size(stream_socket, tcp_socket_buffer_size);
    set_receive_buffer_size(stream_socket, tcp_socket_buffer_size);
    connect_to(stream_socket, tracker_address);
    return stream_socket;
}

void serve_connection(socket_handle stream_socket, const sockaddr_in& tracker_address,
                      const message_handlers& handlers)
{
    if (stream_socket == invalid_socket)
        return;
    std::unique_ptr<unsigned char[]> receive_buffer(new unsigned char[receive_buffer_size]());
    for (;;) {
        // The stream has no framing: whatever one receive returns is one message.
        long received = receive_stream(stream_socket, receive_buffer.get(), max_message_size);
        if (received <= 0)
            return;
        // Nothing of an earlier, longer chunk may show through: clear past this one.
        std::size_t length = static_cast<std::size_t>(received);
        std::memset(receive_buffer.get() + length, 0, receive_buffer_size - length);
        handle_message(handlers, receive_buffer.get(), length, stream_socket, tracker_address);
    }
}
