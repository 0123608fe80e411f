// Console output shared by every system: the queued line and the per-datagram line.
#include "platform.h"

#include "backend.h"

#include <cstring>

// A queued line and the bytes after it go to the backend together, so they can leave in one
// write with no copy. At most one line waits.
static const char* queued_bytes = nullptr;
static std::size_t queued_length = 0;

void write_console(const char* bytes, std::size_t length)
{
    console_part parts[2] = {{queued_bytes, queued_length}, {bytes, length}};
    queued_bytes = nullptr;
    queued_length = 0;
    write_output(parts[0].length > 0 ? parts : parts + 1, parts[0].length > 0 ? 2 : 1);
}

void queue_console(const char* bytes, std::size_t length)
{
    flush_console();
    queued_bytes = bytes;
    queued_length = length;
}

void flush_console()
{
    if (queued_length > 0)
        write_console(nullptr, 0);
}

void (*operator_notice)() = show_operator_notice;

std::size_t format_say_line(char* line_buffer, std::size_t capacity, const sockaddr_in& sender, const char* text,
                            std::size_t text_length)
{
    static const char separator[] = " say : ";
    std::string address = address_text(sender);
    std::size_t head = address.size() + sizeof separator - 1;
    if (capacity < head + 1)
        return 0;
    if (text_length > capacity - head - 1)
        text_length = capacity - head - 1;
    std::memcpy(line_buffer, address.data(), address.size());
    std::memcpy(line_buffer + address.size(), separator, sizeof separator - 1);
    std::memcpy(line_buffer + head, text, text_length);
    line_buffer[head + text_length] = '\n';
    return head + text_length + 1;
}

void write_say_line(char* line_buffer, std::size_t capacity, const sockaddr_in& sender, const char* text,
                    std::size_t text_length)
{
    std::size_t length = format_say_line(line_buffer, capacity, sender, text, text_length);
    if (length > 0)
        write_console(line_buffer, length);
}
