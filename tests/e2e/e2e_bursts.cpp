// quorvane's receive queue: a burst that arrives while the tracker is held up waits for it,
// where the system's default queue (about 90 relay datagrams) would drop most of it.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

// Whether quorvane can have its 4 MiB queue here: privileged, or allowed by net.core.rmem_max.
static bool full_queue_possible()
{
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4194304;
    bool forced = setsockopt(probe, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0;
    close(probe);
    long rmem_max = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
    return forced || rmem_max >= size;
}

TEST(TrackerQueue, BurstWhileHeldUpIsHandledWholeAndInOrder)
{
    if (!full_queue_possible())
        GTEST_SKIP() << "neither SO_RCVBUFFORCE nor a net.core.rmem_max of 4 MiB";
    child_process tracker;
    ASSERT_TRUE(start_udp_service("quorvane", 8848, &tracker));
    int peer = bound_udp_socket("127.0.0.1", 0);
    ASSERT_GE(peer, 0);

    // 2,000 datagrams, about 1.5 MB of queue as the kernel counts it, while the tracker is stopped.
    ASSERT_EQ(kill(tracker.pid, SIGSTOP), 0);
    std::string expected;
    for (int i = 0; i < 2000; ++i) {
        char message[32];
        std::snprintf(message, sizeof message, "<ChRequest>%04d</ChRequest>", i);
        ASSERT_TRUE(send_udp(peer, message, "127.0.0.1", 8848));
        expected += "127.0.0.1 say : " + std::string(message) + "\n";
    }
    ASSERT_EQ(kill(tracker.pid, SIGCONT), 0);

    read_output_until(&tracker, expected.size(), 10000);
    long lines = 0;
    for (char c : tracker.out)
        lines += c == '\n';
    EXPECT_EQ(lines, 2000);
    EXPECT_TRUE(tracker.out == expected);
    close(peer);
    stop_program(&tracker);
}
