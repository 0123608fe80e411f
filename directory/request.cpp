// One directory request: connection, statement buffer, statements, reply.
#include "request.h"

#include "configured.h"
#include "directory_account.h"
#include "directory.h"
#include "statements.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

// Room for the longest statement, the neighbour query, with the longest channel name in it
// twice, each escaped to at most two bytes a byte, and its listing's index, filter and
// numbers: every statement is formatted once.
static constexpr std::size_t statement_buffer_size = sizeof(neighbour_query) + longest_channel_name * 4 + 160;

void open_directory_request(directory_request* request)
{
    request->connection = mysql_init(nullptr);
    if (!request->connection ||
        !mysql_real_connect(request->connection, directory_host, directory_user, directory_password,
                            directory_database, directory_port, nullptr, 0))
        operator_notice();
    request->statement.assign(statement_buffer_size, '\0');
}

void close_directory_request(directory_request* request)
{
    std::vector<char>().swap(request->statement);
    if (request->connection)
        mysql_close(request->connection);
    request->connection = nullptr;
}

// With NO_BACKSLASH_ESCAPES the library only doubles single quotes, which would leave a
// double-quoted literal open; there a backslash is plain and a doubled '"' is one '"'.
static std::string doubled_double_quotes(const std::string& text)
{
    std::string doubled;
    for (char c : text) {
        doubled += c;
        if (c == '"')
            doubled += c;
    }
    return doubled;
}

std::string literal_text(const directory_request& request, const std::string& text)
{
    // Without a handle no statement is sent at all.
    if (!request.connection)
        return std::string();
    // Escaping trusts the character set and SQL mode agreed at login. A server that changes
    // them behind the library's back (an init_connect that does more than server.cnf's row
    // limit) must not serve the tracker's account: the join sends no statement beyond its
    // own to check.
    if (request.connection->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES)
        return doubled_double_quotes(text);
    // At most two bytes per byte, and the library's NUL. On a handle whose connection
    // failed the library escapes in its default character set; the statement fails anyway.
    std::string escaped(text.size() * 2 + 1, '\0');
    unsigned long length = mysql_real_escape_string(request.connection, escaped.data(), text.data(), text.size());
    escaped.resize(length);
    return escaped;
}

void format_statement(directory_request* request, const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    write_statement(request, [&](char* buffer, std::size_t capacity) {
        std::va_list copy;
        va_copy(copy, arguments);
        int length = std::vsnprintf(buffer, capacity, format, copy);
        va_end(copy);
        return length;
    });
    va_end(arguments);
}

static int run_statement(directory_request* request)
{
    if (!request->connection)
        return -1;
    return mysql_query(request->connection, request->statement.data()) == 0 ? 0 : -1;
}

void run_unchecked(directory_request* request)
{
    run_statement(request);
}

int run_checked(directory_request* request)
{
    if (run_statement(request) == 0)
        return 0;
    operator_notice();
    return -1;
}

MYSQL_RES* take_result_set(directory_request* request)
{
    return request->connection ? mysql_store_result(request->connection) : nullptr;
}

std::vector<text_row> result_rows(MYSQL_RES* result)
{
    std::vector<text_row> rows;
    // Sized once: a catalogue of thousands of channels would otherwise be copied as it grows.
    rows.reserve(mysql_num_rows(result));
    // Every statement that yields rows selects exactly three columns.
    while (MYSQL_ROW row = mysql_fetch_row(result))
        rows.push_back({row[0], row[1], row[2]});
    return rows;
}

std::size_t reply_size_limit(socket_handle service_socket)
{
    return is_stream_socket(service_socket) ? SIZE_MAX : max_datagram_size;
}

std::size_t send_document(socket_handle service_socket, const sockaddr_in& peer, const std::string& document)
{
    return send_reply(service_socket, document.c_str(), document.size() + 1, peer) == 0 ? document.size() + 1 : 0;
}
