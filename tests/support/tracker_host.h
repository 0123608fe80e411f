// The test's side of quorvane_tcp's connection: the test plays the tracker host on TCP
// 127.0.0.1:8848 and catches relay datagrams on UDP 127.0.0.1:1234. Every wait is bounded.
#pragma once

#include "e2e_support.h"

#include <cstdint>
#include <string>

struct tracker_host {
    int listener = -1;    // TCP 127.0.0.1:8848
    int connection = -1;  // the accepted connection from quorvane_tcp
    int relay_listener = -1;
    child_process client;  // quorvane_tcp
};

// Listens on 8848 and 1234, starts quorvane_tcp and accepts its connection.
bool start_tracker_host(tracker_host* host);
void stop_tracker_host(tracker_host* host);

bool send_on_connection(tracker_host* host, const std::string& bytes);
// Reads from the connection until `bytes` bytes came, the client hung up, or time is up.
std::string receive_on_connection(tracker_host* host, std::size_t bytes, int timeout_ms);
// Waits until quorvane_tcp has taken every byte sent so far out of its receive queue, so the
// next send arrives as a receive of its own.
bool wait_until_consumed(tracker_host* host, int timeout_ms);

// quorvane_tcp connected to the test's tracker host.
class TrackerHostTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(start_tracker_host(&host)); }
    void TearDown() override { stop_tracker_host(&host); }
    // Sends bytes as one chunk, once everything sent before has been taken in.
    void send_chunk(const std::string& bytes)
    {
        ASSERT_TRUE(wait_until_consumed(&host, 5000));
        ASSERT_TRUE(send_on_connection(&host, bytes));
    }
    tracker_host host;
};
