// What the bench programs share: a monotonic clock, latency samples, loopback UDP sockets
// and the one result line that bench/run.sh reads ("key=value ..."). Nothing here comes
// from the tracker's own code: the limit programs must stay independent of it.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

double now_seconds();

// The value below which `fraction` of the samples lie (nearest rank); 0 for no samples.
double percentile(std::vector<double> samples, double fraction);

// count, rate per second, p50 and p99 in milliseconds, timeouts and wrong replies.
void print_request_result(double seconds, const std::vector<double>& latencies_ms, long timeouts, long errors);

sockaddr_in loopback_address(const char* dotted_quad, std::uint16_t port);
// A UDP socket bound to the address and port (0: any port); -1 on failure, with a message.
int bound_udp_socket(const char* dotted_quad, std::uint16_t port, int receive_buffer_bytes);

// The sample catalogue's channel names (directory/sample_catalogue.sql).
extern const std::vector<std::string> sample_channels;

// Joins rotate over this many peers: 127.0.0.2 to 127.0.0.201, two ports each.
constexpr int join_peer_count = 400;
// Joining peers are 127.0.0.2 to 127.0.0.201 by default; trackers side by side over one
// directory get peers of different networks (127.0.1. and so on), as real peers would be.
extern std::string join_peer_network;
std::string join_peer_address(int peer);
