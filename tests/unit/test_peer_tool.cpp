// quorvane_peer without a network: the messages it builds, how it judges a reply, and the
// indented view of the documents, odd ones included.
#include "peer_tool.h"

#include <gtest/gtest.h>

static const std::string nul(1, '\0');

TEST(PeerMessages, ExpectedReplyFollowsTheTrackersReadingOfTheFirstTag)
{
    EXPECT_EQ(expected_reply("<Msg>1</Msg>"), reply_channels);
    EXPECT_EQ(expected_reply("<Msg>1"), reply_channels);  // answered though unclosed
    EXPECT_EQ(expected_reply("ab<Msg>1</Msg>"), reply_channels);
    EXPECT_EQ(expected_reply("<ChView>Jazz Lounge"), reply_neighbors);
    for (const char* none : {"<Msg>2</Msg>", "<Msg> 1</Msg>", "<msg>1</msg>", "<Msg >1</Msg>", "<ChRequest>",
                             "<RTPPacket>", "no tag", ""})
        EXPECT_EQ(expected_reply(none), reply_none) << none;
    EXPECT_EQ(expected_reply(std::string("<Ms") + nul + "g>1</Msg>"), reply_none);
}

TEST(PeerMessages, JoinRefusesWhatTheTrackerWouldReadDifferently)
{
    std::string message, error;
    EXPECT_EQ(join_message("Jazz Lounge", &message, &error), peer_ok);
    EXPECT_EQ(message, "<ChView>Jazz Lounge</ChView>");
    for (const std::string& name : {std::string("a<b"), "a" + nul + "b", std::string(1342 - 16, 'x')})
        EXPECT_EQ(join_message(name, &message, &error), peer_failed) << error;
    // The longest message the tracker reads whole.
    EXPECT_EQ(join_message(std::string(1342 - 17, 'x'), &message, &error), peer_ok);
    EXPECT_EQ(message.size(), 1342u);
}

TEST(PeerMessages, PacketFileIsWholePacketsEachOneMessage)
{
    std::string packets(2 * 1328, '\0');
    packets[2] = '\x12', packets[3] = '\x34', packets[1328 + 3] = '\x35';
    std::vector<std::string> messages;
    std::string error;
    ASSERT_EQ(rtp_messages(packets, &messages, &error), peer_ok);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1], "<RTPPacket>" + packets.substr(1328));
    EXPECT_EQ(rtp_sequence_number(messages[0]), 0x1234u);
    EXPECT_EQ(rtp_sequence_number(messages[1]), 0x0035u);
    EXPECT_EQ(rtp_messages(packets.substr(1), &messages, &error), peer_failed);
    EXPECT_EQ(rtp_messages("", &messages, &error), peer_failed);
}

TEST(PeerReplies, OnlyOneWholeDocumentOfTheKindAskedForPasses)
{
    EXPECT_EQ(reply_fault("<Channels></Group></Channels>" + nul, reply_channels), "");
    EXPECT_EQ(reply_fault("<Neighbors></Neighbors>" + nul, reply_neighbors), "");
    const std::pair<std::string, int> faulty[] = {
        {"", reply_channels},
        {"<Channels></Group></Channels>", reply_channels},               // no NUL
        {"<Channels></Group>" + nul + "</Channels>" + nul, reply_channels},  // NUL inside
        {"<Neighbors></Neighbors>" + nul, reply_channels},
        {"<Channels></Group></Channels>" + nul, reply_neighbors},
        {"<Neighbors>" + nul, reply_neighbors},                         // cut short
    };
    for (const auto& [reply, kind] : faulty)
        EXPECT_NE(reply_fault(reply, kind), "") << reply;
}

TEST(PeerReplies, IndentedViewNestsElementsAndKeepsTextElementsOnOneLine)
{
    EXPECT_EQ(indented_document("<Channels><Group name=\"News\"><Channel>A1</Channel><Channel></Channel></Group>"
                                "</Channels>" + nul),
              "<Channels>\n  <Group name=\"News\">\n    <Channel>A1</Channel>\n    <Channel></Channel>\n"
              "  </Group>\n</Channels>\n");
    // The empty catalogue closes a Group it never opened: shown as it stands, never below column 0.
    EXPECT_EQ(indented_document("<Channels></Group></Channels>" + nul), "<Channels>\n</Group>\n</Channels>\n");
}

TEST(PeerReplies, IndentedViewEscapesControlBytesAndBackslashes)
{
    std::string document = "<Neighbors><Neighbor><IPv4>127.0.0.1</IPv4><port>8848</port><name>a\x1b[2J\\b\xc3\xa9"
                           "</name></Neighbor></Neighbors>" + nul;
    EXPECT_EQ(indented_document(document), "<Neighbors>\n  <Neighbor>\n    <IPv4>127.0.0.1</IPv4>\n"
                                           "    <port>8848</port>\n    <name>a\\x1b[2J\\\\b\xc3\xa9</name>\n"
                                           "  </Neighbor>\n</Neighbors>\n");
}
