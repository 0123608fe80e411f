// quorvane against the private directory server: catalogue and joins over UDP from the
// sample catalogue; a directory that goes down or fails shows the operator notice, and the
// service goes on. (quorvane_tcp's variant end to end: e2e_tracker_tcp_directory.)
#include "directory_fixture.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

// Group names in order, each with its channels in the order sent.
using catalogue_groups = std::vector<std::pair<std::string, std::vector<std::string>>>;

static catalogue_groups parse_catalogue(const std::string& document)
{
    catalogue_groups groups;
    const std::string group_open = "<Group name=\"";
    for (std::size_t at = document.find(group_open); at != std::string::npos; at = document.find(group_open, at)) {
        at += group_open.size();
        std::size_t name_end = document.find("\">", at);
        std::size_t group_end = document.find("</Group>", at);
        if (name_end == std::string::npos || group_end == std::string::npos)
            break;
        std::vector<std::string> channels;
        for (std::size_t c = document.find("<Channel>", name_end); c != std::string::npos && c < group_end;
             c = document.find("<Channel>", c + 1))
            channels.push_back(document.substr(c + 9, document.find("</Channel>", c) - c - 9));
        std::sort(channels.begin(), channels.end());
        groups.emplace_back(document.substr(at, name_end - at), channels);
    }
    return groups;
}

static const catalogue_groups sample_groups = {
    {"News", {"City Desk", "World Report"}},
    {"Sports", {"Cycling Tour", "Football Live", "Tennis Court"}},
    {"Music", {"Classic Hits", "Jazz Lounge"}},
    {"Kids", {"Cartoon Corner"}},
};

class DirectoryService : public TrackerOnDirectory {
protected:
    void SetUp() override
    {
        TrackerOnDirectory::SetUp();
        peer = open_peer(0);
    }
    std::string ask(const std::string& message, int timeout_ms = 3000, int from = -1)
    {
        return TrackerOnDirectory::ask(from < 0 ? peer : from, message, timeout_ms);
    }
    int peer = -1;
};

TEST_F(DirectoryService, CatalogueRequestIsAnsweredWithTheSampleCatalogue)
{
    std::string reply = ask("<Msg>1</Msg>");
    ASSERT_GT(reply.size(), 30u);
    EXPECT_EQ(reply.substr(0, 10), "<Channels>");
    EXPECT_EQ(reply.substr(reply.size() - 20), std::string("</Group></Channels>") + '\0');
    EXPECT_EQ(parse_catalogue(reply), sample_groups) << reply;
    EXPECT_EQ(tracker.err, "");
}

TEST_F(DirectoryService, ChViewJoinsAndListsTheOtherPeers)
{
    EXPECT_EQ(ask("<ChView>Jazz Lounge</ChView>"), empty_neighbors);
    int second = open_peer(1);
    std::string expected = "<Neighbors><Neighbor><IPv4>127.0.0.2</IPv4><port>" + std::to_string(local_port(peer)) +
                           "</port><name></name></Neighbor></Neighbors>" + '\0';
    EXPECT_EQ(ask("<ChView>Jazz Lounge</ChView>", 3000, second), expected);
    // The closing tag is not needed: the name runs to the end of the message.
    EXPECT_EQ(ask("<ChView>Tennis Court", 3000, second), empty_neighbors);
    // The registration follows the reply: wait for the request to close its connection.
    EXPECT_TRUE(only_admin_connected(admin, 5000));
    EXPECT_EQ(admin_value(admin, "select group_concat(concat(IPv4,'/',iChannel,'/',alive) order by IPv4, alive) "
                                 "from p2pdb.userlist"),
              "127.0.0.2/6/1,127.0.0.3/6/0,127.0.0.3/4/1");
}

TEST_F(DirectoryService, ServerDownShowsTwoNoticesAndTheServiceAnswersOnceItIsBack)
{
    mysql_close(admin);
    admin = nullptr;
    ASSERT_TRUE(stop_directory_server());
    EXPECT_EQ(ask("<Msg>1</Msg>", 500), no_reply);
    EXPECT_TRUE(read_errors_until(&tracker, 2, 3000));
    EXPECT_EQ(ask("<ChView>Jazz Lounge</ChView>", 500), no_reply);
    EXPECT_TRUE(read_errors_until(&tracker, 4, 3000));
    EXPECT_EQ(notice_count(tracker.err), 4) << tracker.err;
    EXPECT_TRUE(is_running(&tracker));

    ASSERT_TRUE(start_directory_server());
    EXPECT_EQ(parse_catalogue(ask("<Msg>1</Msg>")), sample_groups);
    EXPECT_EQ(ask("<ChView>Jazz Lounge</ChView>"), empty_neighbors);
    drain_output(&tracker, 100);
    EXPECT_EQ(notice_count(tracker.err), 4);
    admin = connect_as_admin();
}

TEST_F(DirectoryService, FailingCatalogueQueryShowsOneNoticeAndNoReply)
{
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.`group` to p2pdb.group_away"));
    EXPECT_EQ(ask("<Msg>1</Msg>", 500), no_reply);
    EXPECT_TRUE(read_errors_until(&tracker, 1, 3000));
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.group_away to p2pdb.`group`"));
    EXPECT_EQ(parse_catalogue(ask("<Msg>1</Msg>")), sample_groups);
    drain_output(&tracker, 100);
    EXPECT_EQ(tracker.err, notice_line);
}

TEST_F(DirectoryService, ManyRequestsLeaveNoDescriptorAndNoConnectionOpen)
{
    int descriptors = open_descriptor_count(tracker.pid);
    // The last one registers: one alive row of the peer stays.
    const char* requests[] = {"<Msg>1</Msg>", "<ChView>No Such Channel</ChView>", "<ChView>x\" or \"1\"=\"1</ChView>",
                              "<ChView>Jazz Lounge</ChView>"};
    for (int i = 0; i < 200; ++i)
        ASSERT_NE(ask(requests[i % 4]), no_reply) << "request " << i;
    // The reply leaves before the request closes its connection: let the last one finish.
    EXPECT_TRUE(only_admin_connected(admin, 5000)) << threads_connected(admin);
    int now = open_descriptor_count(tracker.pid);
    for (int waited = 0; now != descriptors && waited < 2000 && descriptors_are_the_programs(); waited += 10) {
        usleep(10000);
        now = open_descriptor_count(tracker.pid);
    }
    if (descriptors_are_the_programs()) {
        EXPECT_EQ(now, descriptors);
    }
    EXPECT_EQ(admin_value(admin, "select count(*) from p2pdb.userlist where IPv4='127.0.0.2' and alive=1"), "1");
    EXPECT_EQ(tracker.err, "");
}

// Two ports of one address join in a tight loop while another address does the same, on two
// workers. A join retires its address's registrations before it lists the channel: were the
// joins of one address handled at once by two workers, one would list its own address, or
// leave two of its registrations alive.
TEST_F(DirectoryService, TightLoopOfJoinsFromTwoPortsOfEachAddressOnTwoWorkersKeepsOneRegistrationAlive)
{
    if (!program_launcher().empty())
        GTEST_SKIP() << "the Windows build has no workers";
    stop_program(&tracker);
    child_process second;
    ASSERT_TRUE(start_worker(2, &tracker));
    ASSERT_TRUE(start_worker(2, &second));
    const std::string addresses[] = {peer_address(0), peer_address(1)};
    int ports[2][2] = {{peer, open_peer(0)}, {open_peer(1), open_peer(1)}};
    const std::string join = "<ChView>Jazz Lounge</ChView>";
    for (int window = 0; window < 20; ++window) {
        // Ten rounds at a time: the replies wait in the peers' default receive queues.
        for (int round = 0; round < 10; ++round)
            for (auto& address_ports : ports)
                for (int port : address_ports)
                    ASSERT_TRUE(send_message(port, join));
        for (int a = 0; a < 2; ++a)
            for (int port : ports[a])
                for (int round = 0; round < 10; ++round) {
                    std::vector<std::string> listed = element_texts(reply_to(port, 3000), "IPv4");
                    ASSERT_EQ(std::count(listed.begin(), listed.end(), addresses[a]), 0) << "window " << window;
                    ASSERT_LE(listed.size(), 1u) << "window " << window;
                }
    }
    EXPECT_TRUE(only_admin_connected(admin, 5000));
    EXPECT_EQ(admin_value(admin, "select group_concat(concat(IPv4,':',n) order by IPv4) from (select IPv4, "
                                 "count(*) n from p2pdb.userlist where alive=1 group by IPv4) a"),
              addresses[0] + ":1," + addresses[1] + ":1");
    // Each worker had its address's lines: both took part.
    drain_output(&tracker, 100);
    stop_program(&second);
    EXPECT_NE(tracker.out, "");
    EXPECT_NE(second.out, "");
}
