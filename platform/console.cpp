// Console output and the operator notice.
#include "platform.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

void write_console(const char* bytes, std::size_t length)
{
    std::fwrite(bytes, 1, length, stdout);
    std::fflush(stdout);
}

void queue_console(const char* bytes, std::size_t length)
{
    std::fwrite(bytes, 1, length, stdout);
}

void flush_console()
{
    std::fflush(stdout);
}

void use_console_buffer(std::size_t size)
{
    // Never released: the stream uses it until the process ends.
    static char* buffer = new char[size];
    std::setvbuf(stdout, buffer, _IOFBF, size);
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
