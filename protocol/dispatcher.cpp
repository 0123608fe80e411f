// One message, handled completely: type by the first tag, then catalogue, join or relay.
#include "protocol.h"

#include "configured.h"

// Msg: the code, then the closing tag, which must be "/Msg".
static int handle_envelope(const message_handlers& handlers, std::string_view text, std::int32_t& cursor,
                           socket_handle service_socket, const sockaddr_in& peer, std::size_t* replied)
{
    std::string code = read_text(text, cursor);
    if (code == "1")
        *replied = handlers.answer_catalogue_request(service_socket, peer);
    // Codes 2, 3 and 4 and any other code lead to no work.
    return read_tag(text, cursor) == "/Msg" ? message_handled : message_bad_envelope;
}

// ChView: the channel name is the text right after the opening tag, read again from the start.
static std::size_t handle_channel_view(const message_handlers& handlers, std::string_view text,
                                       socket_handle service_socket, const sockaddr_in& peer)
{
    std::int32_t cursor = 0;
    read_tag(text, cursor);
    std::string channel_name = read_text(text, cursor);
    return handlers.answer_channel_join(service_socket, peer, channel_name);
}

bool is_rtp_packet_message(std::string_view text)
{
    std::int32_t cursor = 0;
    return read_tag(text, cursor) == "RTPPacket";
}

bool draws_reply(std::string_view text)
{
    std::int32_t cursor = 0;
    std::string type = read_tag(text, cursor);
    return type == "ChView" || (type == "Msg" && read_text(text, cursor) == "1");
}

int handle_message(const message_handlers& handlers, const unsigned char* buffer, std::size_t received,
                   socket_handle service_socket, const sockaddr_in& peer, std::size_t* replied)
{
    std::size_t reply_bytes = 0;
    std::string_view text = message_text(buffer, received);
    std::int32_t cursor = 0;
    std::string type = read_tag(text, cursor);

    // Every message gets its own relay socket, endpoint and packet copy, before its type is
    // looked at, and gives them up on every path. The endpoint's compiled-in address is
    // converted once; the copy lives on the stack.
    static const sockaddr_in relay_listener = make_ipv4_address(relay_listener_host, relay_listener_port);
    socket_handle relay_socket = open_udp_socket();
    sockaddr_in relay_endpoint = relay_listener;
    unsigned char packet_copy[rtp_packet_size];

    int status = message_handled;
    if (type == "Msg")
        status = handle_envelope(handlers, text, cursor, service_socket, peer, &reply_bytes);
    else if (type == "ChView")
        reply_bytes = handle_channel_view(handlers, text, service_socket, peer);
    else if (type == "RTPPacket")
        handlers.relay_rtp_packet(buffer, received, relay_socket, relay_endpoint, packet_copy);
    // ChRequest, Channels, ChInfos, Neighbors, UpdatePeers and anything else: no work.

    close_socket(relay_socket);
    if (replied)
        *replied = reply_bytes;
    return status;
}
