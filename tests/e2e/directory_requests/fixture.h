// The directory's requests run in the test's own process against the private directory
// server: replies caught on a real UDP socket and on a real stream, operator notices counted
// through the notice seam, the tables read back as the admin.
#pragma once

#include "directory.h"
#include "directory_fixture.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

// The test program links with --wrap=mysql_init (failures.cpp): while set, every handle is refused.
inline bool refuse_handles = false;

// Operator notices shown since the test began.
inline int notices = 0;
inline void count_notice()
{
    ++notices;
}

inline bool connect_stream(int* near_end, int* far_end)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = make_ipv4_address("127.0.0.1", 0);
    socklen_t length = sizeof local;
    bool listening = bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                     listen(listener, 1) == 0 && getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    *far_end = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listening && connect(*far_end, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
        *near_end = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    return *near_end >= 0;
}

struct peer_socket {
    int fd = -1;
    sockaddr_in address{};
};

// An empty directory, the service's UDP socket, and a connected stream whose far end the test
// reads, as quorvane_tcp's connection to the tracker host.
class DirectoryRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        admin = connect_as_admin();
        ASSERT_NE(admin, nullptr);
        clear_directory(admin);
        operator_notice = count_notice;
        notices = 0;
        service = bound_udp_socket("127.0.0.1", 0);
        ASSERT_GE(service, 0);
        ASSERT_TRUE(connect_stream(&stream, &far_end));
    }
    void TearDown() override
    {
        operator_notice = show_operator_notice;
        refuse_handles = false;
        for (const peer_socket& peer : peers)
            close(peer.fd);
        close(stream);
        close(far_end);
        close(service);
        if (admin)
            mysql_close(admin);
    }
    peer_socket open_peer(const char* address)
    {
        peer_socket peer;
        peer.fd = bound_udp_socket(address, 0);
        EXPECT_GE(peer.fd, 0);
        peer.address = make_ipv4_address(address, local_port(peer.fd));
        peers.push_back(peer);
        return peer;
    }
    // Requests complete before they return: a reply is already queued, or none came.
    std::string reply_to(const peer_socket& peer)
    {
        std::string reply;
        return receive_udp(peer.fd, &reply, 300) ? reply : no_reply;
    }
    std::string catalogue(const peer_socket& peer)
    {
        answer_catalogue_request(service, peer.address);
        return reply_to(peer);
    }
    std::string join(const peer_socket& peer, const std::string& channel)
    {
        join_channel_retiring_peer(service, peer.address, channel);
        return reply_to(peer);
    }
    std::string join_registering_first(const peer_socket& peer, const std::string& channel)
    {
        join_channel_registering_first(service, peer.address, channel);
        return reply_to(peer);
    }
    // Everything that arrives on the stream up to and including a NUL.
    std::string read_document()
    {
        std::string document;
        for (;;) {
            pollfd ready{far_end, POLLIN, 0};
            if (poll(&ready, 1, 2000) != 1)
                return document.empty() ? no_reply : document;
            char chunk[65536];
            ssize_t n = recv(far_end, chunk, sizeof chunk, 0);
            if (n <= 0)
                return document;
            document.append(chunk, static_cast<std::size_t>(n));
            if (document.back() == '\0')
                return document;
        }
    }
    std::string join_on_stream(const std::string& channel)
    {
        join_channel_registering_first(stream, tracker_host, channel);
        return read_document();
    }
    bool nothing_on_stream()
    {
        pollfd ready{far_end, POLLIN, 0};
        return poll(&ready, 1, 100) == 0;
    }
    void add_group(int key, const std::string& name)
    {
        run_admin_sql(admin, "insert into p2pdb.`group` values (" + std::to_string(key) + "," + hex_literal(name) + ")");
    }
    void add_channel(int key, const std::string& name, const std::string& group)
    {
        run_admin_sql(admin, "insert into p2pdb.Channel values (" + std::to_string(key) + "," + hex_literal(name) + "," +
                                 group + ")");
    }
    std::string count(const std::string& where)
    {
        return admin_value(admin, "select count(*) from p2pdb.userlist where " + where);
    }

    MYSQL* admin = nullptr;
    int service = -1;
    int stream = -1;
    int far_end = -1;
    sockaddr_in tracker_host = make_ipv4_address("127.0.0.1", 8848);
    std::vector<peer_socket> peers;
};

// The same with group 1 "Music" holding channel 6 "Jazz Lounge".
class JoinRequests : public DirectoryRequests {
protected:
    void SetUp() override
    {
        DirectoryRequests::SetUp();
        if (HasFatalFailure())
            return;
        add_group(1, "Music");
        add_channel(6, "Jazz Lounge", "1");
    }
};

// The Neighbor element of a peer, and the Neighbors document of elements.
inline std::string neighbor(const peer_socket& peer, const std::string& name = "")
{
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.address.sin_addr, address, sizeof address);
    return std::string("<Neighbor><IPv4>") + address + "</IPv4><port>" + std::to_string(ntohs(peer.address.sin_port)) +
           "</port><name>" + name + "</name></Neighbor>";
}

inline std::string neighbors(const std::string& elements)
{
    return "<Neighbors>" + elements + "</Neighbors>" + '\0';
}
