// The catalogue: its groups and channels as the directory holds them, cut to one datagram,
// whole on a stream.
#include "fixture.h"

#include <algorithm>
#include <string>
#include <vector>

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

TEST_F(JoinRequests, CatalogueGoesOntoTheConnection)
{
    answer_catalogue_request(stream, tracker_host);
    EXPECT_EQ(read_document(),
              std::string("<Channels><Group name=\"Music\"><Channel>Jazz Lounge</Channel></Group></Channels>") + '\0');
}

static std::vector<std::string> channel_names(const std::string& document)
{
    std::vector<std::string> names;
    for (std::size_t at = document.find("<Channel>"); at != std::string::npos; at = document.find("<Channel>", at + 1))
        names.push_back(document.substr(at + 9, document.find("</Channel>", at) - at - 9));
    return names;
}

TEST_F(JoinRequests, LargeCatalogueIsCutToOneDatagramButSentWholeOnAStream)
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
