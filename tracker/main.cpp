// quorvane: the UDP tracker service on port 8848. Takes no arguments.
#include "tracker.h"

#include "directory.h"
#include "rtp_trace.h"

// quorvane's handling: its join retires the sender's earlier registrations before listing the
// channel's alive peers, and its relay step writes the full trace.
static const message_handlers quorvane_handlers = {
    answer_catalogue_request,
    join_channel_retiring_peer,
    relay_with_full_trace,
};

int main()
{
    prepare_console();
    if (!start_sockets_version_1_1())
        return 0;
    use_precise_timers();
    socket_handle service_socket = open_service_socket();
    if (service_socket == invalid_socket) {
        stop_sockets();
        return 1;
    }
    serve_datagrams(service_socket, quorvane_handlers);
}
