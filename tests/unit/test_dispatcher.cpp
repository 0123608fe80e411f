// The dispatcher, handed recording handlers: what it calls for each message, with what.
#include "e2e_support.h"
#include "protocol.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

struct dispatch_record {
    int catalogue_requests = 0;
    std::vector<std::string> channel_joins;
    int relays = 0;
    std::size_t relay_received = 0;
    bool relay_socket_is_udp = false;
    sockaddr_in relay_endpoint{};
    bool packet_copy_given = false;
    socket_handle last_socket = invalid_socket;
    sockaddr_in last_peer{};
};

static dispatch_record dispatched;

// The sizes the recording handlers claim to have sent, told apart by the dispatcher's caller.
constexpr std::size_t catalogue_reply_bytes = 4321;
constexpr std::size_t join_reply_bytes = 987;

static std::size_t record_catalogue_request(socket_handle service_socket, const sockaddr_in& peer)
{
    dispatched.catalogue_requests++;
    dispatched.last_socket = service_socket;
    dispatched.last_peer = peer;
    return catalogue_reply_bytes;
}

static std::size_t record_channel_join(socket_handle service_socket, const sockaddr_in& peer,
                                       const std::string& channel)
{
    dispatched.channel_joins.push_back(channel);
    dispatched.last_socket = service_socket;
    dispatched.last_peer = peer;
    return join_reply_bytes;
}

static void record_relay(const unsigned char*, std::size_t received, socket_handle relay_socket,
                         const sockaddr_in& relay_endpoint, unsigned char* packet_copy)
{
    dispatched.relays++;
    dispatched.relay_received = received;
    dispatched.relay_endpoint = relay_endpoint;
    dispatched.packet_copy_given = packet_copy != nullptr;
    int type = 0;
    socklen_t length = sizeof type;
    dispatched.relay_socket_is_udp =
        getsockopt(relay_socket, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_DGRAM;
}

static const message_handlers recording_handlers = {record_catalogue_request, record_channel_join, record_relay};

// Every message dispatched here also checks what the service loop's reply budget relies on:
// draws_reply tells in advance whether a handler that answers is called, and the bytes it
// sent come back to the caller.
static int dispatch(const std::string& message, socket_handle service_socket = 7)
{
    dispatched = dispatch_record{};
    sockaddr_in peer = make_ipv4_address("127.0.0.9", 4000);
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    std::size_t replied = 1;
    int status = handle_message(recording_handlers, bytes, message.size(), service_socket, peer, &replied);
    std::size_t answered = dispatched.channel_joins.size() + static_cast<std::size_t>(dispatched.catalogue_requests);
    EXPECT_EQ(draws_reply(message_text(bytes, message.size())), answered == 1) << message;
    EXPECT_EQ(replied, dispatched.catalogue_requests == 1 ? catalogue_reply_bytes
                       : answered == 1                    ? join_reply_bytes
                                                          : 0u)
        << message;
    return status;
}

TEST(Dispatcher, CatalogueRequestIsAnsweredOnceToTheSender)
{
    EXPECT_EQ(dispatch("<Msg>1</Msg>", 11), 0);
    EXPECT_EQ(dispatched.catalogue_requests, 1);
    EXPECT_EQ(dispatched.last_socket, 11);
    EXPECT_EQ(address_text(dispatched.last_peer), "127.0.0.9");
    EXPECT_EQ(ntohs(dispatched.last_peer.sin_port), 4000);
    // Only the first tag of a unit counts: two requests together are answered once.
    EXPECT_EQ(dispatch("<Msg>1</Msg><Msg>1</Msg>"), 0);
    EXPECT_EQ(dispatched.catalogue_requests, 1);
    EXPECT_EQ(dispatch(std::string("<Msg>1</Msg>\0<garbage", 21)), 0);
    EXPECT_EQ(dispatched.catalogue_requests, 1);
}

TEST(Dispatcher, EnvelopeStatusFollowsTheClosingTag)
{
    EXPECT_EQ(dispatch("<Msg>1"), -1);
    EXPECT_EQ(dispatched.catalogue_requests, 1);  // answered all the same
    EXPECT_EQ(dispatch("<Msg>2</Msgs>"), -1);
    EXPECT_EQ(dispatched.catalogue_requests, 0);
    for (const char* quiet : {"<Msg>2</Msg>", "<Msg>3</Msg>", "<Msg>4</Msg>", "<Msg> 1</Msg>", "<Msg>1 </Msg>"}) {
        EXPECT_EQ(dispatch(quiet), 0) << quiet;
        EXPECT_EQ(dispatched.catalogue_requests, 0) << quiet;
    }
}

TEST(Dispatcher, ChannelJoinPassesTheExactName)
{
    EXPECT_EQ(dispatch("<ChView>Sports One</ChView>"), 0);
    ASSERT_EQ(dispatched.channel_joins.size(), 1u);
    EXPECT_EQ(dispatched.channel_joins[0], "Sports One");
    dispatch("junk<ChView>no closing tag \"'\\");
    ASSERT_EQ(dispatched.channel_joins.size(), 1u);
    EXPECT_EQ(dispatched.channel_joins[0], "no closing tag \"'\\");
    dispatch("<ChView></ChView>");
    ASSERT_EQ(dispatched.channel_joins.size(), 1u);
    EXPECT_EQ(dispatched.channel_joins[0], "");
}

TEST(Dispatcher, RtpPacketIsRelayedWithFreshResources)
{
    std::string message = "<RTPPacket>" + std::string(1328, '\x80');
    EXPECT_EQ(dispatch(message), 0);
    EXPECT_EQ(dispatched.relays, 1);
    EXPECT_EQ(dispatched.relay_received, message.size());
    EXPECT_TRUE(dispatched.relay_socket_is_udp);
    EXPECT_TRUE(dispatched.packet_copy_given);
    EXPECT_EQ(address_text(dispatched.relay_endpoint), "127.0.0.1");
    EXPECT_EQ(ntohs(dispatched.relay_endpoint.sin_port), 1234);
    EXPECT_EQ(dispatched.relay_endpoint.sin_family, AF_INET);
    // Bytes ahead of the tag do not stop the relay.
    dispatch("x<RTPPacket>");
    EXPECT_EQ(dispatched.relays, 1);
}

TEST(Dispatcher, OtherTypesAndMalformedMessagesDoNothing)
{
    for (const char* ignored : {"<ChRequest>x</ChRequest>", "<Channels>", "<ChInfos>", "<Neighbors>",
                                "<UpdatePeers>", "<msg>1</msg>", "<MSG>1</MSG>", "<chview>a", "<Msg >1</Msg>",
                                "no tag at all", "", "<", ">", "<RTPPacket >"}) {
        EXPECT_EQ(dispatch(ignored), 0) << ignored;
        EXPECT_EQ(dispatched.catalogue_requests, 0) << ignored;
        EXPECT_TRUE(dispatched.channel_joins.empty()) << ignored;
        EXPECT_EQ(dispatched.relays, 0) << ignored;
    }
}

TEST(Dispatcher, EveryPathReleasesItsRelaySocket)
{
    int before = open_descriptor_count(getpid());
    for (int i = 0; i < 2000; ++i) {
        dispatch("<Msg>2</Wrong>");
        dispatch("<RTPPacket>");
        dispatch("<ChView>a");
        dispatch("nothing");
    }
    EXPECT_EQ(open_descriptor_count(getpid()), before);
}
