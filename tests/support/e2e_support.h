// End-to-end helpers: start the real programs, read their output, talk UDP and TCP on
// loopback. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct child_process {
    pid_t pid = -1;
    int stdout_fd = -1;
    int stderr_fd = -1;
    std::string out;  // everything read so far from standard output
    std::string err;  // and from standard error
    std::vector<int> closed_descriptors;  // set before the start: standard descriptors it starts without
};

// Starts the program with standard output and error on pipes, standard input from /dev/null,
// less the closed descriptors.
bool start_program(const std::string& path, child_process* child);
bool start_program(const std::string& path, const std::vector<std::string>& arguments, child_process* child);
// Reads what the child has written until `out` holds at least `bytes` bytes or time is up.
bool read_output_until(child_process* child, std::size_t bytes, int timeout_ms);
// Reads until standard error holds `lines` line ends or time is up.
bool read_errors_until(child_process* child, int lines, int timeout_ms);
// Reads whatever arrives within timeout_ms.
void drain_output(child_process* child, int timeout_ms);
// Waits for the child to end; returns its exit status, or -1 on time-out or a signal.
int wait_for_exit(child_process* child, int timeout_ms);
// Kills the child if it still runs, and closes the pipes.
void stop_program(child_process* child);
bool is_running(child_process* child);

// Starts the named program of the build and waits (5 s at most) until it serves its UDP port.
bool start_udp_service(const char* name, std::uint16_t port, child_process* child);

// Starts quorvane as one of `workers` workers (QUORVANE_WORKERS) and waits (5 s at most) until
// it waits for its first datagram, its socket in the group and steered.
bool start_worker(int workers, child_process* worker);

// Waits until a socket of this network namespace is bound to the UDP or TCP port.
bool wait_for_udp_port(std::uint16_t port, int timeout_ms);
bool wait_for_tcp_listener(std::uint16_t port, int timeout_ms);

int bound_udp_socket(const char* address, std::uint16_t port);
bool send_udp(int socket, const std::string& bytes, const char* address, std::uint16_t port);
// Receives one datagram within the time-out; false when none came.
bool receive_udp(int socket, std::string* bytes, int timeout_ms, sockaddr_in* sender = nullptr);
std::uint16_t local_port(int socket);

// The texts of every <tag>...</tag> element of a reply document, in order.
std::vector<std::string> element_texts(const std::string& document, const std::string& tag);

// Milliseconds of the monotonic clock.
long long now_ms();

int open_descriptor_count(pid_t pid);
// Whether a started program's descriptors are its own to count: under a launcher (Wine) the
// process holds the launcher's as well, opened and dropped as it likes, and its sockets are
// held elsewhere, so a count says nothing of the program.
bool descriptors_are_the_programs();
// The programs are found in QUORVANE_PROGRAM_DIR (the build folder by default), their names
// ending in QUORVANE_PROGRAM_SUFFIX (".exe" for the Windows build); QUORVANE_PROGRAM_LAUNCHER,
// when set, runs each (Wine), with the program's path as its first argument.
std::string program_path(const char* name);
std::string program_launcher();

// One of the UDP programs started, and a socket on 127.0.0.1 that speaks to it.
class UdpProgramTest : public ::testing::Test {
protected:
    // From SetUp: starts the named program of the build and waits until it serves its port.
    void start(const char* name, std::uint16_t service_port);
    void TearDown() override;
    // Sends bytes to the program and returns the console output they produced, once at least
    // expected_length bytes of it came (5 s at most).
    std::string say(const std::string& bytes, std::size_t expected_length);
    child_process program;
    int peer = -1;
    std::uint16_t port = 0;
};
