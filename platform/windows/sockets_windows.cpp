// Windows Sockets behind the operations the programs were designed around.
#include "platform.h"

#include "backend.h"

#include <windows.h>
#include <mswsock.h>

#include <climits>

int start_sockets(std::uint16_t requested_version, std::uint16_t* granted_version)
{
    WSADATA data{};
    int error = WSAStartup(requested_version, &data);
    if (error != 0)
        return error;
    *granted_version = data.wVersion;
    return 0;
}

void stop_sockets()
{
    WSACleanup();
}

int last_socket_error()
{
    return WSAGetLastError();
}

// The system's own texts differ by language and version; these match the other systems'.
std::string error_text(int error)
{
    switch (error) {
    case WSAEADDRINUSE:
        return "Address already in use";
    case WSAEACCES:
        return "Permission denied";
    case WSAEADDRNOTAVAIL:
        return "Cannot assign requested address";
    case WSAEAFNOSUPPORT:
        return "Address family not supported by protocol";
    case WSAEMFILE:
        return "Too many open files";
    case WSAENOBUFS:
        return "No buffer space available";
    case WSANOTINITIALISED:
        return "Windows Sockets not started";
    case WSAENETDOWN:
        return "Network is down";
    case WSAEOPNOTSUPP:
        return "Operation not supported";
    default:
        return "Windows Sockets error " + std::to_string(error);
    }
}

socket_handle open_udp_socket()
{
    socket_handle udp = socket(AF_INET, SOCK_DGRAM, 0);
    if (udp == invalid_socket)
        return udp;
    // A reply or relay datagram that meets a closed port brings back an ICMP port unreachable,
    // which Windows would report as WSAECONNRESET on the socket's next receive. A receive is
    // about the next datagram only; turn that report off.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(udp, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    return udp;
}

// Windows has no groups of sockets steered by source address: a port has one server here.
int share_port(socket_handle)
{
    return WSAEOPNOTSUPP;
}

int steer_by_source_address(socket_handle, int)
{
    return WSAEOPNOTSUPP;
}

socket_handle open_tcp_socket()
{
    return socket(AF_INET, SOCK_STREAM, 0);
}

void close_socket(socket_handle socket)
{
    if (socket != invalid_socket)
        closesocket(socket);
}

int bind_to_any(socket_handle socket, std::uint16_t port)
{
    sockaddr_in address = make_any_address(port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return WSAGetLastError();
    return 0;
}

void pause_after_receive_failures(int consecutive_failures)
{
    if (consecutive_failures > 1)
        Sleep(consecutive_failures > 10 ? 100 : 10);
}

// Windows has no timer slack to shorten.
void use_precise_timers() {}

static int set_buffer_size(socket_handle socket, int option_name, int bytes)
{
    return setsockopt(socket, SOL_SOCKET, option_name, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0 ? 0
                                                                                                                   : -1;
}

int set_send_buffer_size(socket_handle socket, int bytes)
{
    return set_buffer_size(socket, SO_SNDBUF, bytes);
}

int set_receive_buffer_size(socket_handle socket, int bytes)
{
    return set_buffer_size(socket, SO_RCVBUF, bytes);
}

// Windows grants SO_RCVBUF as asked, with no cap to get past.
int enlarge_receive_queue(socket_handle socket, int bytes)
{
    return set_buffer_size(socket, SO_RCVBUF, bytes);
}

int connect_to(socket_handle socket, const sockaddr_in& address)
{
    return connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

static int capacity_int(std::size_t capacity)
{
    return capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
}

long receive_stream(socket_handle socket, void* buffer, std::size_t capacity)
{
    int received = recv(socket, static_cast<char*>(buffer), capacity_int(capacity), 0);
    return received == SOCKET_ERROR ? -1 : received;
}

long receive_datagram(socket_handle socket, void* buffer, std::size_t capacity, sockaddr_in* sender)
{
    for (;;) {
        int sender_length = sizeof *sender;
        int received = recvfrom(socket, static_cast<char*>(buffer), capacity_int(capacity), 0,
                                reinterpret_cast<sockaddr*>(sender), &sender_length);
        if (received != SOCKET_ERROR)
            return received;
        int error = WSAGetLastError();
        // A datagram longer than the buffer fills it and reports the loss of its tail as an
        // error; the other systems return it cut, and so does this.
        if (error == WSAEMSGSIZE)
            return capacity_int(capacity);
        // Where the port unreachable report could not be turned off: it belongs to an earlier
        // send, not to this receive, which goes on with the next datagram.
        if (error != WSAECONNRESET)
            return -1;
    }
}

long send_datagram(socket_handle socket, const void* bytes, std::size_t length, const sockaddr_in& to)
{
    int sent = sendto(socket, static_cast<const char*>(bytes), capacity_int(length), 0,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == SOCKET_ERROR ? -1 : sent;
}

bool is_stream_socket(socket_handle socket)
{
    int type = 0;
    int type_length = sizeof type;
    return getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &type_length) == 0 &&
           type == SOCK_STREAM;
}

int send_all_on_stream(socket_handle socket, const char* bytes, std::size_t length)
{
    while (length > 0) {
        int sent = send(socket, bytes, capacity_int(length), 0);
        if (sent == SOCKET_ERROR || sent == 0)
            return -1;
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return 0;
}
