// Console output and the operator notice.
#include "platform.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// Standard output is written with write(2) alone, never through stdio's buffer, so a
// queued line and the bytes after it leave in one writev with no copy. At most one line waits.
static const char* queued_bytes = nullptr;
static std::size_t queued_length = 0;

static void write_all(iovec* parts, int count)
{
    while (count > 0) {
        ssize_t written = writev(STDOUT_FILENO, parts, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        // A short write: go on from the first byte that did not leave.
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
}

void write_console(const char* bytes, std::size_t length)
{
    iovec parts[2] = {{const_cast<char*>(queued_bytes), queued_length}, {const_cast<char*>(bytes), length}};
    queued_bytes = nullptr;
    queued_length = 0;
    write_all(parts[0].iov_len > 0 ? parts : parts + 1, parts[0].iov_len > 0 ? 2 : 1);
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

void show_operator_notice()
{
    static const char notice[] = "something wrong,check program\n";
    std::fwrite(notice, 1, sizeof notice - 1, stderr);
    std::fflush(stderr);
    // The notice is modal for an operator at a terminal: wait for Enter, the notice's OK.
    if (isatty(STDIN_FILENO)) {
        int c;
        do
            c = std::getchar();
        while (c != '\n' && c != EOF);
    }
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
