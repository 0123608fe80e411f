// The two channel joins: who is listed, what is registered and retired, the statements as the
// server logged them, and a channel larger than one datagram and than the row limit.
#include "fixture.h"

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

TEST_F(JoinRequests, FirstPeerGetsAnEmptyListAndIsRegisteredAfterTheReply)
{
    peer_socket first = open_peer("127.0.0.2");
    std::string reply = join(first, "Jazz Lounge");
    EXPECT_EQ(reply, empty_neighbors);
    EXPECT_EQ(reply.size(), 24u);
    std::vector<admin_row> rows = admin_rows(admin, "select IPv4,port,IPv6,iChannel,alive,name from p2pdb.userlist");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (admin_row{"127.0.0.2", std::to_string(ntohs(first.address.sin_port)), "", "6", "1", ""}));
    EXPECT_EQ(notices, 0);
}

TEST_F(JoinRequests, LaterPeersSeeTheAlivePeersButNeverThemselves)
{
    peer_socket first = open_peer("127.0.0.2");
    peer_socket second = open_peer("127.0.0.3");
    join(first, "Jazz Lounge");
    EXPECT_EQ(join(second, "Jazz Lounge"), neighbors(neighbor(first)));
    EXPECT_EQ(count("IPv4='127.0.0.2' and alive=1"), "1");
    // Joining again: the first registration is retired, the list shows only the other peer.
    EXPECT_EQ(join(first, "Jazz Lounge"), neighbors(neighbor(second)));
    EXPECT_EQ(count("IPv4='127.0.0.2' and alive=0"), "1");
    EXPECT_EQ(count("IPv4='127.0.0.2' and alive=1"), "1");
}

TEST_F(JoinRequests, PeersBehindOneAddressRetireEachOther)
{
    peer_socket one = open_peer("127.0.0.2");
    peer_socket other = open_peer("127.0.0.2");
    peer_socket outsider = open_peer("127.0.0.4");
    EXPECT_EQ(join(one, "Jazz Lounge"), empty_neighbors);
    EXPECT_EQ(join(other, "Jazz Lounge"), empty_neighbors);
    EXPECT_EQ(count("alive=1"), "1");
    EXPECT_EQ(join(outsider, "Jazz Lounge"), neighbors(neighbor(other)));
}

TEST_F(JoinRequests, JoiningASecondChannelLeavesTheFirst)
{
    peer_socket mover = open_peer("127.0.0.2");
    peer_socket watcher = open_peer("127.0.0.3");
    add_channel(7, "Classic Hits", "1");
    join(mover, "Jazz Lounge");
    join(mover, "Classic Hits");
    EXPECT_EQ(join(watcher, "Jazz Lounge"), empty_neighbors);
    peer_socket listener = open_peer("127.0.0.4");
    EXPECT_EQ(join(listener, "Classic Hits"), neighbors(neighbor(mover)));
}

TEST_F(JoinRequests, ListIsOrderedByPeerName)
{
    peer_socket carol = open_peer("127.0.0.2");
    peer_socket alice = open_peer("127.0.0.3");
    peer_socket bob = open_peer("127.0.0.4");
    for (const peer_socket* peer : {&carol, &alice, &bob})
        join(*peer, "Jazz Lounge");
    run_admin_sql(admin, "update p2pdb.userlist set name='carol' where IPv4='127.0.0.2'");
    run_admin_sql(admin, "update p2pdb.userlist set name='alice' where IPv4='127.0.0.3'");
    run_admin_sql(admin, "update p2pdb.userlist set name='bob' where IPv4='127.0.0.4'");
    EXPECT_EQ(join(open_peer("127.0.0.5"), "Jazz Lounge"),
              neighbors(neighbor(alice, "alice") + neighbor(bob, "bob") + neighbor(carol, "carol")));
}

TEST_F(JoinRequests, UnknownOrEmptyChannelNameListsNothingAndRegistersNothing)
{
    peer_socket peer = open_peer("127.0.0.2");
    EXPECT_EQ(join(peer, "No Such Channel"), empty_neighbors);
    EXPECT_EQ(join(peer, ""), empty_neighbors);
    EXPECT_EQ(count("1"), "0");
    add_channel(9, "", "1");
    join(peer, "");
    EXPECT_EQ(count("iChannel=9 and alive=1"), "1");
    EXPECT_EQ(notices, 0);
}

// A directory whose catalogue repeats a name keeps its plain key when the schema is loaded
// again, and works as before: a large channel of that name, and then one with no key on names
// at all, lists full, from both channels, whatever the server's plan. Without the repeat the
// name becomes unique again.
TEST_F(JoinRequests, ChannelsSharingANameEachGetARegistration)
{
    ASSERT_TRUE(run_admin_sql(admin, "alter table p2pdb.Channel drop key channel_name"));
    add_channel(8, "Jazz Lounge", "1");
    ASSERT_TRUE(load_schema());
    peer_socket peer = open_peer("127.0.0.2");
    join(peer, "Jazz Lounge");
    EXPECT_EQ(join(open_peer("127.0.0.3"), "Jazz Lounge"), neighbors(neighbor(peer) + neighbor(peer)));
    EXPECT_EQ(admin_value(admin, "select group_concat(iChannel order by iChannel) from p2pdb.userlist where alive=1 "
                                 "and IPv4='127.0.0.2'"),
              "6,8");
    std::string unique_keys = "select count(*) from information_schema.statistics where table_schema='p2pdb' and "
                              "table_name='channel' and index_name='channel_name' and non_unique=0";
    EXPECT_EQ(admin_value(admin, unique_keys), "0");
    ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.userlist(IPv4,port,iChannel,alive) select concat('10.',"
                                     "iChannel,'.',seq >> 8,'.',seq & 255),4000,iChannel,1 from p2pdb.channel join "
                                     "p2pdb.seq_1_to_800"));
    for (const char* keys : {"", "alter table p2pdb.Channel drop key channel_by_name"}) {
        ASSERT_TRUE(!*keys || run_admin_sql(admin, keys));
        std::string datagram = join(open_peer("127.0.0.4"), "Jazz Lounge");
        EXPECT_GT(datagram.size(), 65000u) << keys;
        EXPECT_NE(datagram.find("<IPv4>10.6."), std::string::npos);
        EXPECT_NE(datagram.find("<IPv4>10.8."), std::string::npos);
        EXPECT_EQ(element_texts(join_on_stream("Jazz Lounge"), "Neighbor").size(), 1200u);
    }
    run_admin_sql(admin, "delete from p2pdb.Channel where iChannel=8");
    ASSERT_TRUE(load_schema());
    EXPECT_EQ(admin_value(admin, unique_keys), "1");
}

TEST_F(JoinRequests, RegistersFirstAndListsEveryRowOfTheChannel)
{
    std::string own = "<Neighbor><IPv4>127.0.0.1</IPv4><port>8848</port><name></name></Neighbor>";
    EXPECT_EQ(join_on_stream("Jazz Lounge"), neighbors(own));
    EXPECT_EQ(join_on_stream("Jazz Lounge"), neighbors(own + own));
    // Nothing is retired, and retired rows are listed all the same.
    EXPECT_EQ(count("alive=1"), "2");
    run_admin_sql(admin, "update p2pdb.userlist set alive=0");
    EXPECT_EQ(join_on_stream("Jazz Lounge"), neighbors(own + own + own));
    EXPECT_EQ(join_on_stream("No Such Channel"), empty_neighbors);
    EXPECT_EQ(count("1"), "3");
    EXPECT_EQ(notices, 0);
}

// ---- The statements on the wire, from the server's general log ----

TEST_F(JoinRequests, StatementsAreSentExactlyAndInOrder)
{
    peer_socket peer = open_peer("127.0.0.2");
    std::string port = std::to_string(ntohs(peer.address.sin_port));
    run_admin_sql(admin, "set global log_output='TABLE'");
    run_admin_sql(admin, "truncate table mysql.general_log");
    run_admin_sql(admin, "set global general_log=1");
    catalogue(peer);
    join(peer, "Jazz Lounge");
    join_registering_first(peer, "Jazz Lounge");
    // The server logs a connection's Quit when it gets to it, which can be after the request.
    EXPECT_TRUE(only_admin_connected(admin, 5000));
    run_admin_sql(admin, "set global general_log=0");
    std::vector<admin_row> logged = admin_rows(
        admin, "select argument from mysql.general_log where command_type='Query' and user_host like '" +
                   std::string(directory_user) + "[%'");
    std::vector<std::string> statements;
    for (const admin_row& row : logged)
        statements.push_back(row[0].value_or("NULL"));
    // Each neighbour query carries its join's own starting draw, twice.
    std::vector<std::string> draws;
    for (const std::string& statement : statements) {
        std::smatch draw;
        if (std::regex_search(statement, draw, std::regex("u\\.draw>=([0-9]+)")))
            draws.push_back(draw[1]);
    }
    ASSERT_EQ(draws.size(), 2u);
    std::string register_peer = "insert into p2pdb.userlist(IPv4, port, IPv6, iChannel,alive) select \"127.0.0.2\"," +
                                port + ",\"\",iChannel,1 from p2pdb.channel where name=\"Jazz Lounge\"";
    // The server runs its init_connect (the account's row limit) first in each connection.
    std::string init = admin_value(admin, "select @@global.init_connect");
    std::vector<std::string> expected = {
        init,
        "select chgroup.groupid groupid,chgroup.name ChGroup,channel.name Channel from p2pdb.Channel channel left join "
        "p2pdb.group chgroup on channel.groupid=chgroup.groupid order by chgroup.groupid",
        init,
        "update p2pdb.userlist set alive=0 where IPV4=\"127.0.0.2\"",
        "(select IPv4,port,u.name from p2pdb.userlist u force index (userlist_listing_alive) left join p2pdb.channel c "
        "on u.iChannel=c.iChannel where c.name=\"Jazz Lounge\" and u.alive=1 and u.name=\"\" and u.draw>=" + draws[0] +
            " order by u.draw limit 962) union all (select IPv4,port,u.name from p2pdb.userlist u force index "
            "(userlist_listing_alive) left join p2pdb.channel c on u.iChannel=c.iChannel where c.name=\"Jazz Lounge\" "
            "and u.alive=1 and (u.name=\"\" and u.draw<" + draws[0] +
            " or u.name>\"\" or u.name is null) order by u.name,u.draw limit 962) limit 962",
        register_peer,
        init,
        register_peer,
        "(select IPv4,port,u.name from p2pdb.userlist u force index (userlist_listing_every_row) left join "
        "p2pdb.channel c on u.iChannel=c.iChannel where c.name=\"Jazz Lounge\" and u.name=\"\" and u.draw>=" + draws[1] +
            " order by u.draw limit 1200) union all (select IPv4,port,u.name from p2pdb.userlist u force index "
            "(userlist_listing_every_row) left join p2pdb.channel c on u.iChannel=c.iChannel where c.name=\"Jazz "
            "Lounge\" and (u.name=\"\" and u.draw<" + draws[1] +
            " or u.name>\"\" or u.name is null) order by u.name,u.draw limit 1200) limit 1200",
    };
    ASSERT_NE(init, "");
    EXPECT_EQ(statements, expected);
    // Three requests, three connections, each closed again.
    EXPECT_EQ(admin_value(admin, "select count(*) from mysql.general_log where command_type='Connect' and "
                                 "argument like '" + std::string(directory_user) + "@%'"),
              "3");
    EXPECT_EQ(admin_value(admin, "select count(*) from mysql.general_log where command_type='Quit'"), "3");
}

// A channel larger than a reply: the datagram is a whole document with as many neighbours as
// fit, the channel's alive rows in name order; the stream gets the first 1,200, retired ones
// among them.
TEST_F(JoinRequests, LargeNeighbourListIsCutToOneDatagramAndToTheRowLimitOnAStream)
{
    add_channel(7, "Classic Hits", "1");
    std::string values;
    std::vector<std::string> alive_names;
    for (int i = 0; i < 3000; ++i) {
        // Inserted out of name order; every fifth retired; every seventh in another channel.
        int key = (i * 7919) % 3000;
        std::string name = "peer " + std::to_string(10000 + key) + " with a rather long display name";
        bool alive = i % 5 != 0, here = i % 7 != 0;
        if (alive && here)
            alive_names.push_back(name);
        values += std::string(i ? "," : "") + "('10.1." + std::to_string(key / 250) + "." + std::to_string(key % 250) +
                  "',4000,'', " + (here ? "6" : "7") + "," + (alive ? "1" : "0") + ",'" + name + "')";
    }
    ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.userlist(IPv4,port,IPv6,iChannel,alive,name) values " + values));
    std::sort(alive_names.begin(), alive_names.end());

    std::string datagram = join(open_peer("127.0.0.2"), "Jazz Lounge");
    EXPECT_LE(datagram.size(), 65507u);
    EXPECT_GT(datagram.size(), 65000u);
    std::string end = std::string("</Neighbors>") + '\0';
    EXPECT_EQ(datagram.substr(datagram.size() - end.size()), end);
    std::vector<std::string> listed = element_texts(datagram, "name");
    ASSERT_GT(listed.size(), 500u);
    EXPECT_EQ(listed, std::vector<std::string>(alive_names.begin(), alive_names.begin() + static_cast<std::ptrdiff_t>(listed.size())));

    std::string whole = join_on_stream("Jazz Lounge");
    EXPECT_EQ(element_texts(whole, "Neighbor").size(), 1200u);
    EXPECT_EQ(whole.substr(whole.size() - end.size()), end);
}

// Rows of equal names (the tracker never writes one): a channel larger than one reply lists as
// many as fit, drawn afresh for every join from the whole channel, and the rows placed to sort
// first (low addresses, port 1, registered before the rest) come no more often than any other;
// on the stream the same, up to the row limit. A channel that fits one reply lists every alive row.
TEST_F(JoinRequests, EqualNamesAreDrawnAfreshFromTheWholeChannelForEveryJoin)
{
    std::string insert = "insert into p2pdb.userlist(IPv4,port,IPv6,iChannel,alive) ";
    ASSERT_TRUE(run_admin_sql(admin, insert + "select concat('1.0.0.', seq),1,'',6,1 from p2pdb.seq_1_to_50"));
    ASSERT_TRUE(run_admin_sql(admin, insert + "select concat('10.0.', seq >> 8, '.', seq & 255),4000+seq,'',6,1 "
                                              "from p2pdb.seq_51_to_3000"));
    peer_socket viewer = open_peer("127.0.0.2");
    std::map<std::string, int> times_listed;
    // Each join lists some 870 of the 3,000: after 50, a row never listed is rare, and a tenth of
    // the channel never listed is out of reach by chance.
    for (int joins = 0; joins < 50; ++joins) {
        std::vector<std::string> listed = element_texts(join(viewer, "Jazz Lounge"), "IPv4");
        ASSERT_GT(listed.size(), 850u);
        for (const std::string& address : listed)
            ++times_listed[address];
    }
    EXPECT_GT(times_listed.size(), 2700u);
    // Listed in 29 % of joins on average; 40 of 50 would take a chance below 1e-12.
    for (int first = 1; first <= 50; ++first)
        EXPECT_LT(times_listed["1.0.0." + std::to_string(first)], 40) << "1.0.0." << first;

    std::set<std::string> on_stream;
    for (int joins = 0; joins < 4; ++joins) {
        std::vector<std::string> listed = element_texts(join_on_stream("Jazz Lounge"), "IPv4");
        EXPECT_EQ(listed.size(), 1200u);
        on_stream.insert(listed.begin(), listed.end());
    }
    EXPECT_GT(on_stream.size(), 1200u);

    add_channel(7, "Classic Hits", "1");
    ASSERT_TRUE(run_admin_sql(admin, insert + "select concat('11.0.', seq >> 8, '.', seq & 255),4000,'',7,seq%6>0 "
                                              "from p2pdb.seq_1_to_600"));
    std::vector<std::string> alive;
    for (const admin_row& row : admin_rows(admin, "select IPv4 from p2pdb.userlist where iChannel=7 and alive=1"))
        alive.push_back(row[0].value_or("NULL"));
    std::sort(alive.begin(), alive.end());
    ASSERT_EQ(alive.size(), 500u);
    for (int joins = 0; joins < 3; ++joins) {
        std::vector<std::string> listed = element_texts(join(viewer, "Classic Hits"), "IPv4");
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(listed, alive);
    }
}

// A build whose directory user is another: the account file made for it creates that user with
// the tracker's privileges, and the row limit reaches it.
TEST_F(JoinRequests, AnotherDirectoryUserGetsTheTrackersPrivilegesAndRowLimit)
{
    ASSERT_TRUE(load_sql_file(OTHER_ACCOUNT_SQL));
    MYSQL* other = mysql_init(nullptr);
    ASSERT_TRUE(mysql_real_connect(other, "127.0.0.1", "qv_other", directory_password, directory_database,
                                   directory_port, nullptr, 0))
        << mysql_error(other);
    EXPECT_EQ(admin_value(other, "select @@sql_select_limit"), "3500");
    EXPECT_EQ(mysql_query(other, "insert into p2pdb.userlist(IPv4,port,iChannel,alive) values ('10.0.0.1',1,6,1)"), 0);
    EXPECT_EQ(mysql_query(other, "update p2pdb.userlist set alive=0"), 0);
    EXPECT_NE(mysql_query(other, "delete from p2pdb.userlist"), 0);
    mysql_close(other);
    run_admin_sql(admin, "drop user 'qv_other'@'%'");
}

// Directories made by the first schema (a name repeated, so a plain key on names) and by the one
// before the draws, with registrations: a join fails with the notice until the upgrade; then
// every channel lists full and spread, the stream's limit holds, the upkeep archives, and
// loading the schema again changes nothing. This version's directory again afterwards.
TEST_F(DirectoryRequests, EarlierDirectoriesUpgradedListFullSpreadListsInEveryChannel)
{
    std::string tables_and_draws =
        "select concat((select sum(crc32(concat_ws(',',table_name,column_name,column_type,column_default))) from "
        "information_schema.columns where table_schema='p2pdb'), (select sum(crc32(concat_ws(',',table_name,index_name,"
        "column_name,non_unique))) from information_schema.statistics where table_schema='p2pdb'), "
        "(select sum(crc32(concat_ws(',',id,IPv4,alive,draw,changed))) from p2pdb.userlist))";
    for (std::string schema : {"first.sql", "before_draw.sql"}) {
        SCOPED_TRACE(schema);
        notices = 0;
        run_admin_sql(admin, "drop database p2pdb");
        ASSERT_TRUE(load_sql_file(EARLIER_SCHEMAS + schema));
        run_admin_sql(admin, "insert ignore into p2pdb.Channel values (6,'Big',1),(7,'Small',1),(8,'Twice',1),"
                             "(9,'Twice',1)");
        // 1,530 alive of 1,700 in Big and in each Twice, 20 of 22 in Small.
        ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.userlist(IPv4,port,iChannel,alive) select concat('10.',"
                                         "iChannel,'.',seq >> 8,'.',seq & 255),4000,iChannel,seq % 10 > 0 from "
                                         "p2pdb.channel join p2pdb.seq_1_to_1700 where iChannel <> 7 or seq <= 22"));
        peer_socket viewer = open_peer("127.0.0.2");
        EXPECT_EQ(join(viewer, "Big"), no_reply);
        std::string retired = count("alive=0");
        ASSERT_TRUE(load_schema());
        run_admin_sql(admin, "update p2pdb.upkeep_settings set retention_seconds=0");
        EXPECT_TRUE(wait_for_value(admin, "select count(*) from p2pdb.userlist_archive", retired, 10000));
        std::string upgraded = admin_value(admin, tables_and_draws);
        ASSERT_TRUE(load_schema());
        EXPECT_EQ(admin_value(admin, tables_and_draws), upgraded);
        std::set<std::string> listed;
        for (int joins = 0; joins < 30; ++joins) {
            std::vector<std::string> addresses = element_texts(join(viewer, "Big"), "IPv4");
            EXPECT_GT(addresses.size(), 850u);
            listed.insert(addresses.begin(), addresses.end());
        }
        EXPECT_EQ(listed.size(), 1530u);
        std::string twice = join(viewer, "Twice");
        EXPECT_GT(twice.size(), 65000u);
        EXPECT_EQ(twice.find("<IPv4>10.9.") != std::string::npos, schema == "first.sql");
        EXPECT_EQ(element_texts(join(viewer, "Small"), "IPv4").size(), 20u);
        EXPECT_EQ(element_texts(join_on_stream("Big"), "Neighbor").size(), 1200u);
        EXPECT_EQ(notices, 1);
    }
    run_admin_sql(admin, "drop database p2pdb");
    EXPECT_TRUE(load_schema());
}
