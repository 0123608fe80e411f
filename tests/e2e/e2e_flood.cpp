// Floods, end to end: quorvane under 100,000 mixed datagrams keeps serving with flat
// descriptors and memory; a flood of requests from forged sources draws no more replies than
// their budget, while other peers are answered whole; halvering under a flood prints whole
// lines only.
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
    // The flood's catalogue requests outrun its address's reply budget: held back, and said so.
    drain_output(&program, 100);
    for (std::size_t at = 0, end; (end = program.err.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_EQ(program.err.compare(at, 34, "quorvane: reply budget: held back "), 0) << program.err;
}

// A budget of 4,000 bytes a second and 8,000 at once for an address: its /24 has 32,000 and
// 16,000, shared by the workers. Each source of a flood asks the catalogue in turn, 4,000
// requests a second in all for 2 s, while a peer of another network asks it too; every reply
// to the flood is counted until none has come for half a second. Bounds are by the test's clock, which runs
// at least as long as the tracker's, so a slow machine can only draw less.
class ReplyBudgetFlood : public TrackerFlood {
protected:
    void start_tracker(int workers)
    {
        stop_program(&program);
        for (child_process& tracker : trackers)
            stop_program(&tracker);
        setenv("QUORVANE_REPLY_RATE", "4000", 1);
        setenv("QUORVANE_REPLY_BURST", "8000", 1);
        trackers.assign(static_cast<std::size_t>(workers), child_process{});
        for (child_process& tracker : trackers)
            ASSERT_TRUE(workers == 1 ? start_program(program_path("quorvane"), &tracker) && wait_for_udp_port(8848, 5000)
                                     : start_worker(workers, &tracker));
        unsetenv("QUORVANE_REPLY_RATE");
        unsetenv("QUORVANE_REPLY_BURST");
    }
    void TearDown() override
    {
        for (child_process& tracker : trackers)
            stop_program(&tracker);
        TrackerFlood::TearDown();
    }
    void drain_trackers()
    {
        for (child_process& tracker : trackers)
            drain_output(&tracker, 5);
    }
    // The bytes drawn by the sources, and the test's time from the first send to the last reply.
    std::size_t flood_from(const std::vector<int>& sources, int honest, const std::string& whole, long long* elapsed_ms)
    {
        std::atomic<bool> done{false};
        long long start = now_ms();
        std::thread sender([&] {
            for (std::size_t i = 0; now_ms() - start < 2000; ++i) {
                send_udp(sources[i % sources.size()], "<Msg>1</Msg>", "127.0.0.1", 8848);
                usleep(250);
            }
            done = true;
        });
        std::size_t drawn = 0;
        std::string reply;
        bool asked = false;
        auto count_replies = [&] {
            bool any = false;
            for (int source : sources)
                for (; receive_udp(source, &reply, 0); any = true)
                    drawn += reply.size();
            return any;
        };
        for (long long quiet_since = now_ms(); !done || now_ms() - quiet_since < 500; drain_trackers()) {
            if (count_replies())
                quiet_since = now_ms();
            if (!asked && now_ms() - start > 1000)
                asked = send_udp(honest, "<Msg>1</Msg>", "127.0.0.1", 8848);
        }
        sender.join();
        // A loaded machine may still have the honest request queued behind the flood's.
        bool answered = false;
        for (long long deadline = now_ms() + 10000; !answered && now_ms() < deadline; drain_trackers())
            answered = receive_udp(honest, &reply, 20);
        // Whole: the same size and ends (the catalogue's order within a group is the server's).
        EXPECT_TRUE(reply.size() == whole.size() && reply.rfind("<Channels>", 0) == 0 &&
                    reply.substr(reply.size() - 12) == std::string("</Channels>", 11) + '\0')
            << "the other network's peer was not answered whole: " << reply;
        count_replies();
        *elapsed_ms = now_ms() - start;
        return drawn;
    }
    std::vector<child_process> trackers;
};

TEST_F(ReplyBudgetFlood, ForgedAddressesAndNetworksDrawTheirBudgetAndNoMoreWhileOthersAreAnswered)
{
    int honest = open_socket("127.0.9.2");
    std::vector<int> one_address = {open_socket("127.0.5.2")}, one_network;
    for (int last = 1; last < 255; ++last)
        one_network.push_back(open_socket(("127.0.6." + std::to_string(last)).c_str()));
    const struct {
        int workers;
        const std::vector<int>& sources;
        long long burst, rate;
    } floods[] = {{1, one_address, 8000, 4000}, {1, one_network, 16000, 32000}, {2, one_network, 16000, 32000}};
    for (const auto& flood : floods) {
        if (flood.workers > 1 && !program_launcher().empty())
            continue;  // the Windows build has no workers
        start_tracker(flood.workers);
        std::string whole;
        ASSERT_TRUE(send_udp(honest, "<Msg>1</Msg>", "127.0.0.1", 8848) && receive_udp(honest, &whole, 3000));
        MYSQL* admin = connect_as_admin();
        ASSERT_NE(admin, nullptr);
        long connections = status_counter(admin, "Connections");
        long long elapsed_ms = 0;
        long long drawn = static_cast<long long>(flood_from(flood.sources, honest, whole, &elapsed_ms));
        long long replies = drawn / static_cast<long long>(whole.size());
        std::printf("%d worker(s), %zu source(s): %lld bytes in %lld ms\n", flood.workers, flood.sources.size(), drawn,
                    elapsed_ms);
        // Each worker's last reply may take its balance into debt.
        EXPECT_LE(drawn, flood.burst + flood.rate * elapsed_ms / 1000 + flood.workers * static_cast<long long>(whole.size()));
        EXPECT_GE(drawn, flood.burst);
        // Held back before the directory: a connection for each reply and the honest peer's,
        // against some 8,000 requests.
        EXPECT_LE(status_counter(admin, "Connections") - connections, replies + 5);
        mysql_close(admin);
        drain_trackers();
        EXPECT_EQ(trackers[0].err.rfind("quorvane: reply budget: held back 1 request from 1 address\n", 0), 0u)
            << trackers[0].err;
    }
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
