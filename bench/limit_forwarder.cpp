// limit_forwarder: limits (b) and (c) of the bench, UDP forwarders as small as they come.
// Each receives on 8848 and sends the 1328 bytes from message byte 11 on to
// 127.0.0.1:1234, and runs until it is killed.
//
//   limit_forwarder bare     (b) one socket for everything, nothing written
//   limit_forwarder duties   (c) what the relay must do beside forwarding: a new socket for
//                            each message, and the console line and a trace's worth of
//                            bytes written to standard output in one write
#include "bench_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

constexpr std::size_t largest_message = 1342;
constexpr std::size_t packet_offset = 11;
constexpr std::size_t packet_size = 1328;
// The longest trace: 37 bytes of header fields and index, 18 spaces, 1328 words of eight
// digits and a space, four line ends.
constexpr std::size_t trace_size = 37 + 18 + packet_size * 9 + 4;

static void write_all(const char* bytes, std::size_t length)
{
    while (length > 0) {
        ssize_t written = write(STDOUT_FILENO, bytes, length);
        if (written <= 0)
            return;
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

int main(int argc, char** argv)
{
    std::string mode = argc == 2 ? argv[1] : "";
    if (mode != "bare" && mode != "duties") {
        std::fprintf(stderr, "usage: limit_forwarder bare|duties\n");
        return 2;
    }
    bool duties = mode == "duties";
    int service = bound_udp_socket("0.0.0.0", 8848, 0);
    if (service < 0)
        return 1;
    sockaddr_in listener = loopback_address("127.0.0.1", 1234);
    static unsigned char message[largest_message];
    // The sink gets the console line ("127.0.0.1 say : " and the text) and the trace bytes.
    static char output[16 + largest_message + 1 + trace_size];
    std::memset(output, 'f', sizeof output);
    for (;;) {
        sockaddr_in sender{};
        socklen_t sender_length = sizeof sender;
        ssize_t received = recvfrom(service, message, largest_message, 0, reinterpret_cast<sockaddr*>(&sender),
                                    &sender_length);
        if (received < 0)
            continue;
        int out = service;
        if (duties) {
            auto* nul = static_cast<const unsigned char*>(std::memchr(message, 0, static_cast<std::size_t>(received)));
            std::size_t text = nul ? static_cast<std::size_t>(nul - message) : static_cast<std::size_t>(received);
            std::memcpy(output, "127.0.0.1 say : ", 16);
            std::memcpy(output + 16, message, text);
            output[16 + text] = '\n';
            write_all(output, 16 + text + 1 + trace_size);
            out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
        sendto(out, message + packet_offset, packet_size, 0, reinterpret_cast<const sockaddr*>(&listener),
               sizeof listener);
        if (duties)
            close(out);
    }
}
