// quorvane_tcp: the tracker's message handling over one TCP connection to the tracker host.
// Takes no arguments, prints nothing of its own, and ends with status 0 on every path but one:
// where the sockets library cannot be started it says so and ends with status 1.
#include "tracker_tcp.h"

#include "directory.h"
#include "rtp_trace.h"

#include <cstdio>

// quorvane_tcp's handling: its join registers the sender first and lists every registration of
// the channel, alive or not; its relay step writes the one-line trace.
static const message_handlers quorvane_tcp_handlers = {
    answer_catalogue_request,
    join_channel_registering_first,
    relay_with_one_line_trace,
};

int main()
{
    prepare_console();
    if (!start_sockets_version_1_1()) {
        std::fprintf(stderr, "quorvane_tcp: cannot start the sockets library (version 1.1)\n");
        return 1;
    }
    use_precise_timers();
    sockaddr_in tracker_address = tracker_host_address();
    socket_handle stream_socket = connect_to_tracker_host(tracker_address);
    serve_connection(stream_socket, tracker_address, quorvane_tcp_handlers);
    close_socket(stream_socket);
    stop_sockets();
    return 0;
}
