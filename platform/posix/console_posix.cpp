// The console on POSIX systems: its start-up, standard output and the operator notice.
#include "platform.h"

#include "backend.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

void prepare_console()
{
    // Opened in order, /dev/null takes the lowest free descriptor: the one found closed.
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor)
        if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF &&
            open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY) != descriptor)
            break;  // without a null device there is nothing better to put there
    // A write to a pipe with no reader then fails with EPIPE instead of killing the process.
    // (The directory's client library ignores SIGPIPE as well, but only once it has connected.)
    std::signal(SIGPIPE, SIG_IGN);
}

// Standard output is written with write(2) alone, never through stdio's buffer: the parts
// leave in one writev.
void write_output(console_part* parts, int count)
{
    iovec vectors[2];
    if (count > 2)
        return;
    for (int i = 0; i < count; ++i)
        vectors[i] = {const_cast<char*>(parts[i].bytes), parts[i].length};
    iovec* next = vectors;
    while (count > 0) {
        ssize_t written = writev(STDOUT_FILENO, next, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        // A short write: go on from the first byte that did not leave.
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
}

void show_operator_notice()
{
    static const char notice[] = "something wrong,check program\n";
    std::fwrite(notice, 1, sizeof notice - 1, stderr);
    std::fflush(stderr);
    // A console that has gone away loses this line alone: the next notice is written again.
    std::clearerr(stderr);
    // The notice is modal for an operator at a terminal: wait for Enter, the notice's OK.
    if (isatty(STDIN_FILENO)) {
        int c;
        do
            c = std::getchar();
        while (c != '\n' && c != EOF);
    }
}
