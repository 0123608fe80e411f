// The relay path over real UDP: an RTPPacket message to quorvane, its console trace, and the
// 1328-byte datagram on port 1234, caught by the test or printed by halvering.
#include "e2e_support.h"
#include "rtp_trace_reference.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

// Reads what the child has already written, without waiting for more.
static void read_written_so_far(child_process* child)
{
    char chunk[65536];
    pollfd ready{child->stdout_fd, POLLIN, 0};
    while (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN)) {
        ssize_t n = read(child->stdout_fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        child->out.append(chunk, static_cast<std::size_t>(n));
    }
}

static std::string say_line(const std::string& message)
{
    return "127.0.0.1 say : " + message.substr(0, message.find('\0')) + "\n";
}

class Relay : public UdpProgramTest {
protected:
    void SetUp() override
    {
        relay_listener = bound_udp_socket("127.0.0.1", 1234);
        ASSERT_GE(relay_listener, 0);
        start("quorvane", 8848);
    }
    void TearDown() override
    {
        if (relay_listener >= 0)
            close(relay_listener);
        UdpProgramTest::TearDown();
    }
    // Sends a message and returns its relay datagram together with the console output that
    // was already written when the datagram arrived.
    std::string relay(const std::string& message, std::string* console)
    {
        std::size_t before = tracker.out.size();
        EXPECT_TRUE(send_udp(peer, message, "127.0.0.1", 8848));
        std::string datagram;
        EXPECT_TRUE(receive_udp(relay_listener, &datagram, 5000)) << "no relay datagram";
        read_written_so_far(&tracker);
        *console = tracker.out.substr(before);
        return datagram;
    }
    child_process& tracker = program;
    int relay_listener = -1;
};

TEST_F(Relay, TraceIsCompleteBeforeThePacketLeaves)
{
    std::string packet = "\x80\x21\x12\x34" + random_bytes(1324, 5);
    std::string message = rtp_message(packet, "\x10\x20\x30");
    std::string console;
    EXPECT_EQ(relay(message, &console), packet);
    EXPECT_EQ(console, say_line(message) + expected_full_trace(message));
    std::string head = "34120000 3412 34 12 1200 1234 4660 0" + std::string(18, ' ') + "34122180 ";
    EXPECT_EQ(console.substr(say_line(message).size(), head.size()), head);
    // The sender of the packet gets nothing back.
    std::string reply;
    EXPECT_FALSE(receive_udp(peer, &reply, 200));
}

TEST_F(Relay, PacketsAreRelayedOneByOneWithoutStaleBytes)
{
    std::string console;
    std::string long_message = rtp_message(std::string(1328, '\x7f'), "\x7f\x7f\x7f");
    EXPECT_EQ(relay(long_message, &console), std::string(1328, '\x7f'));
    EXPECT_EQ(console, say_line(long_message) + expected_full_trace(long_message));

    std::string short_message = rtp_message(std::string("\x80\x21\0\x01", 4) + "tail");
    EXPECT_EQ(relay(short_message, &console), std::string("\x80\x21\0\x01tail", 8) + std::string(1320, '\0'));
    EXPECT_EQ(console, say_line(short_message) + expected_full_trace(short_message));
    EXPECT_EQ(console.substr(say_line(short_message).size(), 24), "1000000 100 1 0 0 1 1 0 ");

    // Zero bytes are relayed like any others, and each trace shows relay index 0 again.
    std::string zeros = rtp_message(std::string(1328, '\0'), std::string(3, '\0'));
    EXPECT_EQ(relay(zeros, &console), std::string(1328, '\0'));
    EXPECT_EQ(console, "127.0.0.1 say : <RTPPacket>\n" + expected_full_trace(zeros));
}

TEST_F(Relay, HalveringPrintsThePacketUpToItsFirstZeroByte)
{
    close(relay_listener);
    relay_listener = -1;
    child_process listener;
    ASSERT_TRUE(start_udp_service("halvering", 1234, &listener));

    std::string message = rtp_message("\x80\x21\x12\x34\xff" + std::string(1323, '\0'));
    ASSERT_TRUE(send_udp(peer, message, "127.0.0.1", 8848));
    std::string expected = say_line(message) + expected_full_trace(message);
    EXPECT_TRUE(read_output_until(&tracker, expected.size(), 5000));
    EXPECT_EQ(tracker.out, expected);
    std::string line = "127.0.0.1 say : \x80\x21\x12\x34\xff\n";
    EXPECT_TRUE(read_output_until(&listener, line.size(), 5000));
    EXPECT_EQ(listener.out, line);
    stop_program(&listener);
}
