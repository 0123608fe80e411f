// Forward-only scanning of tags and texts; no markup parsing beyond '<' and '>'.
#include "protocol.h"

#include <cstring>

std::string_view message_text(const unsigned char* buffer, std::size_t received)
{
    const void* nul = std::memchr(buffer, 0, received);
    std::size_t length = nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - buffer) : received;
    return {reinterpret_cast<const char*>(buffer), length};
}

static std::string scan_between(std::string_view text, std::int32_t& cursor, char open, char close)
{
    std::size_t end = text.size();
    std::size_t at = cursor < 0 ? 0 : static_cast<std::size_t>(cursor);
    while (at < end && text[at] != open)
        ++at;
    if (at >= end) {
        // No opening delimiter: an empty result that equals no name or code.
        cursor = static_cast<std::int32_t>(end);
        return {};
    }
    std::size_t start = at + 1;
    std::size_t stop = start;
    while (stop < end && text[stop] != close)
        ++stop;
    cursor = static_cast<std::int32_t>(stop);
    return std::string(text.substr(start, stop - start));
}

std::string read_tag(std::string_view text, std::int32_t& cursor)
{
    return scan_between(text, cursor, '<', '>');
}

std::string read_text(std::string_view text, std::int32_t& cursor)
{
    return scan_between(text, cursor, '>', '<');
}
