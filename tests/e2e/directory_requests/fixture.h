// The directory's requests run in the test's own process against the private directory
// server: replies caught on a real UDP socket and on a real stream, operator notices counted
// through the notice seam, the tables read back as the admin.
#pragma once

#include "directory.h"
#include "directory_fixture.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <string>
#include <vector>

// The test program links with --wrap=mysql_init: while set, every handle is refused.
extern bool refuse_handles;
// Operator notices shown since the test began.
extern int notices;

struct peer_socket {
    int fd = -1;
    sockaddr_in address{};
};

// An empty directory, the service's UDP socket, and a connected stream whose far end the test
// reads, as quorvane_tcp's connection to the tracker host.
class DirectoryRequests : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    peer_socket open_peer(const char* address);
    // Requests complete before they return: a reply is already queued, or none came.
    std::string reply_to(const peer_socket& peer);
    std::string catalogue(const peer_socket& peer);
    std::string join(const peer_socket& peer, const std::string& channel);
    std::string join_registering_first(const peer_socket& peer, const std::string& channel);
    // Everything that arrives on the stream up to and including a NUL.
    std::string read_document();
    std::string join_on_stream(const std::string& channel);
    bool nothing_on_stream();
    void add_group(int key, const std::string& name);
    void add_channel(int key, const std::string& name, const std::string& group);
    std::string count(const std::string& where);

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
    void SetUp() override;
};

// The Neighbor element of a peer, and the Neighbors document of elements.
std::string neighbor(const peer_socket& peer, const std::string& name = "");
std::string neighbors(const std::string& elements);
