#include "rtp_trace_reference.h"

#include <cstdio>
#include <random>

unsigned char message_byte(const std::string& message, std::size_t position)
{
    return position < message.size() ? static_cast<unsigned char>(message[position]) : 0;
}

std::string expected_datagram(const std::string& message)
{
    std::string datagram;
    for (std::size_t position = 11; position < 11 + 1328; ++position)
        datagram += static_cast<char>(message_byte(message, position));
    return datagram;
}

static std::string header_fields(const std::string& message)
{
    unsigned b2 = message_byte(message, 13), b3 = message_byte(message, 14);
    unsigned sequence = b2 * 256 + b3;
    char text[128];
    std::snprintf(text, sizeof text, "%x %x %x %x %x %x %u %d", b3 * 16777216u + b2 * 65536u, b3 * 256 + b2, b3, b2,
                  b2 * 256, sequence, sequence, 0);
    return text;
}

std::string expected_one_line_trace(const std::string& message)
{
    return header_fields(message) + "\n";
}

std::string expected_full_trace(const std::string& message)
{
    std::string trace = header_fields(message) + std::string(18, ' ');
    for (std::size_t i = 0; i < 1328; ++i) {
        unsigned long word = 0;
        for (std::size_t k = 0; k < 4; ++k)
            word |= static_cast<unsigned long>(message_byte(message, 11 + i + k)) << (8 * k);
        char text[16];
        std::snprintf(text, sizeof text, "%lx ", word);
        trace += text;
    }
    return trace + "\n\n\n\n";
}

std::string rtp_message(const std::string& packet, const std::string& tail)
{
    return "<RTPPacket>" + packet + tail;
}

std::string random_bytes(std::size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = static_cast<char>(byte(generator));
    return bytes;
}
