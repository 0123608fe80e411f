// delay_proxy: a distance between the tracker host and its directory, for the bench's
// workers mode. This kernel has no netem, so the TCP connections to the directory go through
// this proxy, which holds every chunk of bytes, each way, for half the round trip before it
// passes it on, and opens its connection to the server one and a half round trips after it
// accepted the client's (the client's handshake with a distant server). One thread, epoll,
// nanosecond time-outs: it must not itself become the limit.
//
//   delay_proxy LISTEN_PORT SERVER_PORT ROUND_TRIP_US      on 127.0.0.1; runs until killed
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <vector>

static std::int64_t now_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

struct chunk {
    std::int64_t due_ns;
    std::string bytes;
};

// One client connection and its server connection; `to_server` holds the client's bytes on
// their way, `to_client` the server's.
struct proxied {
    int client = -1;
    int server = -1;
    std::int64_t connect_due_ns = 0;
    std::deque<chunk> to_server;
    std::deque<chunk> to_client;
    bool client_done = false;  // the client closed its side: the server's gets closed once all left
    bool server_done = false;
};

static std::vector<proxied*> links;
static std::map<int, proxied*> links_by_socket;
static int epoll_descriptor = -1;
static std::uint16_t server_port = 0;
static std::int64_t one_way_ns = 0;

static void watch(int socket)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = socket;
    epoll_ctl(epoll_descriptor, EPOLL_CTL_ADD, socket, &event);
}

static void close_link(proxied* l)
{
    for (int socket : {l->client, l->server})
        if (socket >= 0) {
            links_by_socket.erase(socket);
            close(socket);
        }
    delete l;
}

static int connect_to_server()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Reads what arrived on socket into the queue of the other way; false when the link ended.
static bool take_arrivals(proxied* l, int socket)
{
    char buffer[65536];
    ssize_t length = read(socket, buffer, sizeof buffer);
    if (length < 0 && errno == EINTR)
        return true;
    bool from_client = socket == l->client;
    if (length <= 0) {
        (from_client ? l->client_done : l->server_done) = true;
        epoll_ctl(epoll_descriptor, EPOLL_CTL_DEL, socket, nullptr);
        return true;
    }
    (from_client ? l->to_server : l->to_client)
        .push_back({now_ns() + one_way_ns, std::string(buffer, static_cast<std::size_t>(length))});
    return true;
}

// Passes on every chunk that is due; false once both sides are done and nothing is left.
static bool pass_on_due(proxied* l, std::int64_t now)
{
    if (l->server < 0 && now >= l->connect_due_ns) {
        l->server = connect_to_server();
        if (l->server < 0)
            return false;
        links_by_socket[l->server] = l;
        watch(l->server);
    }
    if (l->server >= 0)
        while (!l->to_server.empty() && l->to_server.front().due_ns <= now) {
            const std::string& bytes = l->to_server.front().bytes;
            if (write(l->server, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                return false;
            l->to_server.pop_front();
        }
    while (!l->to_client.empty() && l->to_client.front().due_ns <= now) {
        const std::string& bytes = l->to_client.front().bytes;
        if (write(l->client, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            return false;
        l->to_client.pop_front();
    }
    // A side that closed closes the other once its last bytes have left.
    if (l->client_done && l->to_server.empty() && l->server >= 0)
        return false;
    return !(l->server_done && l->to_client.empty());
}

static std::int64_t next_due(const proxied* l)
{
    std::int64_t due = l->server < 0 ? l->connect_due_ns : INT64_MAX;
    if (!l->to_server.empty() && l->to_server.front().due_ns < due)
        due = l->to_server.front().due_ns;
    if (!l->to_client.empty() && l->to_client.front().due_ns < due)
        due = l->to_client.front().due_ns;
    return due;
}

static int listening_socket(std::uint16_t port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 512) != 0) {
        std::perror("delay_proxy: listen");
        std::exit(1);
    }
    return s;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: delay_proxy LISTEN_PORT SERVER_PORT ROUND_TRIP_US\n");
        return 2;
    }
    server_port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    one_way_ns = std::atoll(argv[3]) * 1000 / 2;
    prctl(PR_SET_TIMERSLACK, 1UL);
    int listener = listening_socket(static_cast<std::uint16_t>(std::atoi(argv[1])));
    epoll_descriptor = epoll_create1(EPOLL_CLOEXEC);
    watch(listener);
    for (;;) {
        std::int64_t now = now_ns();
        std::int64_t due = INT64_MAX;
        for (std::size_t i = 0; i < links.size();) {
            if (!pass_on_due(links[i], now)) {
                close_link(links[i]);
                links[i] = links.back();
                links.pop_back();
                continue;
            }
            if (next_due(links[i]) < due)
                due = next_due(links[i]);
            ++i;
        }
        timespec timeout{};
        std::int64_t wait = due == INT64_MAX ? 1000000000LL : due - now_ns();
        if (wait < 0)
            wait = 0;
        timeout.tv_sec = wait / 1000000000LL;
        timeout.tv_nsec = wait % 1000000000LL;
        epoll_event events[64];
        int count = epoll_pwait2(epoll_descriptor, events, 64, &timeout, nullptr);
        for (int i = 0; i < count; ++i) {
            int socket = events[i].data.fd;
            if (socket == listener) {
                int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0)
                    continue;
                int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                proxied* l = new proxied;
                l->client = client;
                l->connect_due_ns = now_ns() + 3 * one_way_ns;
                links.push_back(l);
                links_by_socket[client] = l;
                watch(client);
                continue;
            }
            auto found = links_by_socket.find(socket);
            if (found != links_by_socket.end())
                take_arrivals(found->second, socket);
        }
    }
}
