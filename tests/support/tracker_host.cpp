#include "tracker_host.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

static int listen_on_tracker_port()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(8848);
    local.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(s, 4) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool start_tracker_host(tracker_host* host)
{
    host->listener = listen_on_tracker_port();
    host->relay_listener = bound_udp_socket("127.0.0.1", 1234);
    if (host->listener < 0 || host->relay_listener < 0)
        return false;
    if (!start_program(program_path("quorvane_tcp"), &host->client))
        return false;
    pollfd ready{host->listener, POLLIN, 0};
    if (poll(&ready, 1, 5000) != 1)
        return false;
    host->connection = accept4(host->listener, nullptr, nullptr, SOCK_CLOEXEC);
    return host->connection >= 0;
}

void stop_tracker_host(tracker_host* host)
{
    for (int* fd : {&host->connection, &host->listener, &host->relay_listener})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    stop_program(&host->client);
}

bool send_on_connection(tracker_host* host, const std::string& bytes)
{
    return send(host->connection, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string receive_on_connection(tracker_host* host, std::size_t bytes, int timeout_ms)
{
    std::string received;
    long long deadline = now_ms() + timeout_ms;
    while (received.size() < bytes) {
        long long left = deadline - now_ms();
        pollfd ready{host->connection, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1)
            break;
        char chunk[65536];
        ssize_t n = recv(host->connection, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        received.append(chunk, static_cast<std::size_t>(n));
    }
    return received;
}

// The receive queue of the client's end of the connection, from /proc/net/tcp; -1 if unseen.
static long client_receive_queue(int connection)
{
    sockaddr_in client{};
    socklen_t length = sizeof client;
    getpeername(connection, reinterpret_cast<sockaddr*>(&client), &length);
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", ntohs(client.sin_port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        char local[64] = {};
        unsigned long transmit = 0, receive = 0;
        if (std::sscanf(line.c_str(), "%*s %63s %*s %*s %lx:%lx", local, &transmit, &receive) != 3)
            continue;
        std::string address = local;
        if (address.size() >= 5 && address.compare(address.size() - 5, 5, wanted) == 0)
            return static_cast<long>(receive);
    }
    return -1;
}

bool wait_until_consumed(tracker_host* host, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        // Acknowledged by the client's kernel (nothing left in our send queue), then read
        // by the client (nothing left in its receive queue).
        int unacknowledged = -1;
        ioctl(host->connection, SIOCOUTQ, &unacknowledged);
        if (unacknowledged == 0 && client_receive_queue(host->connection) == 0)
            return true;
        if (now_ms() >= deadline)
            return false;
        usleep(2000);
    }
}
