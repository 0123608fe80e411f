// Peer registration and the neighbour list, in quorvane's order and in quorvane_tcp's.
#include "directory.h"

#include "request.h"
#include "statements.h"

#include <random>

// Builds the document from every row of the result set and sends it to peer; the bytes sent.
static std::size_t send_neighbors(socket_handle service_socket, const sockaddr_in& peer, MYSQL_RES* result)
{
    return send_document(service_socket, peer,
                         build_neighbors_document(result_rows(result), reply_size_limit(service_socket)));
}

// The neighbour query has run and succeeded: reply with its rows, if it gave a result set.
static std::size_t reply_with_neighbors(directory_request* request, socket_handle service_socket,
                                        const sockaddr_in& peer)
{
    std::size_t replied = 0;
    if (MYSQL_RES* result = take_result_set(request)) {
        replied = send_neighbors(service_socket, peer, result);
        mysql_free_result(result);
    }
    return replied;
}

// Where this join starts reading the channel's draws: fresh for every join, from the system's
// random source, so that successive lists differ and nothing a peer sends has a say in it.
static unsigned int starting_draw()
{
    static std::random_device source;
    return source();
}

static void format_neighbours(directory_request* request, const neighbour_listing& listing, const std::string& channel)
{
    unsigned int start = starting_draw();
    write_statement(request, [&](char* buffer, std::size_t capacity) {
        return format_neighbour_query(buffer, capacity, listing, channel.c_str(), start);
    });
}

static void format_registration(directory_request* request, const sockaddr_in& peer, const std::string& channel)
{
    format_statement(request, registration, address_text(peer).c_str(), static_cast<int>(port_number(peer)),
                     channel.c_str());
}

std::size_t join_channel_retiring_peer(socket_handle service_socket, const sockaddr_in& peer,
                                       const std::string& channel_name)
{
    std::size_t replied = 0;
    directory_request request;
    open_directory_request(&request);
    std::string channel = literal_text(request, channel_name);
    format_statement(&request, liveness_reset, address_text(peer).c_str());
    run_unchecked(&request);
    format_neighbours(&request, alive_listing, channel);
    // A failed query ends the join unregistered; the liveness reset keeps its effect.
    if (run_checked(&request) == 0) {
        replied = reply_with_neighbors(&request, service_socket, peer);
        format_registration(&request, peer, channel);
        run_unchecked(&request);
    }
    close_directory_request(&request);
    return replied;
}

std::size_t join_channel_registering_first(socket_handle service_socket, const sockaddr_in& peer,
                                           const std::string& channel_name)
{
    std::size_t replied = 0;
    directory_request request;
    open_directory_request(&request);
    std::string channel = literal_text(request, channel_name);
    format_registration(&request, peer, channel);
    run_unchecked(&request);
    format_neighbours(&request, every_row_listing, channel);
    if (run_checked(&request) == 0)
        replied = reply_with_neighbors(&request, service_socket, peer);
    close_directory_request(&request);
    return replied;
}
