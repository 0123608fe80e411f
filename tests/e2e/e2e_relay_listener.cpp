// halvering over real UDP: one whole console line per datagram, raw text up to the first zero.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

class RelayListener : public UdpProgramTest {
protected:
    void SetUp() override
    {
        start("halvering", 1234);
    }
    child_process& listener = program;
    int& sender = peer;
};

TEST_F(RelayListener, HelloThenHi)
{
    EXPECT_EQ(say("hello", 22), "127.0.0.1 say : hello\n");
    EXPECT_EQ(say("hi", 19), "127.0.0.1 say : hi\n");
    drain_output(&listener, 100);
    EXPECT_EQ(listener.out, "127.0.0.1 say : hello\n127.0.0.1 say : hi\n");
}

TEST_F(RelayListener, TextEndsAtTheFirstZeroByte)
{
    EXPECT_EQ(say(std::string("ab\0cd", 5), 19), "127.0.0.1 say : ab\n");
    EXPECT_EQ(say("", 17), "127.0.0.1 say : \n");
    EXPECT_EQ(say(std::string("\0xyz", 4), 17), "127.0.0.1 say : \n");
    // A relay datagram whose byte 5 is the first zero shows bytes 0 to 4, raw.
    std::string packet = "\x80\x21\x12\x34\xff" + std::string(1323, '\0');
    EXPECT_EQ(say(packet, 22), "127.0.0.1 say : \x80\x21\x12\x34\xff\n");
}

TEST_F(RelayListener, LongDatagramsShowAtMost2000Bytes)
{
    std::string line = "127.0.0.1 say : " + std::string(2000, 'z') + "\n";
    EXPECT_EQ(say(std::string(2000, 'z'), line.size()), line);
    EXPECT_EQ(say(std::string(2500, 'z'), line.size()), line);
    drain_output(&listener, 100);
    EXPECT_EQ(listener.out.size(), 2 * line.size());
}

TEST_F(RelayListener, SendersAreNamedByAddressOnly)
{
    int second = bound_udp_socket("127.0.0.2", 0);
    int third = bound_udp_socket("127.0.0.2", 0);
    ASSERT_TRUE(send_udp(second, "x", "127.0.0.1", 1234));
    ASSERT_TRUE(read_output_until(&listener, 18, 5000));
    ASSERT_TRUE(send_udp(third, "x", "127.0.0.1", 1234));
    ASSERT_TRUE(read_output_until(&listener, 36, 5000));
    EXPECT_EQ(listener.out, "127.0.0.2 say : x\n127.0.0.2 say : x\n");
    close(second);
    close(third);
}

TEST_F(RelayListener, GoesOnListeningWhenItsConsoleHasNoReader)
{
    if (!program_launcher().empty())
        GTEST_SKIP() << "a dead pipe under a launcher tests the launcher's handling of it";
    close(listener.stdout_fd);
    listener.stdout_fd = -1;
    for (const char* lost : {"first", "second"})
        ASSERT_TRUE(send_udp(sender, lost, "127.0.0.1", 1234));
    // Its lines have nowhere to go and nothing else shows them: half a second for an end
    // that must not come.
    wait_for_exit(&listener, 500);
    EXPECT_TRUE(is_running(&listener));
}

TEST_F(RelayListener, SecondInstanceExitsWithAClearError)
{
    child_process second;
    ASSERT_TRUE(start_program(program_path("halvering"), &second));
    EXPECT_EQ(wait_for_exit(&second, 5000), 1);
    EXPECT_NE(second.err.find("1234"), std::string::npos) << second.err;
    stop_program(&second);
}
