#include "protocol.h"

#include <gtest/gtest.h>

TEST(Scanner, WorkedExampleGivesNamesAndCursors)
{
    std::string_view text = "<Msg>1</Msg>";
    std::int32_t cursor = 0;
    EXPECT_EQ(read_tag(text, cursor), "Msg");
    EXPECT_EQ(cursor, 4);
    EXPECT_EQ(read_text(text, cursor), "1");
    EXPECT_EQ(cursor, 6);
    EXPECT_EQ(read_tag(text, cursor), "/Msg");
    EXPECT_EQ(cursor, 11);
}

TEST(Scanner, EmptyTagAndEmptyTextBetweenTags)
{
    std::int32_t cursor = 0;
    EXPECT_EQ(read_tag("<>", cursor), "");
    EXPECT_EQ(cursor, 1);
    cursor = 0;
    std::string_view two = "<a><b>";
    EXPECT_EQ(read_tag(two, cursor), "a");
    EXPECT_EQ(read_text(two, cursor), "");
    EXPECT_EQ(cursor, 3);
}

TEST(Scanner, SkipsLeadingBytesAndKeepsInnerOpeningBracket)
{
    std::int32_t cursor = 0;
    EXPECT_EQ(read_tag("xy<Msg>", cursor), "Msg");
    cursor = 0;
    EXPECT_EQ(read_tag("<a<b>", cursor), "a<b");
    cursor = 0;
    EXPECT_EQ(read_tag("<Msg >", cursor), "Msg ");
}

TEST(Scanner, UnclosedTextRunsToTheEndWithCursorPastIt)
{
    std::string_view text = "<ChView>news 24";
    std::int32_t cursor = 0;
    EXPECT_EQ(read_tag(text, cursor), "ChView");
    EXPECT_EQ(read_text(text, cursor), "news 24");
    EXPECT_EQ(cursor, static_cast<std::int32_t>(text.size()));
}

TEST(Scanner, NulEndsTheMessageText)
{
    const unsigned char bytes[] = {'<', 'M', 's', 0, 'g', '>'};
    std::string_view text = message_text(bytes, sizeof bytes);
    EXPECT_EQ(text.size(), 3u);
    std::int32_t cursor = 0;
    EXPECT_EQ(read_tag(text, cursor), "Ms");
    EXPECT_EQ(cursor, 3);
}

TEST(Scanner, MissingDelimiterGivesEmptyResultAtEnd)
{
    std::int32_t cursor = 0;
    EXPECT_EQ(read_tag("no tag here", cursor), "");
    EXPECT_EQ(cursor, 11);
    cursor = 0;
    EXPECT_EQ(read_text("<open", cursor), "");
    EXPECT_EQ(cursor, 5);
    // A cursor already at or past the end scans nothing.
    cursor = 40;
    EXPECT_EQ(read_tag("<a>", cursor), "");
    EXPECT_EQ(cursor, 3);
}

TEST(Scanner, ConsecutiveCallsSkipWhatLiesBetween)
{
    std::string_view text = "<a>one<b>two<c>";
    std::int32_t cursor = 0;
    EXPECT_EQ(read_tag(text, cursor), "a");
    EXPECT_EQ(read_tag(text, cursor), "b");
    EXPECT_EQ(read_text(text, cursor), "two");
    cursor = 0;
    EXPECT_EQ(read_text(text, cursor), "one");
    EXPECT_EQ(read_text(text, cursor), "two");
}
