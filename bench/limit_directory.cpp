// limit_directory: limit (a) of the bench, the directory's own cost. The tracker's
// statements, one connection per request, in a plain Connector/C client loop with no
// tracker, no UDP and no reply document: the tracker cannot answer faster than this.
//
//   limit_directory catalogue SECONDS   the catalogue query
//   limit_directory join SECONDS        liveness reset, neighbour query, registration, for
//                                       the same peers and channels as quorvane_load join
#include "bench_support.h"

#include <mysql.h>
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef DIRECTORY_HOST
#define DIRECTORY_HOST "127.0.0.1"
#endif
#ifndef DIRECTORY_USER
#define DIRECTORY_USER "qv"
#endif

static const char catalogue_query[] =
    "select chgroup.groupid groupid,chgroup.name ChGroup,channel.name Channel from p2pdb.Channel channel "
    "left join p2pdb.group chgroup on channel.groupid=chgroup.groupid order by chgroup.groupid";
static const char liveness_reset[] = "update p2pdb.userlist set alive=0 where IPV4=\"%s\"";
static const char neighbour_query[] =
    "select IPv4,port,u.name from p2pdb.userlist u left join p2pdb.channel c on u.iChannel=c.iChannel "
    "where c.name=\"%s\" and u.alive=1 order by u.name";
static const char registration[] =
    "insert into p2pdb.userlist(IPv4, port, IPv6, iChannel,alive) select \"%s\",%d,\"\",iChannel,1 "
    "from p2pdb.channel where name=\"%s\"";

static MYSQL* connect_directory()
{
    MYSQL* connection = mysql_init(nullptr);
    if (connection && !mysql_real_connect(connection, DIRECTORY_HOST, DIRECTORY_USER, "qz", "p2pdb", 0, nullptr, 0)) {
        mysql_close(connection);
        return nullptr;
    }
    return connection;
}

// Fetches every row, as the tracker does before it builds a reply; false on failure.
static bool query_rows(MYSQL* connection, const char* statement)
{
    if (mysql_query(connection, statement) != 0)
        return false;
    MYSQL_RES* result = mysql_store_result(connection);
    if (!result)
        return false;
    while (mysql_fetch_row(result)) {
    }
    mysql_free_result(result);
    return true;
}

static bool catalogue_request()
{
    MYSQL* connection = connect_directory();
    if (!connection)
        return false;
    bool done = query_rows(connection, catalogue_query);
    mysql_close(connection);
    return done;
}

// Peer k is the address of quorvane_load's k-th join socket, with a port of its own.
static bool join_request(long request)
{
    MYSQL* connection = connect_directory();
    if (!connection)
        return false;
    int peer = static_cast<int>(request % join_peer_count);
    std::string address = join_peer_address(peer);
    const std::string& channel = sample_channels[static_cast<std::size_t>(request) % sample_channels.size()];
    char statement[400];
    std::snprintf(statement, sizeof statement, liveness_reset, address.c_str());
    mysql_query(connection, statement);
    std::snprintf(statement, sizeof statement, neighbour_query, channel.c_str());
    bool done = query_rows(connection, statement);
    if (done) {
        std::snprintf(statement, sizeof statement, registration, address.c_str(), 20000 + peer, channel.c_str());
        mysql_query(connection, statement);
    }
    mysql_close(connection);
    return done;
}

int main(int argc, char** argv)
{
    std::string mode = argc == 3 ? argv[1] : "";
    if (mode != "catalogue" && mode != "join") {
        std::fprintf(stderr, "usage: limit_directory catalogue|join SECONDS\n");
        return 2;
    }
    double seconds = std::atof(argv[2]);
    // As quorvane does: the client library pauses 1 us inside every connect, which the
    // default timer slack would stretch to some 50 us. The limit must not be slower than
    // the tracker for a reason of the client's own.
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::vector<double> latencies_ms;
    long failures = 0;
    double start = now_seconds();
    for (long request = 0; now_seconds() - start < seconds; ++request) {
        double begun = now_seconds();
        bool done = mode == "catalogue" ? catalogue_request() : join_request(request);
        if (!done)
            ++failures;
        latencies_ms.push_back((now_seconds() - begun) * 1000);
    }
    print_request_result(now_seconds() - start, latencies_ms, 0, failures);
    mysql_library_end();
    return 0;
}
