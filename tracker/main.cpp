// quorvane: the UDP tracker service on port 8848. Takes no arguments.
#include "tracker.h"

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
    serve_datagrams(service_socket);
}
