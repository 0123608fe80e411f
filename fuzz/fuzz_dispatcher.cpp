// Fuzzes handle_message with whole messages, as the service loop hands them over, and
// handlers that record what the dispatcher asked of them.
#include "protocol.h"
#include "rtp_trace.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct calls {
    int catalogue = 0;
    int joins = 0;
    int relays = 0;
    std::string channel_name;
    socket_handle relay_socket = invalid_socket;
};

calls made;

void check(bool holds)
{
    if (!holds)
        std::abort();
}

// The bytes from `from` up to the next `close`, or to the end of the text.
std::string_view up_to(std::string_view text, std::size_t from, char close)
{
    return text.substr(from, text.find(close, from) - from);
}

// The message type as a peer means it: the bytes between the first '<' and the '>' after it.
std::string_view first_tag(std::string_view text)
{
    std::size_t open = text.find('<');
    return open == std::string_view::npos ? std::string_view() : up_to(text, open + 1, '>');
}

// The code of a Msg envelope: the text right after its tag.
std::string_view envelope_code(std::string_view text)
{
    std::size_t tag_end = text.find('>', text.find('<'));
    return tag_end == std::string_view::npos ? std::string_view() : up_to(text, tag_end + 1, '<');
}

std::size_t record_catalogue_request(socket_handle, const sockaddr_in&)
{
    ++made.catalogue;
    return 100;
}

std::size_t record_channel_join(socket_handle, const sockaddr_in&, const std::string& channel_name)
{
    ++made.joins;
    made.channel_name = channel_name;
    return 200;
}

void record_relay(const unsigned char* message, std::size_t received, socket_handle relay_socket,
                  const sockaddr_in&, unsigned char* packet_copy)
{
    ++made.relays;
    made.relay_socket = relay_socket;
    // The real relay reads message bytes 11 to 1341 and fills the whole packet copy.
    unsigned char window[rtp_window_size];
    read_packet_window(message, received, window);
    std::memcpy(packet_copy, window, rtp_packet_size);
}

const message_handlers recording_handlers = {record_catalogue_request, record_channel_join, record_relay};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // As the service loop does: at most 1342 bytes, the rest of the buffer cleared.
    std::size_t received = size < max_message_size ? size : max_message_size;
    auto* buffer = static_cast<unsigned char*>(std::calloc(receive_buffer_size, 1));
    std::copy_n(data, received, buffer);
    made = calls{};
    sockaddr_in peer = make_ipv4_address("127.0.0.2", 4000);

    std::size_t replied = 0;
    int status = handle_message(recording_handlers, buffer, received, 3, peer, &replied);

    std::string_view text = message_text(buffer, received);
    std::string_view type = first_tag(text);
    check(made.catalogue + made.joins + made.relays <= 1);
    check(made.catalogue == (type == "Msg" && envelope_code(text) == "1" ? 1 : 0));
    check(made.joins == (type == "ChView" ? 1 : 0));
    check(made.relays == (type == "RTPPacket" ? 1 : 0));
    // The reply budget's view: known before handling, and the bytes sent handed back.
    check(draws_reply(text) == (made.catalogue + made.joins == 1));
    check(replied == (made.catalogue ? 100u : made.joins ? 200u : 0u));
    check(status == message_handled || (status == message_bad_envelope && type == "Msg"));
    if (made.joins) {
        // The name is text of this message: no '<', no NUL, nothing past the received bytes.
        check(made.channel_name.find('<') == std::string::npos);
        check(text.find(made.channel_name) != std::string_view::npos);
    }
    // Every path gives up the relay socket.
    if (made.relays)
        check(made.relay_socket == invalid_socket || fcntl(made.relay_socket, F_GETFD) == -1);
    std::free(buffer);
    return 0;
}
