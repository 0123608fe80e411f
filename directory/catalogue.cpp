// The channel catalogue request: one checked query, answered with the Channels document.
#include "directory.h"

#include "directory_internal.h"
#include "request.h"
#include "statements.h"

void send_channels(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result)
{
    send_document(service_socket, peer,
                  build_channels_document(result_rows(result), reply_size_limit(service_socket)));
}

void answer_catalogue_request(socket_handle service_socket, const sockaddr_in& peer)
{
    directory_request request;
    open_directory_request(&request);
    format_statement(&request, "%s", catalogue_query);
    if (run_checked(&request) == 0) {
        if (MYSQL_RES* result = take_result_set(&request)) {
            send_channels(service_socket, peer, result);
            mysql_free_result(result);
        }
    }
    close_directory_request(&request);
}
