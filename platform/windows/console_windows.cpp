// The console on Windows: its start-up, standard output and the operator notice.
#include "platform.h"

#include "backend.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

// Windows has no SIGPIPE, and a socket is never a C library descriptor: a write to a console
// that has gone away or was never there fails alone, and nothing needs opening in its place.
void prepare_console()
{
    // Console lines end in "\n" alone, as on every other system: the C library's standard
    // streams must not turn it into "\r\n" for whatever still writes through them (start-up errors).
    // A stream with no handle behind it (a program started without a console) has no
    // descriptor, and the C library must not be handed one that is not there.
    for (FILE* stream : {stdout, stderr})
        if (_fileno(stream) >= 0)
            _setmode(_fileno(stream), _O_BINARY);
}

static void write_handle(HANDLE handle, const char* bytes, std::size_t length)
{
    while (length > 0) {
        DWORD written = 0;
        DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        if (!WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0)
            return;
        bytes += written;
        length -= written;
    }
}

// Written straight to the handle, past the C library's buffer and its text mode.
void write_output(console_part* parts, int count)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == INVALID_HANDLE_VALUE || output == nullptr)
        return;
    for (int i = 0; i < count; ++i)
        write_handle(output, parts[i].bytes, parts[i].length);
}

// The line goes to standard error first, so that a service's log records the notice while the
// box waits for its OK; without a desktop the box returns at once.
void show_operator_notice()
{
    static const char line[] = "something wrong,check program\n";
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    if (errors != INVALID_HANDLE_VALUE && errors != nullptr)
        write_handle(errors, line, sizeof line - 1);
    MessageBoxW(nullptr, L"something wrong,check program", L"something wrong,check program", MB_OK);
}
