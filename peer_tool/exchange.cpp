// The exchanges with a tracker: a UDP request and its reply, a run of RTPPacket messages,
// and the tracker host's side of quorvane_tcp's connection. Every wait is bounded.
#include "peer_tool.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

static std::string endpoint_text(const sockaddr_in& address)
{
    return address_text(address) + " port " + std::to_string(ntohs(address.sin_port));
}

// "DOING ENDPOINT: reason", with errno read before anything else can change it.
static std::string failure(const char* doing, const sockaddr_in* where)
{
    int reason = errno;
    std::string text = doing;
    if (where)
        text += " " + endpoint_text(*where);
    return text + ": " + std::strerror(reason);
}

// Waits until the socket is readable: 1, 0 on time-out, -1 on failure.
static int wait_readable(socket_handle socket, long long deadline)
{
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return 0;
        pollfd ready{socket, POLLIN, 0};
        int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno == EINTR)
            continue;
        return polled > 0 ? 1 : polled;
    }
}

// A UDP socket from options.local. It stays unconnected: a tracker bound to every interface
// may answer from another of its addresses than the one asked. IP_RECVERR makes a refusal
// (nothing listens on the port) show as ECONNREFUSED all the same.
static socket_handle open_request_socket(const peer_options& options, std::string* error)
{
    socket_handle socket = open_udp_socket();
    int on = 1;
    if (socket == invalid_socket || setsockopt(socket, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0 ||
        bind(socket, reinterpret_cast<const sockaddr*>(&options.local), sizeof options.local) != 0) {
        *error = failure("cannot open a UDP socket on", &options.local);
        close_socket(socket);
        return invalid_socket;
    }
    return socket;
}

static int refused(const peer_options& options, std::string* error)
{
    *error = "nothing listens on " + endpoint_text(options.tracker) + " (UDP; the port refused)";
    return peer_no_reply;
}

static bool send_message(socket_handle socket, const peer_options& options, const std::string& message)
{
    return send_datagram(socket, message.data(), message.size(), options.tracker) ==
           static_cast<long>(message.size());
}

// No route to the tracker's network or host: like a tracker that is silent, not a local fault.
static bool is_unreachable(int error)
{
    return error == ENETUNREACH || error == EHOSTUNREACH || error == ENETDOWN || error == EHOSTDOWN;
}

// Why a send failed, and its status.
static int send_failure(const peer_options& options, std::string* error)
{
    if (errno == ECONNREFUSED)  // a refusal of an earlier message shows on the next send
        return refused(options, error);
    bool unreachable = is_unreachable(errno);
    *error = failure(unreachable ? "cannot reach" : "cannot send to", &options.tracker);
    return unreachable ? peer_no_reply : peer_failed;
}

// Waits for the datagram from the tracker's port; others are not replies and are skipped.
static int receive_reply(socket_handle socket, const peer_options& options, std::string* reply, std::string* error)
{
    long long deadline = now_ms() + options.timeout_ms;
    std::string datagram(max_datagram_size + 1, '\0');
    for (;;) {
        int ready = wait_readable(socket, deadline);
        if (ready <= 0) {
            *error = "no reply from " + endpoint_text(options.tracker) + " within " +
                     std::to_string(options.timeout_ms) + " ms";
            return ready == 0 ? peer_no_reply : peer_failed;
        }
        sockaddr_in sender{};
        long received = receive_datagram(socket, datagram.data(), datagram.size(), &sender);
        if (received < 0 && errno == ECONNREFUSED)
            return refused(options, error);
        if (received < 0 && is_unreachable(errno)) {
            *error = failure("cannot reach", &options.tracker);
            return peer_no_reply;
        }
        if (received < 0 && errno != EINTR) {
            *error = failure("receive failed", nullptr);
            return peer_failed;
        }
        if (received < 0 || sender.sin_port != options.tracker.sin_port)
            continue;
        if (sender.sin_addr.s_addr != options.tracker.sin_addr.s_addr)
            std::fprintf(stderr, "quorvane_peer: note: the reply came from %s\n", endpoint_text(sender).c_str());
        reply->assign(datagram.data(), static_cast<std::size_t>(received));
        return peer_ok;
    }
}

int ask_tracker(const peer_options& options, const std::string& message, std::string* reply, std::string* error)
{
    socket_handle socket = open_request_socket(options, error);
    if (socket == invalid_socket)
        return peer_failed;
    int status = send_message(socket, options, message) ? receive_reply(socket, options, reply, error)
                                                         : send_failure(options, error);
    close_socket(socket);
    return status;
}

int send_to_tracker(const peer_options& options, const std::vector<std::string>& messages, std::size_t* sent,
                    std::string* error)
{
    *sent = 0;
    socket_handle socket = open_request_socket(options, error);
    if (socket == invalid_socket)
        return peer_failed;
    int status = peer_ok;
    for (const std::string& message : messages) {
        if (*sent > 0 && options.interval_ms > 0)
            usleep(static_cast<useconds_t>(options.interval_ms) * 1000);
        if (!send_message(socket, options, message)) {
            status = send_failure(options, error);
            break;
        }
        ++*sent;
    }
    close_socket(socket);
    return status;
}

// The connection, or invalid_socket with *status peer_failed (cannot listen) or
// peer_no_reply (no connection in time).
static socket_handle accept_tracker_client(const peer_options& options, int* status, std::string* error)
{
    socket_handle listener = open_tcp_socket();
    int on = 1;
    *status = peer_failed;
    if (listener == invalid_socket || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&options.local), sizeof options.local) != 0 ||
        listen(listener, 1) != 0) {
        *error = failure("cannot listen on TCP", &options.local);
        close_socket(listener);
        return invalid_socket;
    }
    *status = peer_no_reply;
    socket_handle connection = invalid_socket;
    if (wait_readable(listener, now_ms() + options.wait_ms) == 1)
        connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection == invalid_socket)
        *error = "no connection on TCP " + endpoint_text(options.local) + " within " +
                 std::to_string(options.wait_ms) + " ms";
    close_socket(listener);
    return connection;
}

// Reads the connection into `pending` until it holds a NUL or time is up. Returns 1 when a
// document is there, 0 on time-out, -1 when the connection ended or failed.
static int receive_until_nul(socket_handle connection, std::string* pending, long long deadline)
{
    char chunk[65536];
    while (pending->find('\0') == std::string::npos) {
        int ready = wait_readable(connection, deadline);
        if (ready <= 0)
            return ready;
        long received = receive_stream(connection, chunk, sizeof chunk);
        if (received <= 0)
            return -1;
        pending->append(chunk, static_cast<std::size_t>(received));
    }
    return 1;
}

// Waits until the client's side has acknowledged every byte sent, then the gap: whatever
// arrives meanwhile is left in `pending`. The stream has no framing, so only a pause keeps
// the next message out of this one's receive.
static int pause_after_unanswered(socket_handle connection, const peer_options& options, std::string* pending)
{
    long long deadline = now_ms() + options.timeout_ms;
    int unacknowledged = 1;
    while (ioctl(connection, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 && now_ms() < deadline)
        usleep(1000);
    receive_until_nul(connection, pending, now_ms() + options.gap_ms);
    return peer_ok;
}

// Hands over the complete documents in `pending`, one at a time.
static int print_pending_documents(std::string* pending, int kind,
                                   int (*print_reply)(const std::string& reply, int kind))
{
    int status = peer_ok;
    for (std::size_t nul = pending->find('\0'); nul != std::string::npos; nul = pending->find('\0')) {
        int printed = print_reply(pending->substr(0, nul + 1), kind);
        if (status == peer_ok)
            status = printed;
        pending->erase(0, nul + 1);
        kind = reply_none;  // anything after the awaited document was not asked for
    }
    return status;
}

static int exchange_on_connection(socket_handle connection, const peer_options& options, const std::string& message,
                                  std::string* pending, int (*print_reply)(const std::string& reply, int kind),
                                  std::string* error)
{
    if (send(connection, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
        *error = failure("cannot send on the connection", nullptr);
        return peer_failed;
    }
    int kind = expected_reply(message);
    if (kind == reply_none) {
        pause_after_unanswered(connection, options, pending);
        return print_pending_documents(pending, reply_none, print_reply);
    }
    int received = receive_until_nul(connection, pending, now_ms() + options.timeout_ms);
    if (received <= 0) {
        *error = received == 0 ? "no reply on the connection within " + std::to_string(options.timeout_ms) + " ms"
                               : std::string("the connection ended before the reply came");
        // A reply cut short is still shown, as the bytes that came.
        if (!pending->empty())
            print_reply(*pending, kind);
        pending->clear();
        return peer_no_reply;
    }
    return print_pending_documents(pending, kind, print_reply);
}

int play_tracker_host(const peer_options& options, const std::vector<std::string>& messages,
                      int (*print_reply)(const std::string& reply, int kind), std::string* error)
{
    int status = peer_ok;
    socket_handle connection = accept_tracker_client(options, &status, error);
    if (connection == invalid_socket)
        return status;
    status = peer_ok;
    std::string pending;
    for (const std::string& message : messages) {
        int exchanged = exchange_on_connection(connection, options, message, &pending, print_reply, error);
        if (exchanged == peer_no_reply || exchanged == peer_failed) {
            status = exchanged;
            break;
        }
        if (status == peer_ok)
            status = exchanged;
    }
    // Bytes that never made a whole document are shown all the same.
    if (!pending.empty() && print_reply(pending, reply_none) != peer_ok && status == peer_ok)
        status = peer_malformed;
    close_socket(connection);
    return status;
}
