// Fuzzes the RTP trace formatter: any received length, any packet bytes. Both variants are
// written into a buffer of exactly the documented capacity and read back number by number.
#include "rtp_trace.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool holds)
{
    if (!holds)
        std::abort();
}

std::uint32_t word_at(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Reads one number in the given base and the separator after it; no sign, no leading zero.
std::uint32_t next_number(const char*& at, const char* end, int base, char separator)
{
    const char* start = at;
    while (at < end && *at != separator)
        ++at;
    check(at < end && at > start && (at - start == 1 || *start != '0'));
    char digits[16] = {};
    check(at - start < 16);
    std::memcpy(digits, start, static_cast<std::size_t>(at - start));
    char* parsed_end = nullptr;
    unsigned long value = std::strtoul(digits, &parsed_end, base);
    check(*parsed_end == '\0' && value <= 0xffffffffu);
    ++at;
    return static_cast<std::uint32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte picks how many bytes the receive delivered; stale bytes follow them.
    if (size < 1)
        return 0;
    std::size_t received = data[0] * max_message_size / 255;
    auto message = std::make_unique<unsigned char[]>(receive_buffer_size);
    std::memset(message.get(), 0xee, receive_buffer_size);
    std::memcpy(message.get(), data + 1, size - 1 < received ? size - 1 : received);

    auto window = std::make_unique<unsigned char[]>(rtp_window_size);
    read_packet_window(message.get(), received, window.get());
    for (std::size_t i = 0; i < rtp_window_size; ++i)
        check(window[i] == (rtp_packet_offset + i < received ? message[rtp_packet_offset + i] : 0));

    // Heap buffers of exactly the capacity, so a write past it is caught.
    auto full = std::make_unique<char[]>(rtp_trace_capacity);
    auto one_line = std::make_unique<char[]>(rtp_trace_capacity);
    std::size_t full_length = format_rtp_trace(window.get(), rtp_trace_full, full.get());
    std::size_t line_length = format_rtp_trace(window.get(), rtp_trace_one_line, one_line.get());
    check(full_length <= rtp_trace_capacity && line_length <= rtp_trace_capacity);

    // The one-line trace is the head of the full one, up to the relay index and its line end.
    check(line_length >= 2 && one_line[line_length - 1] == '\n');
    check(std::memcmp(full.get(), one_line.get(), line_length - 1) == 0);

    const char* at = full.get();
    const char* end = full.get() + full_length;
    std::uint32_t sequence = static_cast<std::uint32_t>(window[2]) << 8 | window[3];
    const std::uint32_t expected[] = {word_at(window.get()) & 0xffff0000u, word_at(window.get()) >> 16, window[3],
                                window[2], static_cast<std::uint32_t>(window[2]) << 8, sequence};
    for (std::uint32_t field : expected)
        check(next_number(at, end, 16, ' ') == field);
    check(next_number(at, end, 10, ' ') == sequence);
    check(end - at > 18 && *at == '0' && std::memcmp(at + 1, "                  ", 18) == 0);
    at += 19;
    for (std::size_t i = 0; i < rtp_packet_size; ++i)
        check(next_number(at, end, 16, ' ') == word_at(window.get() + i));
    check(end - at == 4 && std::memcmp(at, "\n\n\n\n", 4) == 0);
    return 0;
}
