// Floods, end to end: quorvane under 100,000 mixed datagrams keeps serving with flat
// descriptors and memory; halvering under a flood prints whole lines only.
#include "directory_fixture.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

// Valid, malformed, oversized, empty and binary datagrams, in a fixed order.
static std::vector<std::string> mixed_datagrams()
{
    std::string rtp = "<RTPPacket>" + std::string("\x80\x21\x12\x34", 4) + std::string(1324, '\x5a');
    std::vector<std::string> mix = {
        "<Msg>1</Msg>", std::string("<Msg>1</Msg>\0", 13), "<ChView>Jazz Lounge</ChView>", rtp, "<Msg>2</Msg>",
        "<ChRequest>", "<UpdatePeers>", "<Msg>1", "<ChView", "<<<>>>", "</Msg>", "<RTPPacket>", "<Msg>1</Msg",
        "<ChView>" + std::string(1334, '"'), std::string(2000, 'A'), "<ChView>" + std::string(1400, '\\'), "",
        std::string(1, '\0'),
    };
    std::mt19937 random(20240);
    for (int i = 0; i < 24; ++i) {
        std::string binary(random() % 1500, '\0');
        for (char& byte : binary)
            byte = static_cast<char>(random());
        mix.push_back(binary);
    }
    mix.push_back(std::string(65507, '\x7f'));  // the largest datagram there is
    return mix;
}

static long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

class Flood : public ::testing::Test {
protected:
    void TearDown() override
    {
        stop_program(&program);
        for (int socket : sockets)
            close(socket);
    }
    int open_socket(const char* address)
    {
        int socket = bound_udp_socket(address, 0);
        EXPECT_GE(socket, 0);
        sockets.push_back(socket);
        return socket;
    }
    // Sends count datagrams from the socket in a thread of its own, as fast as it can, while
    // this thread reads the program's output so that it never blocks on a full pipe.
    void flood(int socket, std::uint16_t port, int count, const std::vector<std::string>& datagrams)
    {
        std::atomic<bool> done{false};
        std::thread sender([&] {
            for (int i = 0; i < count; ++i)
                send_udp(socket, datagrams[static_cast<std::size_t>(i) % datagrams.size()], "127.0.0.1", port);
            done = true;
        });
        while (!done)
            drain_output(&program, 20);
        sender.join();
    }
    child_process program;
    std::vector<int> sockets;
};

class TrackerFlood : public Flood {
protected:
    void SetUp() override
    {
        MYSQL* admin = connect_as_admin();
        ASSERT_NE(admin, nullptr);
        bool loaded = reset_to_sample_catalogue(admin);
        mysql_close(admin);
        ASSERT_TRUE(loaded);
        // In the sanitizer build freed memory waits in a quarantine of up to 256 MB before
        // reuse, which would pass for growth: a small one keeps the measure meaningful.
        std::string asan_options = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        setenv("ASAN_OPTIONS", (asan_options + ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64").c_str(), 1);
        bool started = start_program(program_path("quorvane"), &program);
        setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
        ASSERT_TRUE(started);
        ASSERT_TRUE(wait_for_udp_port(8848, 5000));
    }
    // A catalogue request from a peer of its own, answered once everything queued ahead of it
    // has been handled. A full receive queue drops it like any datagram: it is sent again.
    bool catalogue_answered(int peer)
    {
        std::string reply;
        for (int waited = 0; waited < 20000; waited += 20) {
            if (waited % 500 == 0 && !send_udp(peer, "<Msg>1</Msg>", "127.0.0.1", 8848))
                return false;
            if (receive_udp(peer, &reply, 0))
                return reply.substr(0, 10) == "<Channels>";
            drain_output(&program, 20);
        }
        return false;
    }
};

TEST_F(TrackerFlood, HundredThousandMixedDatagramsLeaveItServingWithFlatDescriptorsAndMemory)
{
    std::vector<std::string> datagrams = mixed_datagrams();
    int flooder = open_socket("127.0.0.5");
    // A first round brings every path and buffer into use. Each round asks from a peer of its
    // own, so that a late reply to a repeated request cannot end the next round's wait.
    flood(flooder, 8848, 10000, datagrams);
    ASSERT_TRUE(catalogue_answered(open_socket("127.0.0.2")));
    int descriptors = open_descriptor_count(program.pid);
    long resident = resident_kib(program.pid);

    flood(flooder, 8848, 100000, datagrams);
    ASSERT_TRUE(catalogue_answered(open_socket("127.0.0.3")));
    EXPECT_TRUE(is_running(&program));
    if (descriptors_are_the_programs()) {
        EXPECT_EQ(open_descriptor_count(program.pid), descriptors);
    }
    long grown = resident_kib(program.pid) - resident;
    std::size_t lines = 0;
    for (std::size_t at = program.out.find(" say : "); at != std::string::npos; at = program.out.find(" say : ", at + 1))
        ++lines;
    std::printf("quorvane printed about %zu console lines for 110,000 datagrams sent; resident %ld KiB, grown %ld KiB\n",
                lines, resident, grown);
    EXPECT_LT(grown, 256) << "resident size grew by " << grown << " KiB from " << resident << " KiB";
    EXPECT_EQ(program.err, "");
}

TEST_F(Flood, RelayListenerPrintsOneWholeLinePerDatagramItReceived)
{
    ASSERT_TRUE(start_udp_service("halvering", 1234, &program));
    // Datagram i: its number, then a filler of a length of its own, up to 2,500 bytes, some
    // with a zero byte; no line breaks, so each line must be exactly one datagram.
    const int count = 20000;
    std::vector<std::string> datagrams;
    for (int i = 0; i < count; ++i) {
        std::string text = "#" + std::to_string(i) + ":";
        text += std::string(static_cast<std::size_t>(i * 7919 % 2500), static_cast<char>('a' + i % 26));
        if (i % 5 == 0 && text.back() != ':')
            text[text.size() - 1] = '\0';
        datagrams.push_back(text);
    }
    flood(open_socket("127.0.0.6"), 1234, count, datagrams);
    drain_output(&program, 300);

    const std::string head = "127.0.0.6 say : ";
    ASSERT_FALSE(program.out.empty());
    EXPECT_EQ(program.out.back(), '\n');
    int lines = 0, last = -1;
    for (std::size_t at = 0, end; at < program.out.size(); at = end + 1) {
        end = program.out.find('\n', at);
        if (end == std::string::npos)
            end = program.out.size();
        std::string line = program.out.substr(at, end - at);
        ASSERT_EQ(line.substr(0, head.size() + 1), head + "#") << "line " << lines << ": " << line.substr(0, 80);
        int number = std::atoi(line.c_str() + head.size() + 1);
        ASSERT_GT(number, last) << "line " << lines;
        ASSERT_LT(number, count);
        const std::string& sent = datagrams[static_cast<std::size_t>(number)];
        EXPECT_EQ(line.substr(head.size()), sent.substr(0, std::min(sent.find('\0'), std::size_t{2000})))
            << "datagram " << number;
        last = number;
        ++lines;
    }
    std::printf("halvering printed %d lines for %d datagrams sent\n", lines, count);
    EXPECT_TRUE(is_running(&program));
}
