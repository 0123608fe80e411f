// quorvane over real UDP: console lines, truncation, stale bytes, silence, bind failure; a
// burst that arrives while it is held up waits in its receive queue, where the system's default
// queue (about 90 relay datagrams) would drop most of it.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>

class Tracker : public UdpProgramTest {
protected:
    void SetUp() override
    {
        start("quorvane", 8848);
    }
    child_process& tracker = program;
};

TEST_F(Tracker, PrintsOneLinePerDatagramBeforeHandling)
{
    std::string line = "127.0.0.1 say : <Msg>1</Msg>\n";
    EXPECT_EQ(say(std::string("<Msg>1</Msg>\0", 13), line.size()), line);
    line = "127.0.0.1 say : \n";
    EXPECT_EQ(say(std::string(1, '\0'), line.size()), line);
    line = "127.0.0.1 say : <ChRequest>\x01\xff\x7f raw\n";
    EXPECT_EQ(say("<ChRequest>\x01\xff\x7f raw", line.size()), line);
}

TEST_F(Tracker, NoStaleBytesFromALongerDatagram)
{
    say(std::string(1000, 'A'), 16 + 1000 + 1);
    std::string line = "127.0.0.1 say : hi\n";
    EXPECT_EQ(say("hi", line.size()), line);
    drain_output(&tracker, 100);
    EXPECT_EQ(tracker.out.substr(tracker.out.size() - line.size()), line);
}

TEST_F(Tracker, LongDatagramIsHandledAsItsFirst1342Bytes)
{
    std::string datagram(1400, 'x');
    std::string line = "127.0.0.1 say : " + std::string(1342, 'x') + "\n";
    EXPECT_EQ(say(datagram, line.size()), line);
    drain_output(&tracker, 100);
    EXPECT_EQ(tracker.out.size(), line.size());
}

TEST_F(Tracker, EachSenderIsNamedByItsOwnAddress)
{
    int second = bound_udp_socket("127.0.0.2", 0);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(send_udp(second, "<Msg>2</Msg>", "127.0.0.1", 8848));
    std::string expected = "127.0.0.2 say : <Msg>2</Msg>\n";
    EXPECT_TRUE(read_output_until(&tracker, expected.size(), 5000));
    EXPECT_EQ(tracker.out, expected);
    close(second);
}

TEST_F(Tracker, IgnoredMessagesGetNoReplyAndLeakNothing)
{
    int descriptors = open_descriptor_count(tracker.pid);
    const char* ignored[] = {"<Msg>2</Msg>", "<Msg>3</Msg>", "<ChRequest>", "<UpdatePeers>", "<msg>1</msg>",
                             "garbage", "<Msg>4</Bad>"};
    std::size_t expected = 0;
    for (int round = 0; round < 50; ++round)
        for (const char* message : ignored) {
            ASSERT_TRUE(send_udp(peer, message, "127.0.0.1", 8848));
            expected += 17 + std::string(message).size();
            // Paced, so the default receive queue of the tracker never overflows.
            if (round % 10 == 0)
                read_output_until(&tracker, expected, 2000);
        }
    EXPECT_TRUE(read_output_until(&tracker, expected, 10000));
    std::string reply;
    EXPECT_FALSE(receive_udp(peer, &reply, 200));
    if (descriptors_are_the_programs()) {
        EXPECT_EQ(open_descriptor_count(tracker.pid), descriptors);
    }
    EXPECT_TRUE(is_running(&tracker));
}

// Neither a second lone tracker nor a worker can share the port with a lone tracker, and a
// deployment's setting out of range is refused before any socket is opened.
TEST_F(Tracker, SecondInstanceExitsWithAClearError)
{
    // Under a launcher the program is the Windows build, which has no workers.
    std::string worker_error = program_launcher().empty() ? "8848 as one of 2 workers: Address already in use"
                                                          : "8848 as one of 2 workers: Operation not supported";
    const std::string in_use = "quorvane: cannot serve UDP port 8848: Address already in use\n";
    const std::string workers = "quorvane: QUORVANE_WORKERS must be a number of workers from 1 to 64, not ";
    const std::string rate =
        "quorvane: QUORVANE_REPLY_RATE must be a number of bytes a second from 1 to 1000000000, or off, not ";
    const std::string burst = "quorvane: QUORVANE_REPLY_BURST must be a number of bytes from 1 to 1000000000000, not ";
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"QUORVANE_WORKERS", nullptr, in_use},
        {"QUORVANE_WORKERS", "", in_use},
        {"QUORVANE_WORKERS", "2", "quorvane: cannot serve UDP port " + worker_error + "\n"},
        {"QUORVANE_WORKERS", "0", workers + "\"0\"\n"},
        {"QUORVANE_WORKERS", "4x", workers + "\"4x\"\n"},
        {"QUORVANE_WORKERS", "65", workers + "\"65\"\n"},
        {"QUORVANE_REPLY_RATE", "off", in_use},
        {"QUORVANE_REPLY_RATE", "0", rate + "\"0\"\n"},
        {"QUORVANE_REPLY_RATE", "1000000001", rate + "\"1000000001\"\n"},
        {"QUORVANE_REPLY_RATE", "OFF", rate + "\"OFF\"\n"},
        {"QUORVANE_REPLY_BURST", "64k", burst + "\"64k\"\n"},
        {"QUORVANE_REPLY_BURST", "-1", burst + "\"-1\"\n"},
    };
    for (const auto& [variable, value, error] : cases) {
        if (value)
            setenv(variable, value, 1);
        child_process second;
        bool started = start_program(program_path("quorvane"), &second);
        unsetenv(variable);
        ASSERT_TRUE(started);
        EXPECT_EQ(wait_for_exit(&second, 5000), 1) << variable << "=" << (value ? value : "unset");
        EXPECT_EQ(second.err, error);
        EXPECT_EQ(second.out, "");
        stop_program(&second);
    }
}

// Without a directory here, a catalogue request ends in two operator notices on standard error:
// they show that the request was handled after its console line was lost.
TEST_F(Tracker, GoesOnServingWhenItsConsoleHasNoReader)
{
    if (!program_launcher().empty())
        GTEST_SKIP() << "a dead pipe under a launcher tests the launcher's handling of it";
    close(tracker.stdout_fd);
    tracker.stdout_fd = -1;
    ASSERT_TRUE(send_udp(peer, "<Msg>1</Msg>", "127.0.0.1", 8848));
    EXPECT_TRUE(read_errors_until(&tracker, 2, 5000)) << tracker.err;
    EXPECT_TRUE(is_running(&tracker));
}

// A closed standard descriptor would be taken by a socket, which would then get the console's
// bytes (quorvane_tcp's case: e2e_tracker_tcp).
TEST(StandardDescriptors, ThoseClosedAtStartAreOpenOnTheNullDevice)
{
    if (!descriptors_are_the_programs())
        GTEST_SKIP() << "under a launcher the descriptors are the launcher's";
    for (auto [name, port] : {std::pair<const char*, std::uint16_t>{"quorvane", 8848}, {"halvering", 1234}}) {
        child_process child;
        child.closed_descriptors = {0, 1, 2};
        ASSERT_TRUE(start_udp_service(name, port, &child)) << name;
        for (int descriptor = 0; descriptor <= 2; ++descriptor) {
            std::string link = "/proc/" + std::to_string(child.pid) + "/fd/" + std::to_string(descriptor);
            char target[64] = {};
            EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << name << " " << descriptor;
            EXPECT_STREQ(target, "/dev/null") << name << " " << descriptor;
        }
        stop_program(&child);
    }
}

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

TEST_F(Tracker, BurstWhileHeldUpIsHandledWholeAndInOrder)
{
    if (!full_queue_possible())
        GTEST_SKIP() << "neither SO_RCVBUFFORCE nor a net.core.rmem_max of 4 MiB";
    // The queue is enlarged before the first receive: once a line is printed, it has been. (Under
    // Wine a stop right after the bind could otherwise leave the default queue.)
    ASSERT_EQ(say("ready", 22), "127.0.0.1 say : ready\n");
    std::size_t before = tracker.out.size();
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

    read_output_until(&tracker, before + expected.size(), 10000);
    std::string handled = tracker.out.substr(before);
    EXPECT_EQ(std::count(handled.begin(), handled.end(), '\n'), 2000);
    EXPECT_TRUE(handled == expected);
}

// Which of the workers printed lines from address.
static std::vector<std::size_t> workers_that_heard(const std::vector<child_process*>& workers,
                                                   const std::string& address)
{
    std::vector<std::size_t> heard;
    for (std::size_t i = 0; i < workers.size(); ++i)
        if (workers[i]->out.find(address + " say : ") != std::string::npos)
            heard.push_back(i);
    return heard;
}

// Every sender sends one datagram; true once the workers, their output cleared first, have
// printed every line (5 s at most).
static bool send_round(const std::vector<int>& senders, const std::vector<child_process*>& workers)
{
    std::size_t expected = 0, printed = 0;
    for (child_process* worker : workers)
        worker->out.clear();
    for (int sender : senders) {
        std::string message = "<Msg>2</Msg> from port " + std::to_string(local_port(sender));
        expected += std::string("127.0.0.2 say : \n").size() + message.size();
        if (!send_udp(sender, message, "127.0.0.1", 8848))
            return false;
    }
    for (long long deadline = now_ms() + 5000; printed < expected && now_ms() < deadline;) {
        printed = 0;
        for (child_process* worker : workers) {
            drain_output(worker, 10);
            printed += worker->out.size();
        }
    }
    return printed == expected;
}

TEST(Workers, EachAddressReachesOneWorkerAndTheOtherServesEveryAddressWhileOneIsDown)
{
    if (!program_launcher().empty())
        GTEST_SKIP() << "the Windows build has no workers (SecondInstanceExitsWithAClearError)";
    child_process first, second, third;
    ASSERT_TRUE(start_worker(2, &first));
    ASSERT_TRUE(start_worker(2, &second));
    const std::vector<std::string> addresses = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    std::vector<int> senders;
    for (const std::string& address : addresses)
        for (int port = 0; port < 3; ++port)
            senders.push_back(bound_udp_socket(address.c_str(), 0));
    std::vector<child_process*> workers = {&first, &second};
    ASSERT_TRUE(send_round(senders, workers));
    // Source address mod 2: the even addresses at one worker, the odd ones at the other.
    std::size_t even = workers_that_heard(workers, "127.0.0.2").at(0);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        EXPECT_EQ(workers_that_heard(workers, addresses[i]), std::vector<std::size_t>{i % 2 == 0 ? even : 1 - even})
            << addresses[i];

    // With one socket left in the group, that worker gets every datagram; one started again
    // takes a share, each address still at one worker.
    stop_program(workers[even]);
    std::vector<child_process*> survivor = {workers[1 - even]};
    EXPECT_TRUE(send_round(senders, survivor));
    ASSERT_TRUE(start_worker(2, &third));
    workers = {survivor[0], &third};
    ASSERT_TRUE(send_round(senders, workers));
    for (const std::string& address : addresses)
        EXPECT_EQ(workers_that_heard(workers, address).size(), 1u) << address;
    EXPECT_FALSE(third.out.empty());
    for (int sender : senders)
        close(sender);
    stop_program(&first);
    stop_program(&second);
    stop_program(&third);
}
