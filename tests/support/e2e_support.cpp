#include "e2e_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

std::vector<std::string> element_texts(const std::string& document, const std::string& tag)
{
    std::vector<std::string> texts;
    std::string open = "<" + tag + ">", close = "</" + tag + ">";
    for (std::size_t at = document.find(open); at != std::string::npos; at = document.find(open, at + 1)) {
        std::size_t from = at + open.size();
        texts.push_back(document.substr(from, document.find(close, from) - from));
    }
    return texts;
}

long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool start_program(const std::string& path, child_process* child)
{
    return start_program(path, {}, child);
}

bool start_program(const std::string& path, const std::vector<std::string>& arguments, child_process* child)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    for (int descriptor : child->closed_descriptors)
        posix_spawn_file_actions_addclose(&actions, descriptor);
    // Under a launcher (Wine for the Windows programs) the launcher runs in the program's place
    // and its process is the program's.
    std::string launcher = program_launcher();
    std::string file = launcher.empty() ? path : launcher;
    std::vector<std::string> words = arguments;
    std::vector<char*> argv{const_cast<char*>(file.c_str())};
    if (!launcher.empty())
        argv.push_back(const_cast<char*>(path.c_str()));
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int failed = posix_spawn(&child->pid, file.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    child->stdout_fd = out_pipe[0];
    child->stderr_fd = err_pipe[0];
    if (failed) {
        child->pid = -1;
        return false;
    }
    return true;
}

// Reads from both pipes for at most timeout_ms, stopping early once `done` holds.
template <typename Done>
static bool read_child(child_process* child, int timeout_ms, Done done)
{
    long long deadline = now_ms() + timeout_ms;
    while (!done()) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{child->stdout_fd, POLLIN, 0}, {child->stderr_fd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left)) <= 0)
            continue;
        char chunk[65536];
        bool any = false;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                (i == 0 ? child->out : child->err).append(chunk, static_cast<std::size_t>(n));
                any = true;
            }
        }
        if (!any && (fds[0].revents & POLLHUP) && (fds[1].revents & POLLHUP))
            return done();
    }
    return true;
}

bool read_output_until(child_process* child, std::size_t bytes, int timeout_ms)
{
    return read_child(child, timeout_ms, [&] { return child->out.size() >= bytes; });
}

bool read_errors_until(child_process* child, int lines, int timeout_ms)
{
    return read_child(child, timeout_ms, [&] {
        long count = 0;
        for (char c : child->err)
            count += c == '\n';
        return count >= lines;
    });
}

void drain_output(child_process* child, int timeout_ms)
{
    read_child(child, timeout_ms, [] { return false; });
}

int wait_for_exit(child_process* child, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(child->pid, &status, WNOHANG);
        if (done == child->pid) {
            child->pid = -1;
            drain_output(child, 50);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (now_ms() >= deadline)
            return -1;
        usleep(5000);
    }
}

bool is_running(child_process* child)
{
    return child->pid > 0 && waitpid(child->pid, nullptr, WNOHANG) == 0;
}

bool start_udp_service(const char* name, std::uint16_t port, child_process* child)
{
    return start_program(program_path(name), child) && wait_for_udp_port(port, 5000);
}

// Whether the process waits in recvfrom: past its start-up, whatever it set up on its socket.
static bool waits_for_a_datagram(pid_t pid)
{
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    return syscall >> number && number == SYS_recvfrom;
}

bool start_worker(int workers, child_process* worker)
{
    setenv("QUORVANE_WORKERS", std::to_string(workers).c_str(), 1);
    bool started = start_program(program_path("quorvane"), worker);
    unsetenv("QUORVANE_WORKERS");
    for (long long deadline = now_ms() + 5000; started && !waits_for_a_datagram(worker->pid); usleep(5000))
        if (now_ms() >= deadline || !is_running(worker))
            return false;
    return started;
}

// In the sanitizer build a fault in a child is a report on its standard error (and an abort);
// the test that ran the child fails, whatever else it checked.
static void expect_no_sanitizer_report(const child_process& child)
{
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
        if (child.err.find(mark) != std::string::npos) {
            ADD_FAILURE() << "sanitizer report from a child program:\n" << child.err;
            return;
        }
}

// Before a child is killed it gets a moment to end by itself. In the sanitizer build a report
// follows its fault by a moment, and a child killed at once could take it along. Under a
// launcher, Wine's server keeps the sockets of a process killed in the middle of a socket
// call (a directory connection that it was closing, and with it the service port): the
// program gets a longer moment to finish the message in hand.
#ifdef QUORVANE_SANITIZE
constexpr int report_grace_ms = 100;
#else
constexpr int report_grace_ms = 0;
#endif
constexpr int launcher_grace_ms = 200;

// Whether the child has ended, leaving it for waitpid to reap.
static bool has_ended(const child_process& child)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

void stop_program(child_process* child)
{
    if (child->pid > 0) {
        int grace_ms = program_launcher().empty() ? report_grace_ms : launcher_grace_ms;
        if (grace_ms > 0)
            read_child(child, grace_ms, [&] { return has_ended(*child); });
        kill(child->pid, SIGKILL);
        waitpid(child->pid, nullptr, 0);
        child->pid = -1;
    }
    // The child is gone: read what it left on its pipes, up to their end.
    if (child->stderr_fd >= 0)
        drain_output(child, 2000);
    expect_no_sanitizer_report(*child);
    for (int* fd : {&child->stdout_fd, &child->stderr_fd})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

// /proc/net/{udp,tcp} list this namespace's sockets; the local port is the hex after ':'.
static bool port_listed(const char* table, std::uint16_t port, const char* state)
{
    std::ifstream file(table);
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::getline(file, line);
    while (std::getline(file, line)) {
        char local[64] = {}, remote[64] = {}, st[8] = {};
        if (std::sscanf(line.c_str(), "%*s %63s %63s %7s", local, remote, st) != 3)
            continue;
        const char* colon = std::strrchr(local, ':');
        if (colon && std::strcmp(colon, wanted) == 0 && (!state || std::strcmp(st, state) == 0))
            return true;
    }
    return false;
}

static bool wait_for_port(const char* table, std::uint16_t port, const char* state, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    while (!port_listed(table, port, state)) {
        if (now_ms() >= deadline)
            return false;
        usleep(5000);
    }
    return true;
}

bool wait_for_udp_port(std::uint16_t port, int timeout_ms)
{
    return wait_for_port("/proc/net/udp", port, nullptr, timeout_ms);
}

bool wait_for_tcp_listener(std::uint16_t port, int timeout_ms)
{
    return wait_for_port("/proc/net/tcp", port, "0A", timeout_ms);
}

int bound_udp_socket(const char* address, std::uint16_t port)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = inet_addr(address);
    int large = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool send_udp(int socket, const std::string& bytes, const char* address, std::uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = inet_addr(address);
    return sendto(socket, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

bool receive_udp(int socket, std::string* bytes, int timeout_ms, sockaddr_in* sender)
{
    pollfd fd{socket, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0)
        return false;
    std::string buffer(70000, '\0');
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    ssize_t n = recvfrom(socket, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0)
        return false;
    buffer.resize(static_cast<std::size_t>(n));
    *bytes = buffer;
    if (sender)
        *sender = from;
    return true;
}

std::uint16_t local_port(int socket)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

int open_descriptor_count(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

static std::string environment_or(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string program_path(const char* name)
{
    return environment_or("QUORVANE_PROGRAM_DIR", QUORVANE_PROGRAM_DIR) + "/" + name +
           environment_or("QUORVANE_PROGRAM_SUFFIX", "");
}

std::string program_launcher()
{
    return environment_or("QUORVANE_PROGRAM_LAUNCHER", "");
}

bool descriptors_are_the_programs()
{
    return program_launcher().empty();
}

void UdpProgramTest::start(const char* name, std::uint16_t service_port)
{
    port = service_port;
    ASSERT_TRUE(start_udp_service(name, port, &program));
    peer = bound_udp_socket("127.0.0.1", 0);
    ASSERT_GE(peer, 0);
}

void UdpProgramTest::TearDown()
{
    if (peer >= 0)
        close(peer);
    stop_program(&program);
}

std::string UdpProgramTest::say(const std::string& bytes, std::size_t expected_length)
{
    std::size_t before = program.out.size();
    EXPECT_TRUE(send_udp(peer, bytes, "127.0.0.1", port));
    EXPECT_TRUE(read_output_until(&program, before + expected_length, 5000));
    return program.out.substr(before);
}
