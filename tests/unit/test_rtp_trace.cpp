// The RTP trace formatter against an independent printf reference, and the relay step over
// real loopback sockets: datagram bytes, stale bytes, sockets, order of trace and send.
#include "rtp_trace.h"

#include "e2e_support.h"
#include "rtp_trace_reference.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Formats the trace of a message that lies in a receive buffer full of stale bytes.
static std::string format_trace(const std::string& message, rtp_trace_variant variant)
{
    std::vector<unsigned char> buffer(1350, 0xee);
    std::memcpy(buffer.data(), message.data(), std::min<std::size_t>(message.size(), buffer.size()));
    unsigned char window[rtp_window_size];
    read_packet_window(buffer.data(), message.size(), window);
    // Guard bytes past the capacity: the formatter may use all of it, never more.
    std::string trace(rtp_trace_capacity + 64, '#');
    std::size_t length = format_rtp_trace(window, variant, trace.data());
    EXPECT_EQ(trace.substr(rtp_trace_capacity), std::string(64, '#'));
    trace.resize(length);
    return trace;
}

static std::string packet_starting_with(const std::string& head)
{
    return head + std::string(1328 - head.size(), '\0');
}

TEST(RtpTrace, ExamplePacketHeaderFieldsAndFirstWords)
{
    std::string message = rtp_message(packet_starting_with("\x80\x21\x12\x34"), "xyz");
    std::string header = "34120000 3412 34 12 1200 1234 4660 0";
    EXPECT_EQ(format_trace(message, rtp_trace_one_line), header + "\n");
    std::string full = format_trace(message, rtp_trace_full);
    EXPECT_EQ(full.substr(0, header.size() + 18 + 26), header + std::string(18, ' ') + "34122180 341221 3412 34 0 ");
    EXPECT_EQ(full, expected_full_trace(message));
    // The last three words take in the bytes after the packet: "x", "y", "z".
    EXPECT_EQ(full.substr(full.size() - 4 - 27), "78000000 79780000 7a797800 \n\n\n\n");
}

TEST(RtpTrace, ZeroSequenceNumberWritesEveryFieldAsZero)
{
    std::string message = rtp_message(packet_starting_with(std::string("\x80\x21\0\0\x01", 5)));
    EXPECT_EQ(format_trace(message, rtp_trace_one_line), "0 0 0 0 0 0 0 0\n");
    EXPECT_EQ(format_trace(message, rtp_trace_full).substr(0, 15 + 18 + 27),
              "0 0 0 0 0 0 0 0" + std::string(18, ' ') + "2180 1000021 10000 100 1 0 ");
}

TEST(RtpTrace, AllOnesAreUnsignedAndFillTheLongestTrace)
{
    std::string message(1342, '\xff');
    std::string header = "ffff0000 ffff ff ff ff00 ffff 65535 0";
    EXPECT_EQ(format_trace(message, rtp_trace_one_line), header + "\n");

    unsigned char window[rtp_window_size];
    read_packet_window(reinterpret_cast<const unsigned char*>(message.data()), message.size(), window);
    std::vector<char> trace(rtp_trace_capacity + 64, '#');
    std::size_t length = format_rtp_trace(window, rtp_trace_full, trace.data());
    std::string text(trace.data(), length);
    EXPECT_EQ(length, rtp_trace_capacity);
    EXPECT_EQ(text.find('-'), std::string::npos);
    EXPECT_EQ(text, expected_full_trace(message));
    EXPECT_EQ(std::string(trace.data() + length, 64), std::string(64, '#'));  // nothing written past it
}

TEST(RtpTrace, RandomMessagesMatchTheReference)
{
    // Full-length messages, messages that end inside the three bytes after the packet,
    // inside the packet, and inside the tag.
    std::vector<std::size_t> lengths = {1342, 1341, 1340, 1339, 1338, 700, 15, 14, 12, 11, 5, 0};
    for (unsigned seed = 1; seed <= 200; ++seed)
        lengths.push_back(seed % 4 == 0 ? seed * 6 : 1342);
    unsigned seed = 0;
    for (std::size_t length : lengths) {
        std::string message = random_bytes(length, ++seed);
        // Mostly zeros, so that words of every digit count from 1 to 8 appear.
        if (seed % 2 == 0)
            for (std::size_t i = 0; i < message.size(); ++i)
                if ((static_cast<unsigned char>(message[i]) ^ i) % 4 != 0)
                    message[i] = '\0';
        EXPECT_EQ(format_trace(message, rtp_trace_full), expected_full_trace(message)) << "length " << length;
        EXPECT_EQ(format_trace(message, rtp_trace_one_line), expected_one_line_trace(message)) << "length " << length;
    }
}

// The relay step over loopback: a receiver stands in for the relay listener.
class RtpRelay : public ::testing::Test {
protected:
    void SetUp() override
    {
        receiver = bound_udp_socket("127.0.0.1", 0);
        ASSERT_GE(receiver, 0);
        endpoint = make_ipv4_address("127.0.0.1", local_port(receiver));
    }
    void TearDown() override { close_socket(receiver); }

    // Runs the relay step with standard output captured; returns what it wrote there.
    std::string relay(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                      rtp_trace_variant variant)
    {
        std::fflush(stdout);
        std::FILE* capture = std::tmpfile();
        int saved_stdout = dup(STDOUT_FILENO);
        dup2(fileno(capture), STDOUT_FILENO);
        relay_packet_with_trace(message, received, relay_socket, endpoint, packet_copy.data(), variant);
        std::fflush(stdout);
        dup2(saved_stdout, STDOUT_FILENO);
        close(saved_stdout);
        std::rewind(capture);
        std::string written;
        char chunk[4096];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, capture))
            written.append(chunk, n);
        std::fclose(capture);
        return written;
    }
    std::string relay(const std::string& message, socket_handle relay_socket, rtp_trace_variant variant)
    {
        return relay(reinterpret_cast<const unsigned char*>(message.data()), message.size(), relay_socket, variant);
    }
    // One datagram within five seconds, or "" with a failure; sender port in *port.
    std::string receive_datagram_from(std::uint16_t* port = nullptr)
    {
        std::string bytes;
        sockaddr_in sender{};
        EXPECT_TRUE(receive_udp(receiver, &bytes, 5000, &sender)) << "no relay datagram";
        if (port)
            *port = ntohs(sender.sin_port);
        return bytes;
    }
    bool another_datagram_waits()
    {
        std::string bytes;
        return receive_udp(receiver, &bytes, 0);
    }

    socket_handle receiver = invalid_socket;
    sockaddr_in endpoint{};
    std::vector<unsigned char> packet_copy = std::vector<unsigned char>(rtp_packet_size, 0x5a);
};

TEST_F(RtpRelay, DatagramIsMessageBytes11To1338ZeroBytesIncluded)
{
    std::string packet = random_bytes(1328, 77);
    packet.replace(0, 4, std::string("\0\0\x12\x34", 4));
    packet.replace(600, 10, std::string(10, '\0'));
    std::string message = rtp_message(packet, "\x01\x02\x03");
    socket_handle relay_socket = open_udp_socket();

    EXPECT_EQ(relay(message, relay_socket, rtp_trace_full), expected_full_trace(message));
    EXPECT_EQ(receive_datagram_from(), packet);
    EXPECT_EQ(std::string(packet_copy.begin(), packet_copy.end()), packet);
    EXPECT_FALSE(another_datagram_waits());

    EXPECT_EQ(relay(message, relay_socket, rtp_trace_one_line), "34120000 3412 34 12 1200 1234 4660 0\n");
    EXPECT_EQ(receive_datagram_from(), packet);
    close_socket(relay_socket);
}

// A short message once let the bytes of an earlier, longer one (of another peer) into its
// datagram and trace: everything past the received bytes must read as zero.
TEST_F(RtpRelay, ShortMessageAfterALongOneShowsNoStaleBytes)
{
    std::vector<unsigned char> buffer(1350, 0);
    std::string long_message = rtp_message(std::string(1328, '\xab'), "\xcd\xcd\xcd");
    std::memcpy(buffer.data(), long_message.data(), long_message.size());
    socket_handle relay_socket = open_udp_socket();
    relay(buffer.data(), long_message.size(), relay_socket, rtp_trace_full);
    EXPECT_EQ(receive_datagram_from(), std::string(1328, '\xab'));

    // The short message overwrites only its own bytes; the buffer and packet copy keep the rest.
    std::string short_message = rtp_message("\x80\x21\x12\x34hello");
    std::memcpy(buffer.data(), short_message.data(), short_message.size());
    EXPECT_EQ(relay(buffer.data(), short_message.size(), relay_socket, rtp_trace_full),
              expected_full_trace(short_message));
    std::string expected = "\x80\x21\x12\x34hello" + std::string(1319, '\0');
    EXPECT_EQ(receive_datagram_from(), expected);
    EXPECT_EQ(std::string(packet_copy.begin(), packet_copy.end()), expected);

    // Shorter than its tag: a packet of zeros, still exactly 1328 bytes.
    EXPECT_EQ(relay(buffer.data(), 4, relay_socket, rtp_trace_one_line), "0 0 0 0 0 0 0 0\n");
    EXPECT_EQ(receive_datagram_from(), std::string(1328, '\0'));
    close_socket(relay_socket);
}

TEST_F(RtpRelay, EachPacketLeavesFromTheSocketItWasGiven)
{
    socket_handle first = open_udp_socket(), second = open_udp_socket();
    std::string message = rtp_message(packet_starting_with(std::string("\x80\x21\0\x07", 4)));
    EXPECT_EQ(relay(message, first, rtp_trace_one_line), "7000000 700 7 0 0 7 7 0\n");
    std::uint16_t first_port = 0, second_port = 0;
    EXPECT_EQ(receive_datagram_from(&first_port).size(), 1328u);
    EXPECT_EQ(relay(message, second, rtp_trace_one_line), "7000000 700 7 0 0 7 7 0\n");
    EXPECT_EQ(receive_datagram_from(&second_port).size(), 1328u);
    EXPECT_EQ(first_port, local_port(first));
    EXPECT_EQ(second_port, local_port(second));
    EXPECT_NE(first_port, second_port);
    close_socket(first);
    close_socket(second);
}

TEST_F(RtpRelay, ASocketThatFailedToOpenStillLeavesTheTrace)
{
    std::string message = rtp_message(packet_starting_with("\x80\x21\x12\x34"));
    EXPECT_EQ(relay(message, invalid_socket, rtp_trace_one_line), "34120000 3412 34 12 1200 1234 4660 0\n");
    EXPECT_FALSE(another_datagram_waits());
}
