// The ports the programs meet on. Apart from the rest of the protocol, so that halvering,
// which only listens, needs nothing else of it.
#pragma once

#include <cstdint>

constexpr std::uint16_t tracker_service_port = 8848;  // UDP, quorvane
constexpr std::uint16_t tracker_host_port = 8848;     // TCP, quorvane_tcp connects to it
constexpr std::uint16_t relay_listener_port = 1234;   // UDP, halvering
