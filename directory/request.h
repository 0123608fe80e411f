// The skeleton every directory request follows: its own connection, its own statement
// buffer, checked and unchecked statements, the operator notice on a directory failure,
// and the reply document sent on the caller's service socket. Nothing outlives a request.
#pragma once

#include "documents.h"
#include "platform.h"

#include <mysql.h>

#include <cstddef>
#include <string>
#include <vector>

struct directory_request {
    MYSQL* connection = nullptr;  // null only when no handle could be made
    std::vector<char> statement;  // the statement buffer, grown to fit each statement
};

// Makes the handle and connects. A failed attempt, or no handle at all, shows the operator
// notice and the request goes on: its statements then fail. Allocates the statement buffer.
void open_directory_request(directory_request* request);
// Releases the statement buffer and closes the connection, on every path.
void close_directory_request(directory_request* request);

// The text escaped for a double-quoted literal of this request's statements, in the
// connection's character set, so that it is always taken as plain text.
std::string literal_text(const directory_request& request, const std::string& text);

// Writes the next statement into the buffer with write(buffer, capacity), which writes as
// snprintf does and returns the statement's whole length; the buffer grows to fit it, so
// that a statement is never cut, never overrun.
template <typename Writer>
void write_statement(directory_request* request, Writer write)
{
    int length = write(request->statement.data(), request->statement.size());
    if (length >= 0 && static_cast<std::size_t>(length) >= request->statement.size()) {
        request->statement.resize(static_cast<std::size_t>(length) + 1);
        write(request->statement.data(), request->statement.size());
    }
}
// The same with a printf format.
void format_statement(directory_request* request, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Runs the statement in the buffer; its outcome is not looked at.
void run_unchecked(directory_request* request);
// Runs the statement in the buffer. Returns 0, or -1 after showing the operator notice.
int run_checked(directory_request* request);
// The rows of the statement just run, fetched whole, or null when it gave none.
MYSQL_RES* take_result_set(directory_request* request);

// The column texts of every row; they live as long as the result set.
std::vector<text_row> result_rows(MYSQL_RES* result);
// The largest document, NUL included, that one send on the socket carries: one datagram
// on UDP, no limit on a stream.
std::size_t reply_size_limit(socket_handle service_socket);
// Sends the document and its terminating NUL to peer. Returns the bytes sent: all of them, or 0.
std::size_t send_document(socket_handle service_socket, const sockaddr_in& peer, const std::string& document);
