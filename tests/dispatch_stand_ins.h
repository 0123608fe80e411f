// What the dispatcher called, as seen by the recording stand-ins.
#pragma once

#include "platform.h"

#include <string>
#include <vector>

struct dispatch_record {
    int catalogue_requests = 0;
    std::vector<std::string> channel_joins;
    int relays = 0;
    const unsigned char* relay_message = nullptr;
    std::size_t relay_received = 0;
    socket_handle relay_socket = invalid_socket;
    bool relay_socket_is_udp = false;
    sockaddr_in relay_endpoint{};
    bool packet_copy_given = false;
    socket_handle last_socket = invalid_socket;
    sockaddr_in last_peer{};
};

extern dispatch_record dispatched;
