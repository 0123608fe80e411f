// quorvane's UDP service: what the deployment chooses, the socket on port 8848 and its
// receive loop, which answers each sender within its reply budget.
#pragma once

#include "protocol.h"
#include "reply_budget.h"

#include <string>

// What a deployment chooses for one quorvane, from its environment; main reads the values
// once and hands them down. The program takes no arguments and reads no file.
constexpr char workers_variable[] = "QUORVANE_WORKERS";
constexpr char reply_rate_variable[] = "QUORVANE_REPLY_RATE";
constexpr char reply_burst_variable[] = "QUORVANE_REPLY_BURST";
constexpr int max_workers = 64;

struct tracker_settings {
    int workers = 0;  // 0: the program serves the port alone
    reply_budget_settings budget;
};

// Judges the environment's values, each null or empty where unset: QUORVANE_WORKERS a count
// from 1 to 64, QUORVANE_REPLY_RATE bytes a second or "off", QUORVANE_REPLY_BURST bytes.
// Returns 0, or -1 with the one line for the operator in *error.
int read_tracker_settings(const char* workers, const char* reply_rate, const char* reply_burst,
                          tracker_settings* settings, std::string* error);

// Opens the service socket bound to every interface on port 8848, alone (workers 0) or as one
// of that many workers; on failure writes one error line to standard error and returns
// invalid_socket.
socket_handle open_service_socket(int workers);

// Receives, prints and dispatches datagrams one at a time to handlers, forever; requests that
// draw a reply are answered only within the budget.
[[noreturn]] void serve_datagrams(socket_handle service_socket, const message_handlers& handlers,
                                  reply_budget* budget);
