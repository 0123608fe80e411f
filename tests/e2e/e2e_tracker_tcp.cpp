// quorvane_tcp against a tracker host played by the test: one message per receive, the
// one-line RTP trace, no console line per message, socket buffers, and a silent status 0.
#include "e2e_support.h"
#include "rtp_trace_reference.h"
#include "tracker_host.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

class TrackerClient : public TrackerHostTest {
protected:
    std::string next_datagram()
    {
        std::string datagram;
        EXPECT_TRUE(receive_udp(host.relay_listener, &datagram, 5000)) << "no relay datagram";
        return datagram;
    }
};

TEST_F(TrackerClient, RtpPacketIsRelayedWithTheOneLineTrace)
{
    std::string packet = "\x80\x21\x12\x34" + random_bytes(1324, 9);
    std::string message = rtp_message(packet);  // 1339 bytes, in one receive
    send_chunk(message);
    EXPECT_EQ(next_datagram(), packet);
    std::string trace = "34120000 3412 34 12 1200 1234 4660 0\n";
    EXPECT_TRUE(read_output_until(&host.client, trace.size(), 5000));
    EXPECT_EQ(host.client.out, trace);
}

TEST_F(TrackerClient, PrintsNothingForOtherMessagesAndDoesNotReplyToThem)
{
    for (const char* quiet : {"<Msg>2</Msg>", "<Msg>3</Bad>", "<ChRequest>", "<UpdatePeers>x", "garbage", "<msg>1"})
        send_chunk(quiet);
    // An RTPPacket after them: the only console output is its trace.
    std::string message = rtp_message(std::string("\x80\x21\0\x2a", 4) + std::string(1324, 'p'));
    send_chunk(message);
    EXPECT_EQ(next_datagram(), expected_datagram(message));
    std::string trace = expected_one_line_trace(message);
    EXPECT_EQ(trace, "2a000000 2a00 2a 0 0 2a 42 0\n");
    EXPECT_TRUE(read_output_until(&host.client, trace.size(), 5000));
    EXPECT_EQ(host.client.out, trace);
    EXPECT_EQ(receive_on_connection(&host, 1, 200), "");
    EXPECT_TRUE(is_running(&host.client));
}

TEST_F(TrackerClient, TwoThousandWaitingBytesAre1342And658ByteMessages)
{
    std::string first = rtp_message(random_bytes(1331, 21));
    std::string second = rtp_message("\x80\x21\xab\xcd" + random_bytes(643, 22));
    ASSERT_EQ(first.size() + second.size(), 2000u);
    send_chunk(first + second);

    EXPECT_EQ(next_datagram(), first.substr(11, 1328));
    // The second message has only 647 packet bytes: the rest of its datagram is zeros,
    // not what the first message left in the receive buffer.
    EXPECT_EQ(next_datagram(), second.substr(11) + std::string(1328 - 647, '\0'));
    std::string traces = expected_one_line_trace(first) + expected_one_line_trace(second);
    EXPECT_TRUE(read_output_until(&host.client, traces.size(), 5000));
    EXPECT_EQ(host.client.out, traces);
    EXPECT_EQ(expected_one_line_trace(second), "cdab0000 cdab cd ab ab00 abcd 43981 0\n");
}

TEST_F(TrackerClient, MessageSplitOverTwoReceivesIsTwoMessages)
{
    std::string message = rtp_message("\x80\x21\x12\x34" + random_bytes(1324, 31));
    send_chunk(message.substr(0, 700));
    EXPECT_EQ(next_datagram(), message.substr(11, 689) + std::string(1328 - 689, '\0'));
    // The second piece does not begin with a tag of its own: it is ignored.
    send_chunk(message.substr(700));
    send_chunk(message);
    EXPECT_EQ(next_datagram(), message.substr(11));
    std::string traces = expected_one_line_trace(message.substr(0, 700)) + expected_one_line_trace(message);
    EXPECT_TRUE(read_output_until(&host.client, traces.size(), 5000));
    EXPECT_EQ(host.client.out, traces);
}

TEST_F(TrackerClient, HangUpEndsTheProgramSilentlyWithStatusZero)
{
    send_chunk("<Msg>2</Msg>");
    ASSERT_TRUE(wait_until_consumed(&host, 5000));
    close(host.connection);
    host.connection = -1;
    EXPECT_EQ(wait_for_exit(&host.client, 5000), 0);
    EXPECT_EQ(host.client.out, "");
    EXPECT_EQ(host.client.err, "");
}

TEST_F(TrackerClient, ResetConnectionEndsTheProgramWithStatusZero)
{
    // SO_LINGER of zero turns the close into a reset: the client's receive fails.
    linger abort_on_close{1, 0};
    setsockopt(host.connection, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close(host.connection);
    host.connection = -1;
    EXPECT_EQ(wait_for_exit(&host.client, 5000), 0);
    EXPECT_EQ(host.client.out + host.client.err, "");
}

static int read_sysctl(const char* path)
{
    std::ifstream file(path);
    int value = -1;
    file >> value;
    return value;
}

// The first socket among the child's descriptors.
static int child_socket_descriptor(pid_t pid)
{
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        char target[64] = {};
        std::string link = folder + "/" + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind("socket:", 0) == 0) {
            found = std::stoi(entry->d_name);
            break;
        }
    }
    closedir(dir);
    return found;
}

TEST_F(TrackerClient, StreamSocketAsksFor3MiBBuffers)
{
    if (!program_launcher().empty())
        GTEST_SKIP() << "the program's sockets are held outside its own process under a launcher (Wine's server)";
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, host.client.pid, 0));
    ASSERT_GE(pidfd, 0);
    int target = child_socket_descriptor(host.client.pid);
    ASSERT_GE(target, 0);
    int socket_copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, target, 0));
    close(pidfd);
    ASSERT_GE(socket_copy, 0) << "pidfd_getfd: " << errno;
    int send_size = 0, receive_size = 0;
    socklen_t length = sizeof send_size;
    getsockopt(socket_copy, SOL_SOCKET, SO_SNDBUF, &send_size, &length);
    getsockopt(socket_copy, SOL_SOCKET, SO_RCVBUF, &receive_size, &length);
    close(socket_copy);
    // The kernel caps a request at its maximum and doubles it for bookkeeping.
    EXPECT_EQ(send_size, 2 * std::min(3145728, read_sysctl("/proc/sys/net/core/wmem_max")));
    EXPECT_EQ(receive_size, 2 * std::min(3145728, read_sysctl("/proc/sys/net/core/rmem_max")));
}

TEST(TrackerClientAlone, NoTrackerHostEndsTheProgramSilentlyWithStatusZero)
{
    child_process client;
    ASSERT_TRUE(start_program(program_path("quorvane_tcp"), &client));
    EXPECT_EQ(wait_for_exit(&client, 5000), 0);
    EXPECT_EQ(client.out, "");
    EXPECT_EQ(client.err, "");
    stop_program(&client);
}

// Started with standard error closed, the stream socket would be descriptor 2 and the operator
// notice of a failed catalogue request (no directory here) would go onto the connection; and a
// trace written to a console with no reader must not end the program before that request.
TEST(TrackerClientAlone, ClosedStandardErrorAndAConsoleWithNoReaderLeaveTheConnectionClean)
{
    if (!descriptors_are_the_programs())
        GTEST_SKIP() << "under a launcher the descriptors and the pipes are the launcher's";
    tracker_host host;
    host.client.closed_descriptors = {2};
    ASSERT_TRUE(start_tracker_host(&host));
    close(host.client.stdout_fd);
    host.client.stdout_fd = -1;
    for (const std::string& message : {rtp_message("\x80\x21" + random_bytes(1326, 41)), std::string("<Msg>1</Msg>"),
                                       rtp_message("\x80\x21" + random_bytes(1326, 42))}) {
        ASSERT_TRUE(wait_until_consumed(&host, 5000));
        ASSERT_TRUE(send_on_connection(&host, message));
        std::string datagram;
        if (message[1] == 'R') {
            EXPECT_TRUE(receive_udp(host.relay_listener, &datagram, 5000)) << "no relay datagram";
        }
    }
    EXPECT_EQ(receive_on_connection(&host, 1, 200), "");
    stop_tracker_host(&host);
}
