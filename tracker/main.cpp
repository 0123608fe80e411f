// quorvane: the UDP tracker service on port 8848. Takes no arguments.
#include "tracker.h"

int main()
{
    std::uint16_t granted_version = 0;
    if (start_sockets(sockets_version_1_1, &granted_version) != 0)
        return 0;
    if (!is_version_1_1(granted_version)) {
        stop_sockets();
        return 0;
    }
    socket_handle service_socket = open_service_socket();
    if (service_socket == invalid_socket) {
        stop_sockets();
        return 1;
    }
    serve_datagrams(service_socket);
}
