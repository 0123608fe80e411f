// Clock, percentiles, result line and sockets for the bench programs.
#include "bench_support.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

double now_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double percentile(std::vector<double> samples, double fraction)
{
    if (samples.empty())
        return 0;
    std::size_t rank = static_cast<std::size_t>(fraction * static_cast<double>(samples.size()));
    if (rank >= samples.size())
        rank = samples.size() - 1;
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(rank), samples.end());
    return samples[rank];
}

void print_request_result(double seconds, const std::vector<double>& latencies_ms, long timeouts, long errors)
{
    double rate = seconds > 0 ? static_cast<double>(latencies_ms.size()) / seconds : 0;
    std::printf("count=%zu rate=%.1f p50_ms=%.3f p99_ms=%.3f timeouts=%ld errors=%ld\n", latencies_ms.size(), rate,
                percentile(latencies_ms, 0.50), percentile(latencies_ms, 0.99), timeouts, errors);
}

sockaddr_in loopback_address(const char* dotted_quad, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, dotted_quad, &address.sin_addr);
    return address;
}

int bound_udp_socket(const char* dotted_quad, std::uint16_t port, int receive_buffer_bytes)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        std::perror("socket");
        return -1;
    }
    if (receive_buffer_bytes > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
    sockaddr_in local = loopback_address(dotted_quad, port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "bind %s:%u: %s\n", dotted_quad, port, std::strerror(errno));
        close(s);
        return -1;
    }
    return s;
}

const std::vector<std::string> sample_channels = {
    "World Report", "City Desk",   "Football Live", "Tennis Court",
    "Cycling Tour", "Jazz Lounge", "Classic Hits",  "Cartoon Corner",
};

std::string join_peer_network = "127.0.0.";

std::string join_peer_address(int peer)
{
    return join_peer_network + std::to_string(2 + peer % 200);
}
