// quorvane: the UDP tracker service on port 8848. Takes no arguments.
#include "tracker.h"

#include "directory.h"
#include "rtp_trace.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

// A join's statement is formatted once: the directory's buffer fits the longest name a message carries.
static_assert(max_message_size - (sizeof "<ChView>" - 1) <= longest_channel_name);

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
    tracker_settings settings;
    std::string error;
    if (read_tracker_settings(std::getenv(workers_variable), std::getenv(reply_rate_variable),
                              std::getenv(reply_burst_variable), &settings, &error) != 0) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!start_sockets_version_1_1()) {
        std::fprintf(stderr, "quorvane: cannot start the sockets library (version 1.1)\n");
        return 1;
    }
    use_precise_timers();
    socket_handle service_socket = open_service_socket(settings.workers);
    if (service_socket == invalid_socket) {
        stop_sockets();
        return 1;
    }
    // The budget's table is keyed afresh at every start, from the system's random source.
    std::random_device source;
    static reply_budget budget;
    start_reply_budget(&budget, settings.budget, settings.workers, (std::uint64_t{source()} << 32) | source());
    serve_datagrams(service_socket, quorvane_handlers, &budget);
}
