// The console and address helpers on the path of every datagram: dotted-quad text for
// every octet width, and a queued console line that leaves only with the write after it.
#include "platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

TEST(AddressText, MatchesInetNtopForEveryOctetInEveryPosition)
{
    for (int position = 0; position < 4; ++position)
        for (unsigned octet = 0; octet < 256; ++octet) {
            unsigned char octets[4] = {127, 0, 10, 255};
            octets[position] = static_cast<unsigned char>(octet);
            sockaddr_in address{};
            std::memcpy(&address.sin_addr, octets, 4);
            char expected[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &address.sin_addr, expected, sizeof expected);
            ASSERT_EQ(address_text(address), expected);
        }
}

// Standard output on a pipe for the test's duration.
static std::string read_available(int pipe_end)
{
    std::string got;
    char chunk[256];
    ssize_t n;
    while ((n = read(pipe_end, chunk, sizeof chunk)) > 0)
        got.append(chunk, static_cast<std::size_t>(n));
    return got;
}

TEST(Console, QueuedLineLeavesWithTheNextWriteAndInOrder)
{
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(ends[1], STDOUT_FILENO);

    queue_console("line\n", 5);
    std::string before = read_available(ends[0]);
    write_console("trace\n", 6);
    std::string after = read_available(ends[0]);
    queue_console("alone\n", 6);
    flush_console();
    std::string flushed = read_available(ends[0]);

    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(before, "");
    EXPECT_EQ(after, "line\ntrace\n");
    EXPECT_EQ(flushed, "alone\n");
}
