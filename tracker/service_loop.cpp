// The UDP tracker: one datagram at a time, console line first, then the dispatcher.
#include "tracker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

static constexpr std::size_t console_line_buffer_size = 2000;
// The system default receive queue holds about 90 relay datagrams, a few milliseconds of a
// packet stream; this holds about 3,600.
static constexpr int service_receive_buffer_size = 4194304;

// The deployment may run several quorvane processes on the port, each this one program: it
// sets QUORVANE_WORKERS to their number in each. Every datagram of one source address then
// reaches the same worker, so one address's joins are still handled one at a time, in order.
static constexpr char workers_variable[] = "QUORVANE_WORKERS";
static constexpr int max_workers = 64;

// The number of workers asked for: 0 when unset or empty (the program serves the port alone),
// -1 when the value is not a whole number from 1 to max_workers.
static int workers_asked_for(const char* value)
{
    if (value == nullptr || *value == '\0')
        return 0;
    int workers = 0;
    for (const char* digit = value; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || workers > max_workers)
            return -1;
        workers = workers * 10 + (*digit - '0');
    }
    return workers >= 1 && workers <= max_workers ? workers : -1;
}

static void report_unserved_port(int workers, int error)
{
    if (workers == 0)
        std::fprintf(stderr, "quorvane: cannot serve UDP port %u: %s\n", tracker_service_port, error_text(error).c_str());
    else
        std::fprintf(stderr, "quorvane: cannot serve UDP port %u as one of %d workers: %s\n", tracker_service_port,
                     workers, error_text(error).c_str());
}

socket_handle open_service_socket()
{
    const char* value = std::getenv(workers_variable);
    int workers = workers_asked_for(value);
    if (workers < 0) {
        std::fprintf(stderr, "quorvane: %s must be a number of workers from 1 to %d, not \"%s\"\n", workers_variable,
                     max_workers, value);
        return invalid_socket;
    }
    int error = 0;
    socket_handle service_socket = workers == 0 ? open_bound_udp_socket(tracker_service_port, &error)
                                                : open_steered_udp_socket(tracker_service_port, workers, &error);
    if (service_socket == invalid_socket) {
        report_unserved_port(workers, error);
        return invalid_socket;
    }
    // Datagrams that arrive while one message is handled wait in the receive queue, and the
    // default queue overflows when the thread is held up for a few milliseconds.
    enlarge_receive_queue(service_socket, service_receive_buffer_size);
    return service_socket;
}

void serve_datagrams(socket_handle service_socket, const message_handlers& handlers)
{
    std::unique_ptr<unsigned char[]> receive_buffer(new unsigned char[receive_buffer_size]());
    std::unique_ptr<char[]> console_line(new char[console_line_buffer_size]);
    int consecutive_failures = 0;
    for (;;) {
        sockaddr_in peer{};
        long received = receive_datagram(service_socket, receive_buffer.get(), max_message_size, &peer);
        if (received < 0) {
            pause_after_receive_failures(++consecutive_failures);
            continue;
        }
        consecutive_failures = 0;
        // Nothing of an earlier, longer datagram may show through: clear past this one.
        std::size_t length = static_cast<std::size_t>(received);
        std::memset(receive_buffer.get() + length, 0, receive_buffer_size - length);
        std::string_view text = message_text(receive_buffer.get(), length);
        std::size_t line_length =
            format_say_line(console_line.get(), console_line_buffer_size, peer, text.data(), text.size());
        // A packet's line waits for its trace, which follows at once: both leave in one write.
        // Any other line is written before its message is handled.
        if (is_rtp_packet_message(text))
            queue_console(console_line.get(), line_length);
        else
            write_console(console_line.get(), line_length);
        handle_message(handlers, receive_buffer.get(), length, service_socket, peer);
        // Nothing is left queued after a trace; this costs no write then.
        flush_console();
    }
}
