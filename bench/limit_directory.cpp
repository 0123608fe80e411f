// limit_directory: limit (a) of the bench, the directory's own cost. The tracker's
// statements, one connection per request, in a plain Connector/C client loop with no
// tracker, no UDP and no reply document: the tracker cannot answer faster than this.
//
//   limit_directory catalogue SECONDS   the catalogue query
//   limit_directory join SECONDS        liveness reset, neighbour query, registration, for
//                                       the same peers and channels as quorvane_load join
//   limit_directory catalogue_loops|join_loops SECONDS LOOPS
//                                       the same from LOOPS client loops at once, loop i
//                                       taking requests i, i + LOOPS, ...: what the directory
//                                       serves to that many trackers' threads
//   limit_directory front catalogue|join
//                                       (a') the same requests behind the barest UDP front:
//                                       one per datagram on 8848, a short fixed reply where
//                                       the tracker sends its document; runs until killed.
//                                       What a UDP request and reply add to the directory.
#include "bench_support.h"
// The tracker's account and statements themselves, word for word: the headers hold only them.
#include "configured.h"
#include "directory_account.h"
#include "statements.h"

#include <arpa/inet.h>
#include <mysql.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>


static MYSQL* connect_directory()
{
    MYSQL* connection = mysql_init(nullptr);
    if (connection && !mysql_real_connect(connection, directory_host, directory_user, directory_password,
                                                directory_database, directory_port, nullptr, 0)) {
        mysql_close(connection);
        return nullptr;
    }
    return connection;
}

// Where a request answers from: nowhere in the client loop; in the UDP front, the sender,
// with a short fixed document sent where the tracker sends its reply.
struct front_reply {
    int socket = -1;
    sockaddr_in peer{};
    const char* document = nullptr;
};

static void send_reply(const front_reply* reply)
{
    if (reply)
        sendto(reply->socket, reply->document, std::strlen(reply->document) + 1, 0,
               reinterpret_cast<const sockaddr*>(&reply->peer), sizeof reply->peer);
}

// Fetches every row, as the tracker does before it builds a reply; false on failure.
static bool query_rows(MYSQL* connection, const char* statement, const front_reply* reply)
{
    if (mysql_query(connection, statement) != 0)
        return false;
    MYSQL_RES* result = mysql_store_result(connection);
    if (!result)
        return false;
    while (mysql_fetch_row(result)) {
    }
    send_reply(reply);
    mysql_free_result(result);
    return true;
}

static bool catalogue_request(const front_reply* reply)
{
    MYSQL* connection = connect_directory();
    if (!connection)
        return false;
    bool done = query_rows(connection, catalogue_query, reply);
    mysql_close(connection);
    return done;
}

static bool join_request(const std::string& address, int port, const std::string& channel, const front_reply* reply)
{
    MYSQL* connection = connect_directory();
    if (!connection)
        return false;
    // Each client loop, a thread of its own, draws from its own source.
    thread_local std::random_device draws;
    char statement[1200];
    std::snprintf(statement, sizeof statement, liveness_reset, address.c_str());
    mysql_query(connection, statement);
    format_neighbour_query(statement, sizeof statement, alive_listing, channel.c_str(), draws());
    bool done = query_rows(connection, statement, reply);
    if (done) {
        std::snprintf(statement, sizeof statement, registration, address.c_str(), port, channel.c_str());
        mysql_query(connection, statement);
    }
    mysql_close(connection);
    return done;
}

// Request k: peer k of quorvane_load's join sockets' addresses, with a port of its own.
static bool join_request_number(long request)
{
    int peer = static_cast<int>(request % join_peer_count);
    const std::string& channel = sample_channels[static_cast<std::size_t>(request) % sample_channels.size()];
    return join_request(join_peer_address(peer), 20000 + peer, channel, nullptr);
}

// Requests first, first + step, ... until `end`; their latencies and failures added to the caller's.
static void run_requests(bool joins, long first, long step, double end, std::vector<double>* latencies_ms,
                         long* failures)
{
    for (long request = first; now_seconds() < end; request += step) {
        double begun = now_seconds();
        bool done = joins ? join_request_number(request) : catalogue_request(nullptr);
        if (!done)
            ++*failures;
        latencies_ms->push_back((now_seconds() - begun) * 1000);
    }
}

static int run_client_loops(const std::string& mode, double seconds, int loops)
{
    // The client library's start-up is not safe to run from several threads at once.
    mysql_library_init(0, nullptr, nullptr);
    std::vector<std::vector<double>> latencies_ms(static_cast<std::size_t>(loops));
    std::vector<long> failures(static_cast<std::size_t>(loops), 0);
    std::vector<std::thread> threads;
    double start = now_seconds();
    for (std::size_t loop = 0; loop < latencies_ms.size(); ++loop)
        threads.emplace_back(run_requests, mode == "join", static_cast<long>(loop), static_cast<long>(loops),
                             start + seconds, &latencies_ms[loop], &failures[loop]);
    std::vector<double> all;
    long all_failures = 0;
    for (std::size_t loop = 0; loop < threads.size(); ++loop) {
        threads[loop].join();
        all.insert(all.end(), latencies_ms[loop].begin(), latencies_ms[loop].end());
        all_failures += failures[loop];
    }
    print_request_result(now_seconds() - start, all, 0, all_failures);
    return 0;
}

// The text between the first '>' and the '<' after it: the channel of a ChView message.
static std::string channel_of(const char* message)
{
    const char* start = std::strchr(message, '>');
    if (!start)
        return std::string();
    ++start;
    const char* end = std::strchr(start, '<');
    return end ? std::string(start, end) : std::string(start);
}

[[noreturn]] static void serve_front(const std::string& mode)
{
    int s = bound_udp_socket("0.0.0.0", 8848, 0);
    if (s < 0)
        std::exit(1);
    front_reply reply;
    reply.socket = s;
    reply.document = mode == "catalogue" ? "<Channels></Group></Channels>" : "<Neighbors></Neighbors>";
    char message[1400];
    for (;;) {
        socklen_t length = sizeof reply.peer;
        ssize_t received = recvfrom(s, message, sizeof message - 1, 0, reinterpret_cast<sockaddr*>(&reply.peer), &length);
        if (received < 0)
            continue;
        message[received] = '\0';
        if (mode == "catalogue") {
            catalogue_request(&reply);
        } else {
            char address[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &reply.peer.sin_addr, address, sizeof address);
            join_request(address, ntohs(reply.peer.sin_port), channel_of(message), &reply);
        }
    }
}

int main(int argc, char** argv)
{
    std::string first = argc > 1 ? argv[1] : "";
    std::string mode = argc == 3 ? (first == "front" ? argv[2] : first) : "";
    int loops = 1;
    if (argc == 4 && (first == "catalogue_loops" || first == "join_loops")) {
        mode = first.substr(0, first.size() - 6);
        loops = std::atoi(argv[3]);
    }
    if ((mode != "catalogue" && mode != "join") || loops < 1) {
        std::fprintf(stderr, "usage: limit_directory catalogue|join SECONDS | limit_directory front catalogue|join |\n"
                             "       limit_directory catalogue_loops|join_loops SECONDS LOOPS\n");
        return 2;
    }
    // As quorvane does: the client library pauses 1 us inside every connect, which the
    // default timer slack would stretch to some 50 us. The limit must not be slower than
    // the tracker for a reason of the client's own.
    prctl(PR_SET_TIMERSLACK, 1UL);
    if (first == "front")
        serve_front(mode);
    int status = run_client_loops(mode, std::atof(argv[2]), loops);
    mysql_library_end();
    return status;
}
