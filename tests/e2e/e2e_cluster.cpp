// Two trackers over a three-node directory cluster (deploy/cluster/cluster.sh), seen from
// the cluster's peers host: what one tracker registers the other lists, and a directory
// node that dies, while the upkeep archives, loses no registration already made and stops
// neither tracker for long.
// cluster_check.sh brings the cluster up, runs this program on the peers host, and tears
// the cluster down.
#include "directory_fixture.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const char* const tracker_addresses[] = {"10.77.0.21", "10.77.0.22"};
const char* const node_addresses[] = {"10.77.0.11", "10.77.0.12", "10.77.0.13"};
constexpr std::uint16_t tracker_port = 8848;

struct registration {
    std::string address;
    std::uint16_t port = 0;
};

// One request from a socket of its own on the peer address: the reply, or "" when none came;
// `port` is the socket's port.
std::string ask(int tracker, const char* peer_address, const std::string& message, int timeout_ms,
                std::uint16_t* port = nullptr)
{
    int s = bound_udp_socket(peer_address, 0);
    std::string reply;
    if (s >= 0 && send_udp(s, message, tracker_addresses[tracker], tracker_port))
        receive_udp(s, &reply, timeout_ms);
    if (port)
        *port = s >= 0 ? local_port(s) : std::uint16_t{0};
    if (s >= 0)
        close(s);
    return reply;
}

std::string join(int tracker, const char* peer_address, const std::string& channel, registration* made,
                 int timeout_ms = 2000)
{
    made->address = peer_address;
    return ask(tracker, peer_address, "<ChView>" + channel + "</ChView>", timeout_ms, &made->port);
}

// A reply to a catalogue request: the tracker has finished every message before it,
// registrations included.
bool catalogue_answered(int tracker)
{
    return ask(tracker, "10.77.0.100", "<Msg>1</Msg>", 10000).rfind("<Channels>", 0) == 0;
}

MYSQL* connect_to_node(int node)
{
    MYSQL* connection = mysql_init(nullptr);
    unsigned timeout = 5;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!mysql_real_connect(connection, node_addresses[node], directory_user, directory_password,
                            directory_database, 3306, nullptr, 0)) {
        ADD_FAILURE() << "cannot reach db" << node + 1 << ": " << mysql_error(connection);
        mysql_close(connection);
        return nullptr;
    }
    return connection;
}

// The registrations of `wanted` that the node does not hold.
std::vector<std::string> missing_now(int node, const std::vector<registration>& wanted)
{
    std::vector<std::string> missing;
    MYSQL* connection = connect_to_node(node);
    if (!connection)
        return {"(no connection)"};
    std::map<std::string, int> held;
    // The upkeep moves retired registrations to the archive: neither place may lose one.
    for (const admin_row& row :
         admin_rows(connection, "select IPv4, port from userlist union all select IPv4, port from userlist_archive"))
        ++held[row[0].value_or("") + ":" + row[1].value_or("")];
    mysql_close(connection);
    for (const registration& r : wanted) {
        std::string key = r.address + ":" + std::to_string(r.port);
        if (held.count(key) == 0)
            missing.push_back(key);
    }
    return missing;
}

// A write committed on one node is applied by the others a moment later: the registrations
// the node still lacks after up to five seconds.
std::vector<std::string> missing_on_node(int node, const std::vector<registration>& wanted)
{
    std::vector<std::string> missing;
    for (int tries = 0; tries < 50; ++tries) {
        missing = missing_now(node, wanted);
        if (missing.empty())
            break;
        usleep(100000);
    }
    return missing;
}

bool cluster_command(const std::string& arguments)
{
    const char* script = std::getenv("QUORVANE_CLUSTER_SCRIPT");
    return script && std::system(("sh " + std::string(script) + " " + arguments).c_str()) == 0;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Cluster, APeerJoiningThroughOneTrackerIsListedByTheOther)
{
    registration first;
    ASSERT_EQ(join(0, "10.77.0.101", "Tennis Court", &first), "<Neighbors></Neighbors>" + std::string(1, '\0'));
    // The tracker replies before it registers: once it has answered the next request, the
    // registration is written; then it is on every node.
    ASSERT_TRUE(catalogue_answered(0));
    for (int node = 0; node < 3; ++node)
        ASSERT_EQ(missing_on_node(node, {first}), std::vector<std::string>{}) << "on db" << node + 1;
    registration second;
    std::string reply = join(1, "10.77.0.102", "Tennis Court", &second);
    EXPECT_EQ(reply, "<Neighbors><Neighbor><IPv4>10.77.0.101</IPv4><port>" + std::to_string(first.port) +
                         "</port><name></name></Neighbor></Neighbors>" + std::string(1, '\0'));
}

// Rows retired and archived by one node's upkeep, and no row archived twice.
std::string archive_on_node(int node)
{
    MYSQL* connection = connect_to_node(node);
    if (!connection)
        return "(no connection)";
    std::string counts = admin_value(connection, "select concat(count(*) > 0, ' ', count(*) - count(distinct id)) "
                                                 "from userlist_archive");
    mysql_close(connection);
    return counts;
}

// With a retention of no time at all, the upkeep archives all through the joins and the kill.
TEST(Cluster, ANodeFailureLosesNoRegistrationAndTheNodeCatchesUp)
{
    ASSERT_TRUE(cluster_command("sql 1 -e 'update p2pdb.upkeep_settings set retention_seconds=0'"));
    const char* peers[] = {"10.77.0.103", "10.77.0.104", "10.77.0.105", "10.77.0.106"};
    const char* channels[] = {"World Report", "Jazz Lounge", "Cycling Tour"};
    // Registrations made before the kill, each answered; the last one of each tracker may
    // still have been on its way to the node that dies.
    std::vector<registration> before;
    registration last[2];
    for (int i = 0; i < 60; ++i) {
        int tracker = i % 2;
        registration made;
        ASSERT_EQ(join(tracker, peers[i % 4], channels[i % 3], &made).rfind("<Neighbors>", 0), 0u) << "join " << i;
        if (i >= 2)
            before.push_back(last[tracker]);
        last[tracker] = made;
    }

    ASSERT_TRUE(cluster_command("kill-node 2"));
    auto killed = std::chrono::steady_clock::now();
    // Both trackers answer again through the surviving nodes within a few seconds.
    std::vector<registration> after;
    for (int tracker = 0; tracker < 2; ++tracker) {
        registration made;
        while (join(tracker, peers[tracker], channels[0], &made, 1000).empty())
            ASSERT_LT(seconds_since(killed), 15.0) << "tracker " << tracker + 1 << " does not answer";
        std::printf("tracker %d answers again %.1f s after the kill\n", tracker + 1, seconds_since(killed));
        after.push_back(made);
    }
    for (int i = 0; i < 20; ++i) {
        registration made;
        ASSERT_FALSE(join(i % 2, peers[i % 4], channels[i % 3], &made).empty()) << "join " << i << " after the kill";
        after.push_back(made);
    }
    ASSERT_TRUE(catalogue_answered(0));
    ASSERT_TRUE(catalogue_answered(1));

    std::vector<registration> every = before;
    every.insert(every.end(), after.begin(), after.end());
    for (int node : {0, 2})
        EXPECT_EQ(missing_on_node(node, every), std::vector<std::string>{}) << "on db" << node + 1;

    ASSERT_TRUE(cluster_command("start-node 2"));
    EXPECT_EQ(missing_on_node(1, every), std::vector<std::string>{}) << "on db2 after it rejoined";
    for (int node = 0; node < 3; ++node)
        EXPECT_EQ(archive_on_node(node), "1 0") << "on db" << node + 1;
    registration made;
    EXPECT_FALSE(join(0, peers[0], channels[1], &made).empty());
    EXPECT_FALSE(join(1, peers[1], channels[1], &made).empty());
}

}  // namespace
