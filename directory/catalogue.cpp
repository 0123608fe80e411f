// The channel catalogue request: one checked query, answered with the Channels document.
#include "directory.h"

#include "request.h"
#include "statements.h"

// Builds the document from every row of the result set and sends it to peer; the bytes sent.
static std::size_t send_channels(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result)
{
    return send_document(service_socket, peer,
                         build_channels_document(result_rows(result), reply_size_limit(service_socket)));
}

std::size_t answer_catalogue_request(socket_handle service_socket, const sockaddr_in& peer)
{
    std::size_t replied = 0;
    directory_request request;
    open_directory_request(&request);
    format_statement(&request, "%s", catalogue_query);
    if (run_checked(&request) == 0) {
        if (MYSQL_RES* result = take_result_set(&request)) {
            replied = send_channels(service_socket, peer, result);
            mysql_free_result(result);
        }
    }
    close_directory_request(&request);
    return replied;
}
