// quorvane_tcp's catalogue and channel join against a real directory server, with the test
// playing the tracker host: replies come back on the connection, whole and in order.
#include "directory_fixture.h"
#include "e2e_support.h"
#include "tracker_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

class TrackerClientDirectory : public TrackerHostTest {
protected:
    void SetUp() override
    {
        admin = connect_as_admin();
        ASSERT_NE(admin, nullptr);
        clear_directory(admin);
        ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.`group` (groupid, name) values (1, 'News'), (2, 'Sports')"));
        ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.Channel (name, groupid) values ('A1', 1), ('B1', 2)"));
        TrackerHostTest::SetUp();
    }
    void TearDown() override
    {
        TrackerHostTest::TearDown();
        if (admin)
            mysql_close(admin);
    }
    // Reads the connection until it ends with `ending`, or time is up.
    std::string receive_until(const std::string& ending, std::size_t at_most = 64 << 20)
    {
        std::string received;
        while (received.size() < at_most &&
               !(received.size() >= ending.size() && received.compare(received.size() - ending.size(), ending.size(), ending) == 0)) {
            std::string more = receive_on_connection(&host, 1, 10000);
            if (more.empty())
                break;
            received += more;
        }
        return received;
    }
    MYSQL* admin = nullptr;
};

static const std::string catalogue = std::string("<Channels><Group name=\"News\"><Channel>A1</Channel></Group>"
                                                 "<Group name=\"Sports\"><Channel>B1</Channel></Group></Channels>") +
                                     '\0';

static std::string neighbor(const std::string& name = "")
{
    return "<Neighbor><IPv4>127.0.0.1</IPv4><port>8848</port><name>" + name + "</name></Neighbor>";
}

TEST_F(TrackerClientDirectory, CatalogueRequestIsAnsweredOnTheConnection)
{
    send_chunk(std::string("<Msg>1</Msg>\0", 13));
    EXPECT_EQ(receive_until(std::string("</Channels>\0", 12)), catalogue);
    EXPECT_EQ(host.client.out, "");
}

TEST_F(TrackerClientDirectory, TwoRequestsInOneChunkAreAnsweredOnce)
{
    send_chunk("<Msg>1</Msg><Msg>1</Msg>");
    // A join after them: its reply comes after every reply to the chunk.
    send_chunk("<ChView>B1</ChView>");
    std::string neighbors = std::string("<Neighbors>" + neighbor() + "</Neighbors>") + '\0';
    EXPECT_EQ(receive_until(std::string("</Neighbors>\0", 13)), catalogue + neighbors);
}

TEST_F(TrackerClientDirectory, JoinRegistersTheTrackerHostAndListsItself)
{
    send_chunk("<ChView>A1</ChView>");
    std::string ending("</Neighbors>\0", 13);
    EXPECT_EQ(receive_until(ending), "<Neighbors>" + neighbor() + ending);
    // Every join adds a row, and the list shows every row of the channel.
    send_chunk("<ChView>A1");
    EXPECT_EQ(receive_until(ending), "<Neighbors>" + neighbor() + neighbor() + ending);
    std::vector<admin_row> rows = admin_rows(admin, "select IPv4, port, alive from p2pdb.userlist u join p2pdb.Channel c "
                                                    "on u.iChannel = c.iChannel where c.name = 'A1'");
    ASSERT_EQ(rows.size(), 2u);
    for (const admin_row& row : rows)
        EXPECT_EQ(row, (admin_row{"127.0.0.1", "8848", "1"}));
    // An unknown channel: an empty list, and nothing registered.
    send_chunk("<ChView>nowhere</ChView>");
    EXPECT_EQ(receive_until(ending), "<Neighbors>" + ending);
    EXPECT_EQ(admin_value(admin, "select count(*) from p2pdb.userlist"), "2");
}

// More than the socket buffers hold, so the client can send it only as the test reads, and
// more channels than the tracker account's row limit (3,500 at most): that many arrive, whole.
TEST_F(TrackerClientDirectory, LargeCatalogueReachesTheConnectionUpToTheRowLimit)
{
    const int channels = 30000, row_limit = 3500;
    ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.Channel (name, groupid) select concat(lpad(seq, 6, '0'), "
                                     "repeat('x', 249)), 1 from p2pdb.seq_1_to_" + std::to_string(channels)));
    send_chunk("<Msg>1</Msg>");
    std::string ending("</Group></Channels>\0", 20);
    std::string reply = receive_until(ending);
    ASSERT_EQ(reply.substr(0, 30), "<Channels><Group name=\"News\"><");
    std::vector<std::string> names;
    for (std::size_t at = reply.find("<Channel>"); at != std::string::npos; at = reply.find("<Channel>", at + 1))
        names.push_back(reply.substr(at + 9, reply.find('<', at + 9) - at - 9));
    ASSERT_EQ(names.size(), static_cast<std::size_t>(row_limit));
    std::sort(names.begin(), names.end());
    EXPECT_TRUE(std::adjacent_find(names.begin(), names.end()) == names.end());
    // The limit cuts the rows in group order: all of them from the first group, whole.
    for (const std::string& name : names)
        EXPECT_TRUE(name.size() == 255 || name == "A1") << name;
    EXPECT_EQ(reply.find("Sports"), std::string::npos);
}
