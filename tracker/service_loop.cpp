// The UDP tracker: one datagram at a time, console line first, then the dispatcher.
#include "tracker.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

static constexpr std::size_t console_line_buffer_size = 2000;
// The system default receive queue holds about 90 relay datagrams, a few milliseconds of a
// packet stream; this holds about 3,600.
static constexpr int service_receive_buffer_size = 4194304;

static void report_unserved_port(int workers, int error)
{
    if (workers == 0)
        std::fprintf(stderr, "quorvane: cannot serve UDP port %u: %s\n", tracker_service_port, error_text(error).c_str());
    else
        std::fprintf(stderr, "quorvane: cannot serve UDP port %u as one of %d workers: %s\n", tracker_service_port,
                     workers, error_text(error).c_str());
}

// The deployment may run several quorvane processes on the port, each this one program.
// Every datagram of one source address then reaches the same worker, so one address's joins
// are still handled one at a time, in order.
socket_handle open_service_socket(int workers)
{
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

static std::int64_t steady_now_us()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// At most one line every 10 s, on standard error, while requests are held back.
static void report_held_back(reply_budget* budget)
{
    if (budget->held_requests == 0)
        return;
    std::uint64_t requests = 0, addresses = 0;
    if (take_held_back_report(budget, steady_now_us(), &requests, &addresses))
        std::fprintf(stderr, "quorvane: reply budget: held back %llu request%s from %llu address%s\n",
                     static_cast<unsigned long long>(requests), requests == 1 ? "" : "s",
                     static_cast<unsigned long long>(addresses), addresses == 1 ? "" : "es");
}

// A message that draws a reply is handled only while its sender's address and network are in
// credit, before anything reaches the directory; its reply is charged once its size is known.
// Every other message, an RTP packet (`packet`, already told by the loop) among them, is
// handled as it comes.
static void handle_within_budget(const message_handlers& handlers, reply_budget* budget, const unsigned char* buffer,
                                 std::size_t length, bool packet, socket_handle service_socket,
                                 const sockaddr_in& peer)
{
    if (packet || !draws_reply(message_text(buffer, length))) {
        handle_message(handlers, buffer, length, service_socket, peer);
        return;
    }
    std::uint32_t address = address_number(peer);
    if (may_answer(budget, address, steady_now_us())) {
        std::size_t replied = 0;
        handle_message(handlers, buffer, length, service_socket, peer, &replied);
        charge_reply(budget, address, replied, steady_now_us());
    }
}

void serve_datagrams(socket_handle service_socket, const message_handlers& handlers, reply_budget* budget)
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
        bool packet = is_rtp_packet_message(text);
        if (packet)
            queue_console(console_line.get(), line_length);
        else
            write_console(console_line.get(), line_length);
        handle_within_budget(handlers, budget, receive_buffer.get(), length, packet, service_socket, peer);
        // Nothing is left queued after a trace; this costs no write then.
        flush_console();
        report_held_back(budget);
    }
}
