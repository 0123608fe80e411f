// POSIX sockets behind the operations the programs were designed around.
#include "platform.h"

#include "backend.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int start_sockets(std::uint16_t requested_version, std::uint16_t* granted_version)
{
    // POSIX sockets need no start-up; grant what was asked for, up to 1.1.
    *granted_version = requested_version < sockets_version_1_1 ? requested_version : sockets_version_1_1;
    return 0;
}

void stop_sockets() {}

int last_socket_error()
{
    return errno;
}

std::string error_text(int error)
{
    return std::strerror(error);
}

socket_handle open_udp_socket()
{
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

socket_handle open_tcp_socket()
{
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

void close_socket(socket_handle socket)
{
    if (socket != invalid_socket)
        close(socket);
}

int bind_to_any(socket_handle socket, std::uint16_t port)
{
    sockaddr_in address = make_any_address(port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return errno;
    return 0;
}

int share_port(socket_handle socket)
{
    int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0 ? 0 : errno;
}

int steer_by_source_address(socket_handle socket, int group_size)
{
    // The group's socket index is the IPv4 source address (bytes 12 to 15 of the network
    // header) mod group_size. The group keeps one program, whichever socket attached it last:
    // every member attaches the same one, so any of them may end or start again.
    if (group_size < 1)
        return EINVAL;
    constexpr auto source_address = static_cast<__u32>(SKF_NET_OFF + 12);
    sock_filter steering[] = {
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, source_address},
        {BPF_ALU | BPF_MOD | BPF_K, 0, 0, static_cast<__u32>(group_size)},
        {BPF_RET | BPF_A, 0, 0, 0},
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof steering / sizeof steering[0]), steering};
    return setsockopt(socket, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) == 0 ? 0 : errno;
}

void pause_after_receive_failures(int consecutive_failures)
{
    if (consecutive_failures > 1)
        usleep(consecutive_failures > 10 ? 100000 : 10000);
}

void use_precise_timers()
{
    prctl(PR_SET_TIMERSLACK, 1UL);
}

static int set_buffer_size(socket_handle socket, int option_name, int bytes)
{
    return setsockopt(socket, SOL_SOCKET, option_name, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

int set_send_buffer_size(socket_handle socket, int bytes)
{
    return set_buffer_size(socket, SO_SNDBUF, bytes);
}

int set_receive_buffer_size(socket_handle socket, int bytes)
{
    return set_buffer_size(socket, SO_RCVBUF, bytes);
}

int enlarge_receive_queue(socket_handle socket, int bytes)
{
    // Privileged, the whole size; otherwise as much as net.core.rmem_max allows.
    if (set_buffer_size(socket, SO_RCVBUFFORCE, bytes) == 0)
        return 0;
    return set_buffer_size(socket, SO_RCVBUF, bytes);
}

int connect_to(socket_handle socket, const sockaddr_in& address)
{
    return connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

long receive_stream(socket_handle socket, void* buffer, std::size_t capacity)
{
    ssize_t received;
    do
        received = recv(socket, buffer, capacity, 0);
    while (received < 0 && errno == EINTR);
    return received;
}

long receive_datagram(socket_handle socket, void* buffer, std::size_t capacity, sockaddr_in* sender)
{
    socklen_t sender_length = sizeof *sender;
    return recvfrom(socket, buffer, capacity, 0, reinterpret_cast<sockaddr*>(sender), &sender_length);
}

long send_datagram(socket_handle socket, const void* bytes, std::size_t length, const sockaddr_in& to)
{
    return sendto(socket, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

bool is_stream_socket(socket_handle socket)
{
    int type = 0;
    socklen_t type_length = sizeof type;
    return getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &type_length) == 0 && type == SOCK_STREAM;
}

int send_all_on_stream(socket_handle socket, const char* bytes, std::size_t length)
{
    while (length > 0) {
        // MSG_NOSIGNAL: a peer that hung up must not kill the process with SIGPIPE.
        ssize_t sent = send(socket, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return -1;
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return 0;
}
