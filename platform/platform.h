// The thin platform layer: socket start-up, the socket operations the programs use,
// console output and the operator notice. It reports failures; callers decide.
#pragma once

// socket_handle, invalid_socket and sockaddr_in: the backend's own, found by include path.
#include "system_sockets.h"

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::uint16_t sockets_version_1_1 = 0x0101;

// Largest UDP payload over IPv4.
constexpr std::size_t max_datagram_size = 65507;

// Start-up and clean-up keep the version handshake of the original design:
// returns 0 and the granted version, or non-zero when sockets cannot be started.
int start_sockets(std::uint16_t requested_version, std::uint16_t* granted_version);
void stop_sockets();
bool is_version_1_1(std::uint16_t version);
// Asks for version 1.1 and accepts nothing else: false when sockets cannot be started
// (clean-up already done where start-up succeeded with another version).
bool start_sockets_version_1_1();

socket_handle open_udp_socket();
socket_handle open_tcp_socket();
void close_socket(socket_handle socket);  // ignores invalid_socket

// Binds to every local IPv4 interface; returns 0 or the system's error number.
int bind_to_any(socket_handle socket, std::uint16_t port);
// A UDP socket bound to every interface on port; invalid_socket and the error number on failure.
socket_handle open_bound_udp_socket(std::uint16_t port, int* error);
// One of a group of UDP sockets sharing port on every interface, where the system forms
// such groups (Linux's SO_REUSEPORT; elsewhere the error is that of an unsupported operation).
// Every datagram of one source IPv4 address goes to the same socket of the group, the one at
// (address mod group_size) in the order of joining, for as long as the group keeps its
// group_size sockets. invalid_socket and the error number on failure.
socket_handle open_steered_udp_socket(std::uint16_t port, int group_size, int* error);
// A short English description of a socket error number, "Address already in use" and the like.
std::string error_text(int error);
// Called after each failed receive with the count of failures in a row: a socket that keeps
// failing must not make its loop spin.
void pause_after_receive_failures(int consecutive_failures);
// Short sleeps last as long as asked, not the default timer slack of 50 us longer: the
// directory's client library pauses 1 us inside every connect, which would otherwise add
// some 50 us to every directory request.
void use_precise_timers();
// Buffer sizes return 0, or -1 when the system refused them.
int set_send_buffer_size(socket_handle socket, int bytes);
int set_receive_buffer_size(socket_handle socket, int bytes);
// The largest receive queue up to `bytes` that the system grants, beyond its usual cap where
// the process is privileged to; -1 when even the ordinary request failed.
int enlarge_receive_queue(socket_handle socket, int bytes);
int connect_to(socket_handle socket, const sockaddr_in& address);

// Receives return the byte count, 0 for an orderly stream end, or -1.
long receive_stream(socket_handle socket, void* buffer, std::size_t capacity);
long receive_datagram(socket_handle socket, void* buffer, std::size_t capacity, sockaddr_in* sender);
long send_datagram(socket_handle socket, const void* bytes, std::size_t length, const sockaddr_in& to);

bool is_stream_socket(socket_handle socket);
// Sends a reply document: one datagram on a UDP socket; on a connected stream socket
// every byte goes onto the connection (partial sends continued) and the address is ignored.
// Returns 0 when everything left, -1 otherwise.
int send_reply(socket_handle socket, const void* bytes, std::size_t length, const sockaddr_in& to);

sockaddr_in make_ipv4_address(const char* dotted_quad, std::uint16_t port);
sockaddr_in make_any_address(std::uint16_t port);
// Dotted-quad text of the address, 7 to 15 characters.
std::string address_text(const sockaddr_in& address);
// The address's IPv4 address in host byte order, its first octet in the high byte.
std::uint32_t address_number(const sockaddr_in& address);
// The address's port in host byte order.
std::uint16_t port_number(const sockaddr_in& address);

// The first call of every program, before anything opens a descriptor: descriptors 0 to 2
// are made open (on the null device where they were closed), so that no socket takes the
// place of one and gets what is meant for the console; and a console that has gone away
// (a pipe whose reader ended) costs the lines written to it, nothing else.
void prepare_console();
// Writes bytes to standard output at once, unbuffered: callers hand over whole lines.
// Standard output is written only through these operations.
void write_console(const char* bytes, std::size_t length);
// Leaves a line waiting, to go out with the next write_console, in the same write, or
// with flush_console. The bytes must stay as they are until then.
void queue_console(const char* bytes, std::size_t length);
void flush_console();
// The per-datagram console line "<dotted quad> say : <text>" and its line break, built in
// line_buffer; text that would not fit in line_buffer is cut. Returns the line's length.
std::size_t format_say_line(char* line_buffer, std::size_t capacity, const sockaddr_in& sender, const char* text,
                            std::size_t text_length);
// The same line, written whole.
void write_say_line(char* line_buffer, std::size_t capacity, const sockaddr_in& sender, const char* text,
                    std::size_t text_length);

// The operator notice on a directory failure: one line on standard error, then the modal
// notice itself: on Windows a message box, elsewhere a wait for Enter when standard input is
// a terminal. Tests may point it elsewhere to count.
extern void (*operator_notice)();
void show_operator_notice();
