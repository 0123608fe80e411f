// The directory's requests run in this process against the private directory server:
// both channel-join variants side by side, replies caught on real sockets, operator
// notices counted through the notice seam, and the tables read back as the admin.
#include "directory.h"
#include "directory_fixture.h"
#include "directory_internal.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

// The test binary links with --wrap=mysql_init, so a handle can be refused on demand.
static bool refuse_handles = false;
extern "C" MYSQL* __real_mysql_init(MYSQL* mysql);
extern "C" MYSQL* __wrap_mysql_init(MYSQL* mysql)
{
    return refuse_handles ? nullptr : __real_mysql_init(mysql);
}

static int notices = 0;
static void count_notice()
{
    ++notices;
}

static const std::string no_reply = "(no reply)";
static const std::string empty_neighbors = std::string("<Neighbors></Neighbors>") + '\0';

struct peer_socket {
    int fd = -1;
    sockaddr_in address{};
};

class DirectoryRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        admin = connect_as_admin();
        ASSERT_NE(admin, nullptr);
        clear_directory(admin);
        operator_notice = count_notice;
        notices = 0;
        service = bound_udp_socket("127.0.0.1", 0);
        ASSERT_GE(service, 0);
    }
    void TearDown() override
    {
        operator_notice = show_operator_notice;
        refuse_handles = false;
        for (const peer_socket& peer : peers)
            close(peer.fd);
        close(service);
        if (admin)
            mysql_close(admin);
    }

    peer_socket open_peer(const char* address)
    {
        peer_socket peer;
        peer.fd = bound_udp_socket(address, 0);
        EXPECT_GE(peer.fd, 0);
        peer.address = make_ipv4_address(address, local_port(peer.fd));
        peers.push_back(peer);
        return peer;
    }
    std::string reply_to(const peer_socket& peer)
    {
        // Requests complete before they return: a reply is already queued, or none came.
        std::string reply;
        return receive_udp(peer.fd, &reply, 300) ? reply : no_reply;
    }
    std::string catalogue(const peer_socket& peer)
    {
        answer_catalogue_request(service, peer.address);
        return reply_to(peer);
    }
    std::string join(const peer_socket& peer, const std::string& channel)
    {
        join_channel_retiring_peer(service, peer.address, channel);
        return reply_to(peer);
    }
    std::string join_registering_first(const peer_socket& peer, const std::string& channel)
    {
        join_channel_registering_first(service, peer.address, channel);
        return reply_to(peer);
    }

    void add_group(int key, const std::string& name)
    {
        run_admin_sql(admin, "insert into p2pdb.`group` values (" + std::to_string(key) + "," + hex_literal(name) + ")");
    }
    void add_channel(int key, const std::string& name, const std::string& group)
    {
        run_admin_sql(admin, "insert into p2pdb.Channel values (" + std::to_string(key) + "," + hex_literal(name) + "," +
                                 group + ")");
    }
    std::string count(const std::string& where)
    {
        return admin_value(admin, "select count(*) from p2pdb.userlist where " + where);
    }

    MYSQL* admin = nullptr;
    int service = -1;
    std::vector<peer_socket> peers;
};

static std::string neighbor(const peer_socket& peer, const std::string& name = "")
{
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.address.sin_addr, address, sizeof address);
    return std::string("<Neighbor><IPv4>") + address + "</IPv4><port>" + std::to_string(ntohs(peer.address.sin_port)) +
           "</port><name>" + name + "</name></Neighbor>";
}

static std::string neighbors(const std::string& elements)
{
    return "<Neighbors>" + elements + "</Neighbors>" + '\0';
}

// ---- Channel catalogue ----

TEST_F(DirectoryRequests, EmptyCatalogueIsThirtyBytes)
{
    peer_socket peer = open_peer("127.0.0.2");
    std::string reply = catalogue(peer);
    EXPECT_EQ(reply, std::string("<Channels></Group></Channels>") + '\0');
    EXPECT_EQ(reply.size(), 30u);
    EXPECT_EQ(notices, 0);
}

TEST_F(DirectoryRequests, CatalogueGroupsChannelsInKeyOrderWithRawNames)
{
    add_group(2, "Sports");
    add_group(1, "a\"<b>");
    add_group(5, "Same");
    add_group(6, "Same");
    add_channel(10, "Football", "2");
    add_channel(11, "<c>\"d\"", "1");
    add_channel(12, "x", "5");
    add_channel(13, "y", "6");
    add_channel(14, "T\xc3\xa9l\xc3\xa9 \xe9\xff", "2");
    std::string reply = catalogue(open_peer("127.0.0.2"));
    // Within a group the order is the server's.
    std::string sports_a = "<Channel>Football</Channel><Channel>T\xc3\xa9l\xc3\xa9 \xe9\xff</Channel>";
    std::string sports_b = "<Channel>T\xc3\xa9l\xc3\xa9 \xe9\xff</Channel><Channel>Football</Channel>";
    std::string head = "<Channels><Group name=\"a\"<b>\"><Channel><c>\"d\"</Channel></Group><Group name=\"Sports\">";
    std::string tail = "</Group><Group name=\"Same\"><Channel>x</Channel></Group><Group name=\"Same\"><Channel>y</Channel>"
                       "</Group></Channels>" +
                       std::string(1, '\0');
    EXPECT_TRUE(reply == head + sports_a + tail || reply == head + sports_b + tail) << reply;
}

TEST_F(DirectoryRequests, GroupMinusOneOpensNoGroupElement)
{
    add_group(-1, "Hidden");
    add_group(3, "Next");
    add_channel(1, "h", "-1");
    add_channel(2, "n", "3");
    EXPECT_EQ(catalogue(open_peer("127.0.0.2")),
              std::string("<Channels><Channel>h</Channel><Group name=\"Next\"><Channel>n</Channel></Group></Channels>") +
                  '\0');
}

TEST_F(DirectoryRequests, ChannelWithoutAGroupIsListedWithEmptyTexts)
{
    add_group(1, "News");
    add_channel(1, "orphan", "77");
    add_channel(2, "ungrouped", "NULL");
    add_channel(3, "n", "1");
    std::string reply = catalogue(open_peer("127.0.0.2"));
    // NULL keys sort first and read as empty text: one unnamed group, then News.
    std::string tail = "</Group><Group name=\"News\"><Channel>n</Channel></Group></Channels>" + std::string(1, '\0');
    EXPECT_TRUE(reply == "<Channels><Group name=\"\"><Channel>orphan</Channel><Channel>ungrouped</Channel>" + tail ||
                reply == "<Channels><Group name=\"\"><Channel>ungrouped</Channel><Channel>orphan</Channel>" + tail)
        << reply;
    EXPECT_EQ(notices, 0);
}

// ---- quorvane's join ----

class QuorvaneJoin : public DirectoryRequests {
protected:
    void SetUp() override
    {
        DirectoryRequests::SetUp();
        if (HasFatalFailure())
            return;
        add_group(1, "Music");
        add_channel(6, "Jazz Lounge", "1");
        add_channel(7, "Classic Hits", "1");
    }
};

TEST_F(QuorvaneJoin, FirstPeerGetsAnEmptyListAndIsRegisteredAfterTheReply)
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

TEST_F(QuorvaneJoin, LaterPeersSeeTheAlivePeersButNeverThemselves)
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

TEST_F(QuorvaneJoin, PeersBehindOneAddressRetireEachOther)
{
    peer_socket one = open_peer("127.0.0.2");
    peer_socket other = open_peer("127.0.0.2");
    peer_socket outsider = open_peer("127.0.0.4");
    EXPECT_EQ(join(one, "Jazz Lounge"), empty_neighbors);
    EXPECT_EQ(join(other, "Jazz Lounge"), empty_neighbors);
    EXPECT_EQ(count("alive=1"), "1");
    EXPECT_EQ(join(outsider, "Jazz Lounge"), neighbors(neighbor(other)));
}

TEST_F(QuorvaneJoin, JoiningASecondChannelLeavesTheFirst)
{
    peer_socket mover = open_peer("127.0.0.2");
    peer_socket watcher = open_peer("127.0.0.3");
    join(mover, "Jazz Lounge");
    join(mover, "Classic Hits");
    EXPECT_EQ(join(watcher, "Jazz Lounge"), empty_neighbors);
    peer_socket listener = open_peer("127.0.0.4");
    EXPECT_EQ(join(listener, "Classic Hits"), neighbors(neighbor(mover)));
}

TEST_F(QuorvaneJoin, ListIsOrderedByPeerName)
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

TEST_F(QuorvaneJoin, UnknownOrEmptyChannelNameListsNothingAndRegistersNothing)
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
// again, and works as before; without the repeat the name becomes unique again.
TEST_F(QuorvaneJoin, ChannelsSharingANameEachGetARegistration)
{
    ASSERT_TRUE(run_admin_sql(admin, "alter table p2pdb.Channel drop key channel_name"));
    add_channel(8, "Jazz Lounge", "1");
    ASSERT_TRUE(load_sql_file(schema_path()));
    peer_socket peer = open_peer("127.0.0.2");
    join(peer, "Jazz Lounge");
    EXPECT_EQ(join(open_peer("127.0.0.3"), "Jazz Lounge"), neighbors(neighbor(peer) + neighbor(peer)));
    EXPECT_EQ(admin_value(admin, "select group_concat(iChannel order by iChannel) from p2pdb.userlist where alive=1 "
                                 "and IPv4='127.0.0.2'"),
              "6,8");
    std::string unique_keys = "select count(*) from information_schema.statistics where table_schema='p2pdb' and "
                              "table_name='channel' and index_name='channel_name' and non_unique=0";
    EXPECT_EQ(admin_value(admin, unique_keys), "0");
    run_admin_sql(admin, "delete from p2pdb.Channel where iChannel=8");
    ASSERT_TRUE(load_sql_file(schema_path()));
    EXPECT_EQ(admin_value(admin, unique_keys), "1");
}

// ---- quorvane_tcp's join, on a stream as quorvane_tcp runs it ----

class StreamService : public DirectoryRequests {
protected:
    void SetUp() override
    {
        DirectoryRequests::SetUp();
        if (HasFatalFailure())
            return;
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = make_ipv4_address("127.0.0.1", 0);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        socklen_t length = sizeof local;
        getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
        far_end = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(far_end, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        stream = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
        ASSERT_GE(stream, 0);
        add_group(1, "Music");
        add_channel(6, "Jazz Lounge", "1");
    }
    void TearDown() override
    {
        close(stream);
        close(far_end);
        DirectoryRequests::TearDown();
    }
    // Everything that arrives on the connection up to and including a NUL.
    std::string read_document()
    {
        std::string document;
        for (;;) {
            pollfd ready{far_end, POLLIN, 0};
            if (poll(&ready, 1, 2000) != 1)
                return document.empty() ? no_reply : document;
            char chunk[65536];
            ssize_t n = recv(far_end, chunk, sizeof chunk, 0);
            if (n <= 0)
                return document;
            document.append(chunk, static_cast<std::size_t>(n));
            if (document.back() == '\0')
                return document;
        }
    }
    std::string join_on_stream(const std::string& channel)
    {
        join_channel_registering_first(stream, tracker_host, channel);
        return read_document();
    }
    bool nothing_on_stream()
    {
        pollfd ready{far_end, POLLIN, 0};
        return poll(&ready, 1, 100) == 0;
    }
    int stream = -1;
    int far_end = -1;
    sockaddr_in tracker_host = make_ipv4_address("127.0.0.1", 8848);
};

TEST_F(StreamService, RegistersFirstAndListsEveryRowOfTheChannel)
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

TEST_F(StreamService, CatalogueGoesOntoTheConnection)
{
    answer_catalogue_request(stream, tracker_host);
    EXPECT_EQ(read_document(),
              std::string("<Channels><Group name=\"Music\"><Channel>Jazz Lounge</Channel></Group></Channels>") + '\0');
}

// ---- The statements on the wire, from the server's general log ----

TEST_F(DirectoryRequests, StatementsAreSentExactlyAndInOrder)
{
    add_group(1, "Music");
    add_channel(6, "Jazz Lounge", "1");
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
        admin, "select argument from mysql.general_log where command_type='Query' and user_host like 'qv[%'");
    std::vector<std::string> statements;
    for (const admin_row& row : logged)
        statements.push_back(row[0].value_or("NULL"));
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
        "select IPv4,port,u.name from p2pdb.userlist u left join p2pdb.channel c on u.iChannel=c.iChannel where "
        "c.name=\"Jazz Lounge\" and u.alive=1 order by u.name",
        register_peer,
        init,
        register_peer,
        "select IPv4,port,u.name from p2pdb.userlist u left join p2pdb.channel c on u.iChannel=c.iChannel where "
        "c.name=\"Jazz Lounge\" order by u.name",
    };
    ASSERT_NE(init, "");
    EXPECT_EQ(statements, expected);
    // Three requests, three connections, each closed again.
    EXPECT_EQ(admin_value(admin, "select count(*) from mysql.general_log where command_type='Connect' and "
                                 "argument like 'qv@%'"),
              "3");
    EXPECT_EQ(admin_value(admin, "select count(*) from mysql.general_log where command_type='Quit'"), "3");
}

// ---- A channel name is always plain text ----

static const std::vector<std::string> awkward_names = {
    "a\"b", "c\\d", "e'f", "g%h", "i_j", "k\\", "\"", "\\\"", "\xe9\xff", "Caf\xc3\xa9", "\xbf\x27", "\x81\x5c\x22",
};

TEST_F(QuorvaneJoin, NamesWithQuotesBackslashesWildcardsAndHighBytesWork)
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

TEST_F(QuorvaneJoin, InjectedSqlMatchesNoChannelAndChangesNothing)
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
    EXPECT_EQ(admin_value(admin, "select count(*) from p2pdb.channel"), "2");
    EXPECT_EQ(notices, 0);
}

TEST_F(QuorvaneJoin, NamesStayPlainTextUnderNoBackslashEscapes)
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

TEST_F(QuorvaneJoin, LongChannelNamesRunWhole)
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

TEST_F(QuorvaneJoin, NullsInListedRowsAreWrittenAsEmptyText)
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

// ---- Replies larger than one datagram ----

static std::vector<std::string> channel_names(const std::string& document)
{
    std::vector<std::string> names;
    for (std::size_t at = document.find("<Channel>"); at != std::string::npos; at = document.find("<Channel>", at + 1))
        names.push_back(document.substr(at + 9, document.find("</Channel>", at) - at - 9));
    return names;
}

TEST_F(StreamService, LargeCatalogueIsCutToOneDatagramButSentWholeOnAStream)
{
    std::string values;
    for (int i = 0; i < 3000; ++i)
        values += (i ? ",(" : "(") + std::to_string(1000 + i) + ",'channel number " + std::to_string(i) + " of many'," +
                  (i < 1500 ? "1" : "NULL") + ")";
    ASSERT_TRUE(run_admin_sql(admin, "insert into p2pdb.Channel values " + values));

    std::string datagram = catalogue(open_peer("127.0.0.2"));
    EXPECT_LE(datagram.size(), 65507u);
    EXPECT_GT(datagram.size(), 60000u);
    std::string end = std::string("</Group></Channels>") + '\0';
    ASSERT_GT(datagram.size(), end.size());
    EXPECT_EQ(datagram.substr(datagram.size() - end.size()), end);
    std::string body = datagram.substr(0, datagram.size() - end.size());
    EXPECT_EQ(body.substr(body.size() - 10), "</Channel>");

    // Cut right after a whole channel: one more would not have fitted.
    EXPECT_GT(datagram.size() + std::string("<Channel>channel number 1000 of many</Channel>").size(), 65507u);

    answer_catalogue_request(stream, tracker_host);
    std::string whole = read_document();
    std::vector<std::string> sent_whole = channel_names(whole);
    EXPECT_EQ(sent_whole.size(), 3001u);
    // Within a group the server's order may differ between the two queries: compare sets.
    std::vector<std::string> sent_cut = channel_names(datagram);
    std::sort(sent_whole.begin(), sent_whole.end());
    for (const std::string& name : sent_cut)
        EXPECT_TRUE(std::binary_search(sent_whole.begin(), sent_whole.end(), name)) << name;
    EXPECT_EQ(std::adjacent_find(sent_whole.begin(), sent_whole.end()), sent_whole.end());
    EXPECT_EQ(whole.substr(whole.size() - end.size()), end);
}

// A channel larger than the tracker account's row limit (1,200 here): the datagram is a whole
// document with as many neighbours as fit, the channel's alive rows in name order; the stream
// gets the first rows up to the limit, retired ones among them.
TEST_F(StreamService, LargeNeighbourListIsCutToOneDatagramAndToTheRowLimitOnAStream)
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
    std::vector<std::string> listed;
    for (std::size_t at = datagram.find("<name>"); at != std::string::npos; at = datagram.find("<name>", at + 1))
        listed.push_back(datagram.substr(at + 6, datagram.find("</name>", at) - at - 6));
    ASSERT_GT(listed.size(), 500u);
    EXPECT_EQ(listed, std::vector<std::string>(alive_names.begin(), alive_names.begin() + static_cast<std::ptrdiff_t>(listed.size())));

    std::string whole = join_on_stream("Jazz Lounge");
    std::size_t entries = 0;
    for (std::size_t at = whole.find("<Neighbor>"); at != std::string::npos; at = whole.find("<Neighbor>", at + 1))
        ++entries;
    EXPECT_EQ(entries, 1200u);
    EXPECT_EQ(whole.substr(whole.size() - end.size()), end);
}

// ---- Directory failures ----

TEST_F(StreamService, NoHandleCountsAsAFailedConnection)
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

TEST_F(StreamService, ServerDownShowsTwoNoticesPerRequestAndServiceResumesWhenItIsBack)
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

TEST_F(StreamService, FailingCatalogueQueryShowsOneNoticeAndNoReply)
{
    peer_socket peer = open_peer("127.0.0.2");
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.`group` to p2pdb.group_away"));
    EXPECT_EQ(catalogue(peer), no_reply);
    EXPECT_EQ(notices, 1);
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.group_away to p2pdb.`group`"));
    EXPECT_NE(catalogue(peer), no_reply);
    EXPECT_EQ(notices, 1);
}

TEST_F(StreamService, FailingNeighbourQueryInQuorvaneKeepsTheResetAndRegistersNothing)
{
    peer_socket peer = open_peer("127.0.0.2");
    join(peer, "Jazz Lounge");
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.channel to p2pdb.channel_away"));
    EXPECT_EQ(join(peer, "Jazz Lounge"), no_reply);
    EXPECT_EQ(notices, 1);
    ASSERT_TRUE(run_admin_sql(admin, "rename table p2pdb.channel_away to p2pdb.channel"));
    EXPECT_EQ(admin_value(admin, "select group_concat(alive) from p2pdb.userlist"), "0");
}

TEST_F(StreamService, FailingNeighbourQueryInQuorvaneTcpKeepsTheRegistration)
{
    // The account may still register (read channel, insert) but no longer read userlist.
    ASSERT_TRUE(run_admin_sql(admin, "revoke select on p2pdb.* from 'qv'@'%'"));
    ASSERT_TRUE(run_admin_sql(admin, "grant select on p2pdb.channel to 'qv'@'%'"));
    join_channel_registering_first(stream, tracker_host, "Jazz Lounge");
    bool silent = nothing_on_stream();
    run_admin_sql(admin, "revoke select on p2pdb.channel from 'qv'@'%'");
    run_admin_sql(admin, "grant select on p2pdb.* to 'qv'@'%'");
    EXPECT_TRUE(silent);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(count("IPv4='127.0.0.1' and port=8848 and alive=1"), "1");
}

TEST_F(StreamService, ManyRequestsLeaveNoConnectionAndNoDescriptorOpen)
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
