// The RTP relay and its console trace. The full trace is about 12 KB per packet, so it is
// built in one buffer by table look-ups and handed to standard output in one write.
#include "rtp_trace.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

constexpr char hex_digits[] = "0123456789abcdef";

// The two hex digits of every byte value, laid out so that one 16-bit load puts them in
// memory in writing order.
static_assert(std::endian::native == std::endian::little, "the hex writer lays out digits little-endian");
constexpr std::array<std::uint16_t, 256> hex_pairs = [] {
    std::array<std::uint16_t, 256> pairs{};
    for (unsigned value = 0; value < 256; ++value)
        pairs[value] = static_cast<std::uint16_t>(hex_digits[value >> 4] | hex_digits[value & 0xf] << 8);
    return pairs;
}();

// Lower-case hex, no prefix, no leading zeros; zero is "0". Four look-ups give all eight
// digits; the leading zeros are shifted out and one 8-byte store writes the rest, so `out`
// needs room for 8 bytes whatever the number of digits.
static char* put_hex(char* out, std::uint32_t value)
{
    std::uint64_t digits = static_cast<std::uint64_t>(hex_pairs[value >> 24]) |
                           static_cast<std::uint64_t>(hex_pairs[(value >> 16) & 0xff]) << 16 |
                           static_cast<std::uint64_t>(hex_pairs[(value >> 8) & 0xff]) << 32 |
                           static_cast<std::uint64_t>(hex_pairs[value & 0xff]) << 48;
    int count = static_cast<int>((std::bit_width(value | 1u) + 3) / 4);
    digits >>= 8 * (8 - count);
    std::memcpy(out, &digits, 8);
    return out + count;
}

static char* put_decimal(char* out, std::uint32_t value)
{
    char reversed[10];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        *out++ = reversed[--count];
    return out;
}

static std::uint32_t little_endian_word(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Fields 1 to 7 derive, step by step, from the first packet word; field 6 is the RTP
// sequence number with its bytes swapped back into order.
static char* put_header_fields(char* out, std::uint32_t first_word)
{
    std::uint32_t field1 = first_word & 0xffff0000u;
    std::uint32_t field2 = field1 >> 16;
    std::uint32_t field3 = field2 >> 8;
    std::uint32_t field4 = field2 & 0xff;
    std::uint32_t field5 = field4 << 8;
    std::uint32_t field6 = field5 | field3;
    for (std::uint32_t field : {field1, field2, field3, field4, field5, field6}) {
        out = put_hex(out, field);
        *out++ = ' ';
    }
    out = put_decimal(out, field6);
    *out++ = ' ';
    return out;
}

// The digit pairs of the window's bytes, last byte first: pair j is that of byte
// rtp_window_size - 1 - j. Sixteen bytes at a time in the compiler's vector types (SSE2 on
// x86-64): reversed, split into nibbles, each nibble turned into its digit ('0' + n, and
// 39 more from 'a' on), high and low digits interleaved.
using byte_vector = unsigned char __attribute__((vector_size(16)));
using word_vector = std::uint64_t __attribute__((vector_size(16)));

static void put_pairs_backwards(const unsigned char* window, char* pairs)
{
    std::size_t j = 0;
    for (; j + 16 <= rtp_window_size; j += 16) {
        std::uint64_t halves[2];
        std::memcpy(halves, window + rtp_window_size - 16 - j, 16);
        word_vector reversed = {__builtin_bswap64(halves[1]), __builtin_bswap64(halves[0])};
        auto bytes = reinterpret_cast<byte_vector>(reversed);
        byte_vector high = bytes >> 4;
        byte_vector low = bytes & 15;
        high += '0' + (reinterpret_cast<byte_vector>(high > 9) & ('a' - '0' - 10));
        low += '0' + (reinterpret_cast<byte_vector>(low > 9) & ('a' - '0' - 10));
        byte_vector first = __builtin_shufflevector(high, low, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        byte_vector second =
            __builtin_shufflevector(high, low, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        std::memcpy(pairs + 2 * j, &first, 16);
        std::memcpy(pairs + 2 * j + 16, &second, 16);
    }
    for (; j < rtp_window_size; ++j)
        std::memcpy(pairs + 2 * j, &hex_pairs[window[rtp_window_size - 1 - j]], 2);
}

// One word per byte position, so neighbouring words share three bytes. Word i is written
// as the digit pairs of bytes i+3, i+2, i+1 and i; with the pairs of the whole window laid
// out last byte first, those are eight consecutive digits, taken with one load per word.
static char* put_word_dump(char* out, const unsigned char* window)
{
    char pairs_backwards[2 * rtp_window_size];
    put_pairs_backwards(window, pairs_backwards);
    const char* digits_of_word = pairs_backwards + 2 * (rtp_window_size - 4);
    for (std::size_t i = 0; i < rtp_packet_size; ++i, digits_of_word -= 2) {
        std::uint64_t digits;
        std::memcpy(&digits, digits_of_word, 8);
        // Most words have eight digits: a branch of their own keeps the next word's
        // position free of any wait on this word's bytes.
        if ((digits & 0xff) != '0') {
            std::memcpy(out, &digits, 8);
            out[8] = ' ';
            out += 9;
            continue;
        }
        // The rest drop their leading '0' characters, all but the last for a zero word.
        unsigned zeros = static_cast<unsigned>(std::countr_zero(digits ^ 0x3030303030303030u)) / 8;
        zeros = zeros > 7 ? 7 : zeros;
        digits >>= 8 * zeros;
        std::memcpy(out, &digits, 8);
        out[8 - zeros] = ' ';
        out += 9 - zeros;
    }
    return out;
}

void read_packet_window(const unsigned char* message, std::size_t received, unsigned char* window)
{
    std::size_t present = received > rtp_packet_offset ? received - rtp_packet_offset : 0;
    if (present > rtp_window_size)
        present = rtp_window_size;
    std::memcpy(window, message + rtp_packet_offset, present);
    std::memset(window + present, 0, rtp_window_size - present);
}

std::size_t format_rtp_trace(const unsigned char* window, rtp_trace_variant variant, char* trace)
{
    // One message carries one packet, so the relay index of every trace is 0.
    std::int32_t relay_index = 0;
    char* out = put_header_fields(trace, little_endian_word(window));
    out = put_decimal(out, static_cast<std::uint32_t>(relay_index));
    if (variant == rtp_trace_one_line) {
        *out++ = '\n';
        return static_cast<std::size_t>(out - trace);
    }
    std::memset(out, ' ', 18);
    out = put_word_dump(out + 18, window);
    std::memcpy(out, "\n\n\n\n", 4);
    return static_cast<std::size_t>(out + 4 - trace);
}

void relay_packet_with_trace(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                             const sockaddr_in& relay_endpoint, unsigned char* packet_copy,
                             rtp_trace_variant variant)
{
    unsigned char window[rtp_window_size];
    read_packet_window(message, received, window);
    std::memcpy(packet_copy, window, rtp_packet_size);

    char trace[rtp_trace_capacity];
    std::size_t length = format_rtp_trace(window, variant, trace);
    // The trace is on standard output, flushed, before the datagram leaves.
    write_console(trace, length);
    send_datagram(relay_socket, packet_copy, rtp_packet_size, relay_endpoint);
}

void relay_with_full_trace(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                           const sockaddr_in& relay_endpoint, unsigned char* packet_copy)
{
    relay_packet_with_trace(message, received, relay_socket, relay_endpoint, packet_copy, rtp_trace_full);
}

void relay_with_one_line_trace(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                               const sockaddr_in& relay_endpoint, unsigned char* packet_copy)
{
    relay_packet_with_trace(message, received, relay_socket, relay_endpoint, packet_copy, rtp_trace_one_line);
}
