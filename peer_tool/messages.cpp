// The wire messages a peer sends, exactly as the tracker reads them.
#include "peer_tool.h"

#include "protocol.h"

// The first tag's name and the text right after it, scanned as the tracker does: from the
// first '<' to the next '>', then up to the next '<'; the text ends at the first NUL.
static std::string_view first_tag(std::string_view text, std::size_t* after)
{
    std::size_t open = text.find('<');
    if (open == std::string_view::npos)
        return {};
    std::size_t close = text.find('>', open + 1);
    if (close == std::string_view::npos)
        close = text.size();
    *after = close + 1 < text.size() ? close + 1 : text.size();
    return text.substr(open + 1, close - open - 1);
}

int expected_reply(std::string_view message)
{
    std::string_view text = message.substr(0, message.find('\0'));
    std::size_t after = 0;
    std::string_view type = first_tag(text, &after);
    if (type == "ChView")
        return reply_neighbors;
    if (type == "Msg" && text.substr(after, text.find('<', after) - after) == "1")
        return reply_channels;
    return reply_none;
}

std::string catalogue_message()
{
    return "<Msg>1</Msg>";
}

int join_message(const std::string& channel_name, std::string* message, std::string* error)
{
    // The name runs to the next '<', and the tracker's text to the first NUL.
    if (channel_name.find_first_of(std::string("<\0", 2)) != std::string::npos) {
        *error = "a channel name cannot hold '<' or a NUL byte";
        return peer_failed;
    }
    std::string joined = "<ChView>" + channel_name + "</ChView>";
    if (joined.size() > max_message_size) {
        *error = "the message would be " + std::to_string(joined.size()) + " bytes; the tracker reads at most " +
                 std::to_string(max_message_size);
        return peer_failed;
    }
    *message = joined;
    return peer_ok;
}

int rtp_messages(const std::string& file_bytes, std::vector<std::string>* messages, std::string* error)
{
    if (file_bytes.empty() || file_bytes.size() % rtp_packet_size != 0) {
        *error = "a packet file holds whole " + std::to_string(rtp_packet_size) + "-byte packets; this one has " +
                 std::to_string(file_bytes.size()) + " bytes";
        return peer_failed;
    }
    messages->clear();
    for (std::size_t at = 0; at < file_bytes.size(); at += rtp_packet_size)
        messages->push_back("<RTPPacket>" + file_bytes.substr(at, rtp_packet_size));
    return peer_ok;
}

unsigned rtp_sequence_number(const std::string& message)
{
    if (message.size() < rtp_packet_offset + 4)
        return 0;
    auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(message[i])); };
    return byte(rtp_packet_offset + 2) << 8 | byte(rtp_packet_offset + 3);
}
