// Directory failures: no handle, the server down, failing queries; notices counted, nothing
// registered that should not be, nothing left open.
#include "fixture.h"

extern "C" MYSQL* __real_mysql_init(MYSQL* mysql);
extern "C" MYSQL* __wrap_mysql_init(MYSQL* mysql)
{
    return refuse_handles ? nullptr : __real_mysql_init(mysql);
}

TEST_F(JoinRequests, NoHandleCountsAsAFailedConnection)
{
    peer_socket peer = open_peer("127.0.0.2");
    refuse_handles = true;
    EXPECT_EQ(catalogue(peer), no_reply);
    EXPECT_EQ(notices, 2);
    EXPECT_EQ(join(peer, "Jazz Lounge"), no_reply);
    EXPECT_EQ(notices, 4);
    join_channel_registering_first(stream, tracker_host, "Jazz Lounge");
    EXPECT_TRUE(nothing_on_stream());
    EXPECT_EQ(notices, 6);
    refuse_handles = false;
    EXPECT_EQ(count("1"), "0");
    EXPECT_NE(catalogue(peer), no_reply);
}

TEST_F(JoinRequests, ServerDownShowsTwoNoticesPerRequestAndServiceResumesWhenItIsBack)
{
    peer_socket peer = open_peer("127.0.0.2");
    mysql_close(admin);
    admin = nullptr;
    ASSERT_TRUE(stop_directory_server());
    EXPECT_EQ(catalogue(peer), no_reply);
    EXPECT_EQ(notices, 2);
    EXPECT_EQ(join(peer, "Jazz Lounge"), no_reply);
    EXPECT_EQ(notices, 4);
    join_channel_registering_first(stream, tracker_host, "x\" or \"1\"=\"1");
    EXPECT_TRUE(nothing_on_stream());
    EXPECT_EQ(notices, 6);
    ASSERT_TRUE(start_directory_server());
    admin = connect_as_admin();
    ASSERT_NE(admin, nullptr);
    EXPECT_EQ(count("1"), "0");
    EXPECT_EQ(join(peer, "Jazz Lounge"), empty_neighbors);
    EXPECT_EQ(catalogue(peer),
              std::string("<Channels><Group name=\"Music\"><Channel>Jazz Lounge</Channel></Group></Channels>") + '\0');
    EXPECT_EQ(notices, 6);
}

TEST_F(JoinRequests, FailingCatalogueQueryShowsOneNoticeAndNoReply)
{
    peer_socket peer = open_peer("127.0.0.2");
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.`group` to p2pdb.group_away"));
    EXPECT_EQ(catalogue(peer), no_reply);
    EXPECT_EQ(notices, 1);
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.group_away to p2pdb.`group`"));
    EXPECT_NE(catalogue(peer), no_reply);
    EXPECT_EQ(notices, 1);
}

TEST_F(JoinRequests, FailingNeighbourQueryInQuorvaneKeepsTheResetAndRegistersNothing)
{
    peer_socket peer = open_peer("127.0.0.2");
    join(peer, "Jazz Lounge");
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.channel to p2pdb.channel_away"));
    EXPECT_EQ(join(peer, "Jazz Lounge"), no_reply);
    EXPECT_EQ(notices, 1);
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.channel_away to p2pdb.channel"));
    EXPECT_EQ(admin_value(admin, "select group_concat(alive) from p2pdb.userlist"), "0");
}

TEST_F(JoinRequests, FailingNeighbourQueryInQuorvaneTcpKeepsTheRegistration)
{
    // The account may still register (read channel, insert) but no longer read userlist.
    ASSERT_TRUE(run_admin_sql(admin, "revoke select on p2pdb.* from quorvane_tracker"));
    ASSERT_TRUE(run_admin_sql(admin, "grant select on p2pdb.channel to quorvane_tracker"));
    join_channel_registering_first(stream, tracker_host, "Jazz Lounge");
    bool silent = nothing_on_stream();
    run_admin_sql(admin, "revoke select on p2pdb.channel from quorvane_tracker");
    run_admin_sql(admin, "grant select on p2pdb.* to quorvane_tracker");
    EXPECT_TRUE(silent);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(count("IPv4='127.0.0.1' and port=8848 and alive=1"), "1");
}

TEST_F(JoinRequests, ManyRequestsLeaveNoConnectionAndNoDescriptorOpen)
{
    peer_socket peer = open_peer("127.0.0.2");
    catalogue(peer);
    join(peer, "Jazz Lounge");
    // The upkeep's runs would count as connections.
    run_admin_sql(admin, "set global event_scheduler=off");
    int descriptors = open_descriptor_count(getpid());
    long connections = status_counter(admin, "Connections");
    for (int i = 0; i < 50; ++i) {
        catalogue(peer);
        join(peer, i % 2 ? "Jazz Lounge" : "No Such Channel");
        join_channel_registering_first(stream, tracker_host, "Jazz Lounge");
        read_document();
    }
    refuse_handles = true;
    catalogue(peer);
    refuse_handles = false;
    run_admin_sql(admin, "rename table p2pdb.`group` to p2pdb.group_away");
    catalogue(peer);
    run_admin_sql(admin, "rename table p2pdb.group_away to p2pdb.`group`");
    EXPECT_EQ(open_descriptor_count(getpid()), descriptors);
    EXPECT_TRUE(only_admin_connected(admin, 5000)) << threads_connected(admin);
    // One connection per request that got a handle (the admin's status queries add none).
    EXPECT_EQ(status_counter(admin, "Connections") - connections, 151);
    EXPECT_EQ(notices, 3);
    run_admin_sql(admin, "set global event_scheduler=on");
}
