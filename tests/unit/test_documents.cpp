// The Channels and Neighbors documents built from rows, without a server: pieces, group
// changes, raw bytes, NULL columns and the cut to one datagram.
#include "documents.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

static constexpr std::size_t no_limit = SIZE_MAX;
static constexpr std::size_t datagram_limit = 65507;

TEST(ChannelsDocument, EmptyCatalogueStillEndsWithTheGroupClose)
{
    std::string document = build_channels_document({}, no_limit);
    EXPECT_EQ(document, "<Channels></Group></Channels>");
    EXPECT_EQ(document.size() + 1, 30u);
}

TEST(ChannelsDocument, GroupsOpenWhereTheKeyTextChanges)
{
    EXPECT_EQ(build_channels_document({{"1", "News", "A1"}}, no_limit),
              "<Channels><Group name=\"News\"><Channel>A1</Channel></Group></Channels>");
    EXPECT_EQ(build_channels_document({{"1", "News", "A1"}, {"1", "News", "A2"}, {"2", "Sports", "B1"}}, no_limit),
              "<Channels><Group name=\"News\"><Channel>A1</Channel><Channel>A2</Channel></Group>"
              "<Group name=\"Sports\"><Channel>B1</Channel></Group></Channels>");
    // Equal display names under different keys are separate groups; the key is only text.
    EXPECT_EQ(build_channels_document({{"3", "Same", "x"}, {"4", "Same", "y"}, {"04", "Same", "z"}}, no_limit),
              "<Channels><Group name=\"Same\"><Channel>x</Channel></Group><Group name=\"Same\"><Channel>y</Channel>"
              "</Group><Group name=\"Same\"><Channel>z</Channel></Group></Channels>");
}

TEST(ChannelsDocument, NullColumnsAreWrittenAsEmptyText)
{
    // An orphan channel (no such group) sorts first with NULL key and name; a nameless channel.
    EXPECT_EQ(build_channels_document({{nullptr, nullptr, "Orphan"}, {"1", "News", nullptr}}, no_limit),
              "<Channels><Group name=\"\"><Channel>Orphan</Channel></Group><Group name=\"News\"><Channel></Channel>"
              "</Group></Channels>");
}

// Rows whose document runs well past one datagram.
static std::vector<text_row> many_catalogue_rows(std::vector<std::string>* storage)
{
    storage->clear();
    for (int i = 0; i < 3000; ++i)
        storage->push_back("channel number " + std::to_string(i) + std::string(20, 'x'));
    std::vector<text_row> rows;
    for (std::size_t i = 0; i < 3000; ++i)
        rows.push_back({i < 1500 ? "1" : "2", i < 1500 ? "First" : "Second", (*storage)[i].c_str()});
    return rows;
}

TEST(ChannelsDocument, TooLargeForADatagramIsCutAtTheLastWholeRowAndClosed)
{
    std::vector<std::string> names;
    std::vector<text_row> rows = many_catalogue_rows(&names);
    std::string whole = build_channels_document(rows, no_limit);
    std::string cut = build_channels_document(rows, datagram_limit);
    ASSERT_GT(whole.size() + 1, datagram_limit);
    EXPECT_LE(cut.size() + 1, datagram_limit);
    const std::string end = "</Group></Channels>";
    ASSERT_GE(cut.size(), end.size());
    EXPECT_EQ(cut.substr(cut.size() - end.size()), end);
    std::string body = cut.substr(0, cut.size() - end.size());
    // The cut keeps a prefix of whole elements, and the next one would not have fitted.
    EXPECT_EQ(whole.compare(0, body.size(), body), 0);
    EXPECT_EQ(body.substr(body.size() - 10), "</Channel>");
    std::size_t kept = 0;
    for (std::size_t at = body.find("<Channel>"); at != std::string::npos; at = body.find("<Channel>", at + 1))
        ++kept;
    std::vector<text_row> one_more(rows.begin(), rows.begin() + static_cast<long>(kept) + 1);
    EXPECT_GT(build_channels_document(one_more, no_limit).size() + 1, datagram_limit);
    EXPECT_EQ(build_channels_document(std::vector<text_row>(rows.begin(), rows.begin() + static_cast<long>(kept)),
                                      no_limit),
              cut);
}

TEST(ChannelsDocument, AGroupChangeThatDoesNotFitIsLeftOffWhole)
{
    std::string first(100, 'a');
    // Exactly room for the first row and the document end: the second row's group change
    // (</Group><Group name=...>) must not appear in part.
    std::string fitting = build_channels_document({{"1", "G", first.c_str()}}, no_limit);
    std::string cut = build_channels_document({{"1", "G", first.c_str()}, {"2", "H", "b"}}, fitting.size() + 1);
    EXPECT_EQ(cut, fitting);
}

TEST(NeighborsDocument, OneElementPerRowInOrder)
{
    EXPECT_EQ(build_neighbors_document({}, no_limit), "<Neighbors></Neighbors>");
    EXPECT_EQ(build_neighbors_document({{"10.0.0.1", "4000", "ann"}, {"10.0.0.2", "65535", "<b\">"}}, no_limit),
              "<Neighbors><Neighbor><IPv4>10.0.0.1</IPv4><port>4000</port><name>ann</name></Neighbor>"
              "<Neighbor><IPv4>10.0.0.2</IPv4><port>65535</port><name><b\"></name></Neighbor></Neighbors>");
}

TEST(NeighborsDocument, NullColumnsAreWrittenAsEmptyText)
{
    EXPECT_EQ(build_neighbors_document({{nullptr, nullptr, nullptr}}, no_limit),
              "<Neighbors><Neighbor><IPv4></IPv4><port></port><name></name></Neighbor></Neighbors>");
}

TEST(NeighborsDocument, TooLargeForADatagramIsCutAtTheLastWholeNeighbor)
{
    std::string name(200, 'n');
    std::vector<text_row> rows(1000, text_row{"192.168.100.200", "65535", name.c_str()});
    std::string cut = build_neighbors_document(rows, datagram_limit);
    std::string element = "<Neighbor><IPv4>192.168.100.200</IPv4><port>65535</port><name>" + name + "</name></Neighbor>";
    std::size_t fitting = (datagram_limit - 1 - std::string("<Neighbors></Neighbors>").size()) / element.size();
    std::string expected = "<Neighbors>";
    for (std::size_t i = 0; i < fitting; ++i)
        expected += element;
    expected += "</Neighbors>";
    EXPECT_EQ(cut, expected);
    EXPECT_EQ(build_neighbors_document(rows, no_limit).size(), 23 + 1000 * element.size());
}
