// A channel name is always plain text, whatever its bytes and length, and NULLs read as
// empty text.
#include "fixture.h"

#include <algorithm>
#include <string>
#include <vector>

// ---- A channel name is always plain text ----

static const std::vector<std::string> awkward_names = {
    "a\"b", "c\\d", "e'f", "g%h", "i_j", "k\\", "\"", "\\\"", "\xe9\xff", "Caf\xc3\xa9", "\xbf\x27", "\x81\x5c\x22",
};

TEST_F(JoinRequests, NamesWithQuotesBackslashesWildcardsAndHighBytesWork)
{
    for (std::size_t i = 0; i < awkward_names.size(); ++i)
        add_channel(static_cast<int>(100 + i), awkward_names[i], "1");
    peer_socket first = open_peer("127.0.0.2");
    peer_socket second = open_peer("127.0.0.3");
    for (std::size_t i = 0; i < awkward_names.size(); ++i) {
        SCOPED_TRACE("channel " + std::to_string(100 + i));
        EXPECT_EQ(join(first, awkward_names[i]), empty_neighbors);
        EXPECT_EQ(count("iChannel=" + std::to_string(100 + i) + " and IPv4='127.0.0.2' and alive=1"), "1");
        EXPECT_EQ(join(second, awkward_names[i]), neighbors(neighbor(first)));
    }
    // '%' and '_' are no wildcards: they match only themselves.
    EXPECT_EQ(join(first, "g_h"), empty_neighbors);
    EXPECT_EQ(join(first, "i%"), empty_neighbors);
    EXPECT_EQ(count("IPv4='127.0.0.2' and alive=1"), "0");
    EXPECT_EQ(notices, 0);
}

static const std::vector<std::string> injections = {
    "x\" or \"1\"=\"1",
    "x\" or name like \"%",
    "\" or 1=1 -- ",
    "x\\\" or \"1\"=\"1",
    "x'\" or \"1\"=\"1",
    "\"; delete from p2pdb.userlist; --",
};

TEST_F(JoinRequests, InjectedSqlMatchesNoChannelAndChangesNothing)
{
    peer_socket member = open_peer("127.0.0.2");
    join(member, "Jazz Lounge");
    peer_socket attacker = open_peer("127.0.0.9");
    for (const std::string& name : injections) {
        SCOPED_TRACE(name);
        EXPECT_EQ(join(attacker, name), empty_neighbors);
        join_channel_registering_first(service, attacker.address, name);
        EXPECT_EQ(reply_to(attacker), empty_neighbors);
    }
    EXPECT_EQ(admin_value(admin, "select group_concat(concat(IPv4,':',alive)) from p2pdb.userlist"), "127.0.0.2:1");
    EXPECT_EQ(admin_value(admin, "select count(*) from p2pdb.channel"), "1");
    EXPECT_EQ(notices, 0);
}

TEST_F(JoinRequests, NamesStayPlainTextUnderNoBackslashEscapes)
{
    std::string mode = admin_value(admin, "select @@global.sql_mode");
    ASSERT_TRUE(run_admin_sql(admin, "set global sql_mode='" + mode + ",NO_BACKSLASH_ESCAPES'"));
    for (std::size_t i = 0; i < awkward_names.size(); ++i)
        add_channel(static_cast<int>(100 + i), awkward_names[i], "1");
    peer_socket first = open_peer("127.0.0.2");
    peer_socket second = open_peer("127.0.0.3");
    for (std::size_t i = 0; i < awkward_names.size(); ++i) {
        SCOPED_TRACE("channel " + std::to_string(100 + i));
        join(first, awkward_names[i]);
        EXPECT_EQ(join(second, awkward_names[i]), neighbors(neighbor(first)));
    }
    for (const std::string& name : injections) {
        SCOPED_TRACE(name);
        EXPECT_EQ(join(open_peer("127.0.0.9"), name), empty_neighbors);
    }
    EXPECT_EQ(count("IPv4='127.0.0.9'"), "0");
    EXPECT_EQ(notices, 0);
    run_admin_sql(admin, "set global sql_mode='" + mode + "'");
}

// ---- No statement is cut ----

TEST_F(JoinRequests, LongChannelNamesRunWhole)
{
    peer_socket peer = open_peer("127.0.0.2");
    EXPECT_EQ(join(peer, std::string(1000, 'u')), empty_neighbors);
    join_channel_registering_first(service, peer.address, std::string(1000, 'u'));
    EXPECT_EQ(reply_to(peer), empty_neighbors);
    // The longest name a message can carry, every byte doubled by escaping.
    EXPECT_EQ(join(peer, std::string(1334, '"')), empty_neighbors);
    std::string longest(255, 'L');
    longest[0] = '"';
    longest[254] = '\\';
    add_channel(50, longest, "1");
    join(peer, longest);
    EXPECT_EQ(count("iChannel=50 and alive=1"), "1");
    EXPECT_EQ(join(open_peer("127.0.0.3"), longest), neighbors(neighbor(peer)));
    EXPECT_EQ(notices, 0);
}

// ---- NULL column values ----

TEST_F(JoinRequests, NullsInListedRowsAreWrittenAsEmptyText)
{
    // A looser schema than ours, as another directory might have it.
    ASSERT_TRUE(run_admin_sql(admin, "alter table p2pdb.userlist modify IPv4 varchar(15) null, "
                                     "modify port smallint unsigned null, modify name varbinary(255) null"));
    run_admin_sql(admin, "insert into p2pdb.userlist(IPv4,port,IPv6,iChannel,alive,name) "
                         "values (NULL,NULL,'',6,1,NULL)");
    EXPECT_EQ(join(open_peer("127.0.0.2"), "Jazz Lounge"),
              neighbors("<Neighbor><IPv4></IPv4><port></port><name></name></Neighbor>"));
    run_admin_sql(admin, "delete from p2pdb.userlist");
    ASSERT_TRUE(run_admin_sql(admin, "alter table p2pdb.userlist "
                                     "modify IPv4 varchar(15) character set ascii collate ascii_bin not null, "
                                     "modify port smallint unsigned not null, "
                                     "modify name varbinary(255) not null default ''"));
}
