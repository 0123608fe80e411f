// quorvane_peer against the real programs and a private directory server: catalogue and joins
// over UDP to quorvane, RTP packets relayed, the tracker host for quorvane_tcp; and against a
// tracker played by the test that stays silent or answers wrongly.
#include "directory_fixture.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

static const std::string nul(1, '\0');

// Starts quorvane_peer with the arguments, output on pipes, standard input from /dev/null.
static bool start_peer(const std::vector<std::string>& arguments, child_process* child)
{
    return start_program(program_path("quorvane_peer"), arguments, child);
}

// Runs quorvane_peer to its end: its exit status, and its output in `child`.
static int run_peer(const std::vector<std::string>& arguments, child_process* child)
{
    if (!start_peer(arguments, child))
        return -1;
    read_output_until(child, SIZE_MAX, 15000);
    return wait_for_exit(child, 5000);
}

class PeerTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        admin = connect_as_admin();
        ASSERT_NE(admin, nullptr);
        clear_directory(admin);
        // One channel per group: the catalogue's order is then fixed.
        ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.`group` values (1, 'News'), (2, 'Music')"));
        ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.Channel (name, groupid) values ('World Report', 1), "
                                         "('Jazz Lounge', 2)"));
    }
    void TearDown() override
    {
        stop_program(&peer);
        stop_program(&tracker);
        if (admin)
            mysql_close(admin);
    }
    void start_quorvane()
    {
        ASSERT_TRUE(start_udp_service("quorvane", 8848, &tracker));
    }
    MYSQL* admin = nullptr;
    child_process tracker;
    child_process peer;
};

static const std::string catalogue_document =
    "<Channels><Group name=\"News\"><Channel>World Report</Channel></Group><Group name=\"Music\">"
    "<Channel>Jazz Lounge</Channel></Group></Channels>" + nul;
static const std::string catalogue_view = "<Channels>\n"
                                          "  <Group name=\"News\">\n"
                                          "    <Channel>World Report</Channel>\n"
                                          "  </Group>\n"
                                          "  <Group name=\"Music\">\n"
                                          "    <Channel>Jazz Lounge</Channel>\n"
                                          "  </Group>\n"
                                          "</Channels>\n";

TEST_F(PeerTool, CatalogueIsPrintedIndentedOrRaw)
{
    start_quorvane();
    EXPECT_EQ(run_peer({"catalogue", "127.0.0.1"}, &peer), 0) << peer.err;
    EXPECT_EQ(peer.out, catalogue_view);
    stop_program(&peer);
    peer = child_process();
    EXPECT_EQ(run_peer({"--raw", "--time", "catalogue", "127.0.0.1"}, &peer), 0) << peer.err;
    EXPECT_EQ(peer.out, catalogue_document);
    EXPECT_EQ(peer.err.rfind("quorvane_peer: " + std::to_string(catalogue_document.size()) + " bytes in ", 0), 0u)
        << peer.err;
}

TEST_F(PeerTool, JoinsFromTwoAddressesListTheFirstToTheSecond)
{
    start_quorvane();
    EXPECT_EQ(run_peer({"--from", "127.0.0.2", "join", "127.0.0.1", "Jazz Lounge"}, &peer), 0) << peer.err;
    EXPECT_EQ(peer.out, "<Neighbors></Neighbors>\n");
    stop_program(&peer);
    peer = child_process();
    // The registration follows the reply: let the first request finish.
    ASSERT_TRUE(only_admin_connected(admin, 5000));
    EXPECT_EQ(run_peer({"--from", "127.0.0.3", "join", "127.0.0.1", "Jazz Lounge"}, &peer), 0) << peer.err;
    EXPECT_EQ(peer.out.substr(0, 52), "<Neighbors>\n  <Neighbor>\n    <IPv4>127.0.0.2</IPv4>\n") << peer.out;
    EXPECT_NE(peer.out.find("    <name></name>\n  </Neighbor>\n</Neighbors>\n"), std::string::npos) << peer.out;
}

TEST_F(PeerTool, RtpFileIsRelayedPacketByPacketAndAPartialFileIsRefused)
{
    int relay_listener = bound_udp_socket("127.0.0.1", 1234);
    ASSERT_GE(relay_listener, 0);
    start_quorvane();
    std::string packets(2 * 1328, '\0');
    for (std::size_t i = 0; i < packets.size(); ++i)
        packets[i] = static_cast<char>(i % 7 == 0 ? 0 : i * 31);
    std::string file = "/tmp/quorvane-peer-test.rtp";
    std::ofstream(file, std::ios::binary) << packets;
    EXPECT_EQ(run_peer({"--interval", "0", "rtp", "127.0.0.1", file}, &peer), 0) << peer.err;
    for (int i = 0; i < 2; ++i) {
        std::string datagram;
        ASSERT_TRUE(receive_udp(relay_listener, &datagram, 5000)) << "packet " << i;
        EXPECT_EQ(datagram, packets.substr(static_cast<std::size_t>(i) * 1328, 1328)) << "packet " << i;
    }
    EXPECT_EQ(peer.out, "packet 1 sent: sequence 15965\npacket 2 sent: sequence 45\n");

    stop_program(&peer);
    peer = child_process();
    std::ofstream(file, std::ios::binary) << packets.substr(0, 2000);
    EXPECT_EQ(run_peer({"rtp", "127.0.0.1", file}, &peer), 1);
    EXPECT_NE(peer.err.find("whole 1328-byte packets"), std::string::npos) << peer.err;
    std::string datagram;
    EXPECT_FALSE(receive_udp(relay_listener, &datagram, 200));
    unlink(file.c_str());
    close(relay_listener);
}

TEST_F(PeerTool, HostModeServesQuorvaneTcpAndSpacesOutUnansweredMessages)
{
    ASSERT_TRUE(start_peer({"--wait", "10", "host", "<Msg>1</Msg>", "<ChView>World Report</ChView>", "<Msg>2</Msg>",
                            "<ChView>World Report</ChView>"},
                           &peer));
    ASSERT_TRUE(wait_for_tcp_listener(8848, 5000));
    child_process client;
    ASSERT_TRUE(start_program(program_path("quorvane_tcp"), &client));
    read_output_until(&peer, SIZE_MAX, 15000);
    EXPECT_EQ(wait_for_exit(&peer, 5000), 0) << peer.err;
    // The peer hung up after its last message: quorvane_tcp ends with status 0.
    EXPECT_EQ(wait_for_exit(&client, 5000), 0);
    stop_program(&client);
    std::string entry = "  <Neighbor>\n    <IPv4>127.0.0.1</IPv4>\n    <port>8848</port>\n    <name></name>\n"
                        "  </Neighbor>\n";
    // "<Msg>2</Msg>" gets no reply, and the join after it is still answered on its own.
    EXPECT_EQ(peer.out, catalogue_view + "<Neighbors>\n" + entry + "</Neighbors>\n<Neighbors>\n" + entry + entry +
                            "</Neighbors>\n");
    EXPECT_EQ(peer.err, "");
}

TEST_F(PeerTool, RefusedPortAndSilentTrackerEndWithStatusTwo)
{
    EXPECT_EQ(run_peer({"catalogue", "127.0.0.1"}, &peer), 2);
    EXPECT_NE(peer.err.find("nothing listens on 127.0.0.1 port 8848"), std::string::npos) << peer.err;
    stop_program(&peer);
    peer = child_process();
    int silent = bound_udp_socket("127.0.0.1", 8848);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(run_peer({"--timeout", "0.3", "join", "127.0.0.1", "Jazz Lounge"}, &peer), 2);
    EXPECT_NE(peer.err.find("no reply from 127.0.0.1 port 8848 within 300 ms"), std::string::npos) << peer.err;
    EXPECT_EQ(peer.out, "");
    close(silent);
}

// No tracker runs here. A usage error or a local failure is one line on standard error, status
// 1; a network that cannot be reached is like a tracker that is silent, status 2.
TEST_F(PeerTool, OptionConventionsAndFailuresEachWithItsStatus)
{
    struct outcome {
        std::vector<std::string> arguments;
        int status;
        std::string shown;  // the start of standard output on success, else part of the error line
    };
    const outcome outcomes[] = {
        {{"-h"}, 0, "usage: quorvane_peer"},
        {{"--version"}, 0, "quorvane_peer "},
        {{"--frm", "127.0.0.2", "catalogue", "127.0.0.1"}, 1,
         "quorvane_peer: unknown option '--frm'; see quorvane_peer --help\n"},
        {{"--port", "1e3", "catalogue", "127.0.0.1"}, 1, "not a valid --port: '1e3'"},
        {{"--timeout", "1e3", "catalogue", "127.0.0.1"}, 1, "not a valid --timeout: '1e3'"},
        {{"--port=9", "--timeout=0.5", "catalogue", "127.0.0.1"}, 2, "nothing listens on 127.0.0.1 port 9 "},
        {{"catalogue", "10.1.2.3"}, 2, "cannot reach 10.1.2.3 port 8848"},
        {{"rtp", "127.0.0.1", "/tmp"}, 1, "/tmp: not a regular file"},
        {{"rtp", "127.0.0.1", "/dev/null"}, 1, "/dev/null: not a regular file"},
        {{"rtp", "127.0.0.1", "/proc/self/mem"}, 1, "cannot read /proc/self/mem"},
        {{"--from", "192.0.2.1", "host", "<Msg>1</Msg>"}, 1, "cannot listen on TCP 192.0.2.1 port 8848"},
    };
    for (const outcome& expected : outcomes) {
        peer = child_process();
        std::string line = ::testing::PrintToString(expected.arguments);
        EXPECT_EQ(run_peer(expected.arguments, &peer), expected.status) << line << peer.err;
        if (expected.status == 0) {
            EXPECT_EQ(peer.out.rfind(expected.shown, 0), 0u) << line << peer.out;
        } else {
            EXPECT_NE(peer.err.find(expected.shown), std::string::npos) << line << peer.err;
            EXPECT_EQ(std::count(peer.err.begin(), peer.err.end(), '\n'), 1) << line << peer.err;
        }
        stop_program(&peer);
    }
}

TEST_F(PeerTool, MalformedRepliesEndWithStatusThreeAndAreStillShown)
{
    int fake_tracker = bound_udp_socket("127.0.0.1", 8848);
    ASSERT_GE(fake_tracker, 0);
    const std::string replies[] = {"<Channels></Group></Channels>", "<Neighbors></Neighbors>" + nul,
                                   "<Channels></Group>" + nul + "</Channels>" + nul, ""};
    for (const std::string& reply : replies) {
        peer = child_process();
        ASSERT_TRUE(start_peer({"--raw", "catalogue", "127.0.0.1"}, &peer));
        std::string request;
        sockaddr_in asker{};
        ASSERT_TRUE(receive_udp(fake_tracker, &request, 5000, &asker));
        EXPECT_EQ(request, "<Msg>1</Msg>");
        sendto(fake_tracker, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&asker), sizeof asker);
        read_output_until(&peer, SIZE_MAX, 5000);
        EXPECT_EQ(wait_for_exit(&peer, 5000), 3) << reply;
        EXPECT_EQ(peer.out, reply);
        EXPECT_NE(peer.err.find("malformed reply"), std::string::npos) << peer.err;
        stop_program(&peer);
    }
    close(fake_tracker);
}
