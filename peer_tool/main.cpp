// quorvane_peer: checks a live tracker the way a peer talks to it. One request and its reply
// over UDP (catalogue, join), RTP packets from a file, or the tracker host for quorvane_tcp.
#include "peer_tool.h"

#include "protocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>

static const char usage_text[] =
    "usage: quorvane_peer [OPTIONS] catalogue HOST\n"
    "       quorvane_peer [OPTIONS] join HOST CHANNEL\n"
    "       quorvane_peer [OPTIONS] rtp HOST FILE\n"
    "       quorvane_peer [OPTIONS] host [MESSAGE...]\n"
    "       quorvane_peer -h | --help | --version\n"
    "modes:\n"
    "  catalogue  ask HOST's tracker for the channel catalogue and print it\n"
    "  join       join CHANNEL: the tracker registers the asking host in it, retires every\n"
    "             earlier registration of that IPv4 address (any port, any channel), and\n"
    "             lists the peers registered there\n"
    "  rtp        send FILE, whole 1328-byte RTP packets, one RTPPacket message each; '-'\n"
    "             reads stdin\n"
    "  host       play the tracker host for quorvane_tcp: send each MESSAGE (none given: each\n"
    "             line of stdin) on its connection and print the replies\n"
    "options, as --NAME VALUE or --NAME=VALUE:\n"
    "  --raw           write each reply exactly as received, its NUL byte included\n"
    "  --timeout SECS  wait this long for each reply (default 3)\n"
    "  --from ADDR     send from this local IPv4 address; host: listen on it (default: any)\n"
    "  --port PORT     the tracker's port, UDP or, for host, TCP (default 8848)\n"
    "  --interval MS   rtp: the pause between packets (default 10)\n"
    "  --wait SECS     host: wait this long for quorvane_tcp to connect (default 60)\n"
    "  --time          catalogue, join: also write the reply's size and round-trip time to stderr\n"
    "  PORT and MS are digits; SECS are digits with at most one decimal point (0.5)\n"
    "exit status: 0 done, every reply whole; 1 usage or local failure; 2 no reply, or the\n"
    "tracker's network cannot be reached; 3 malformed reply\n";

static bool write_raw = false;
static bool show_time = false;

static int fail(int status, const std::string& reason)
{
    std::fprintf(stderr, "quorvane_peer: %s\n", reason.c_str());
    return status;
}

// A usage error: one line, pointing to the help rather than repeating it.
static int usage(const std::string& reason)
{
    return fail(peer_failed, reason + "; see quorvane_peer --help");
}

// Writes the reply, raw or indented, and checks it against what the message asked for.
static int print_reply(const std::string& reply, int kind)
{
    if (write_raw) {
        std::fwrite(reply.data(), 1, reply.size(), stdout);
    } else {
        std::string view = indented_document(reply);
        std::fwrite(view.data(), 1, view.size(), stdout);
    }
    std::fflush(stdout);
    if (kind == reply_none)
        return fail(peer_malformed, "a reply that no message asked for (" + std::to_string(reply.size()) + " bytes)");
    std::string fault = reply_fault(reply, kind);
    if (!fault.empty())
        return fail(peer_malformed, "malformed reply (" + std::to_string(reply.size()) + " bytes): " + fault);
    return peer_ok;
}

// A dotted quad, or a host name with an IPv4 address.
static bool resolve_ipv4(const std::string& host, in_addr* address)
{
    if (inet_pton(AF_INET, host.c_str(), address) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// A number within [low, high] written as digits, with at most one decimal point where
// `fraction` allows it: no sign, no exponent, no spaces. Scaled by `scale` (seconds to
// milliseconds).
static bool parse_number(const std::string& text, bool fraction, double low, double high, double scale, int* value)
{
    std::size_t digits = 0, points = 0;
    for (char c : text) {
        digits += c >= '0' && c <= '9';
        points += c == '.';
    }
    if (digits == 0 || digits + points != text.size() || points > (fraction ? 1u : 0u))
        return false;
    double number = std::strtod(text.c_str(), nullptr);
    if (!(number >= low && number <= high))
        return false;
    *value = static_cast<int>(std::lround(number * scale));
    return true;
}

struct command_line {
    peer_options options;
    int port = tracker_service_port;
    std::vector<std::string> words;  // the command and its arguments
};

struct number_option {
    const char* name;
    bool seconds;  // seconds may have a decimal point, and count as milliseconds
    double low, high;
    int* value;
};

// Reads the option's value into `line`; false with a reason when it is not valid.
static bool take_option(const std::string& name, const std::string& value, command_line* line, std::string* error)
{
    peer_options& options = line->options;
    if (name == "--from") {
        if (resolve_ipv4(value, &options.local.sin_addr))
            return true;
        *error = "not a valid --from: '" + value + "' (an IPv4 address or host name)";
        return false;
    }
    const number_option numbers[] = {{"--timeout", true, 0.001, 3600, &options.timeout_ms},
                                     {"--wait", true, 0.001, 86400, &options.wait_ms},
                                     {"--interval", false, 0, 60000, &options.interval_ms},
                                     {"--port", false, 1, 65535, &line->port}};
    const number_option* number = numbers;
    while (number < std::end(numbers) && name != number->name)
        ++number;
    if (number == std::end(numbers)) {
        *error = "unknown option '" + name + "'";
        return false;
    }
    if (parse_number(value, number->seconds, number->low, number->high, number->seconds ? 1000 : 1, number->value))
        return true;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%s, %g to %g", number->seconds ? "seconds" : "digits", number->low,
                  number->high);
    *error = "not a valid " + name + ": '" + value + "' (" + wanted + ")";
    return false;
}

static bool is_flag(const std::string& name)
{
    return name == "--raw" || name == "--time" || name == "--help" || name == "--version";
}

static bool takes_value(const std::string& name)
{
    return name == "--timeout" || name == "--wait" || name == "--interval" || name == "--port" || name == "--from";
}

// -h, --help and --version answer at once, whatever else the line holds.
static void set_flag(const std::string& name)
{
    if (name == "--help") {
        std::fputs(usage_text, stdout);
        std::exit(peer_ok);
    }
    if (name == "--version") {
        std::printf("quorvane_peer %s\n", QUORVANE_VERSION);
        std::exit(peer_ok);
    }
    if (name == "--raw")
        write_raw = true;
    else
        show_time = true;
}

// Options come before, between or after the words; "--" ends them.
static bool parse_command_line(int argc, char** argv, command_line* line, std::string* error)
{
    line->options.local = make_any_address(0);
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (!options_end && word == "-h")
            word = "--help";
        if (options_end || word.size() < 2 || word.compare(0, 2, "--") != 0) {
            line->words.push_back(word);
            continue;
        }
        if (word == "--") {
            options_end = true;
            continue;
        }
        std::size_t equals = word.find('=');
        std::string name = word.substr(0, equals);
        if (!is_flag(name) && !takes_value(name)) {
            *error = "unknown option '" + name + "'";
            return false;
        }
        if (is_flag(name) && equals != std::string::npos) {
            *error = "option '" + name + "' takes no value";
            return false;
        }
        if (is_flag(name)) {
            set_flag(name);
        } else if (equals == std::string::npos && i + 1 >= argc) {
            *error = "option '" + name + "' needs a value";
            return false;
        } else if (!take_option(name, equals == std::string::npos ? argv[++i] : word.substr(equals + 1), line, error)) {
            return false;
        }
    }
    return true;
}

static double now_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

static int ask_and_print(const peer_options& options, const std::string& message)
{
    std::string reply, error;
    double start = now_seconds();
    int status = ask_tracker(options, message, &reply, &error);
    double round_trip = now_seconds() - start;
    if (status != peer_ok)
        return fail(status, error);
    status = print_reply(reply, expected_reply(message));
    if (show_time)
        std::fprintf(stderr, "quorvane_peer: %zu bytes in %.3f ms\n", reply.size(), round_trip * 1000);
    return status;
}

// Reads the descriptor to its end; false with the reason.
static bool read_whole(int file, const std::string& path, std::string* bytes, std::string* error)
{
    char chunk[65536];
    for (;;) {
        ssize_t got = read(file, chunk, sizeof chunk);
        if (got == 0)
            return true;
        if (got > 0) {
            bytes->append(chunk, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
    }
}

// The whole of a regular file, or of standard input for "-"; false with the reason. A folder,
// a device or a FIFO is refused unread: a device may never end.
static bool read_file(const std::string& path, std::string* bytes, std::string* error)
{
    if (path == "-")
        return read_whole(STDIN_FILENO, path, bytes, error);
    // Non-blocking, so that opening a FIFO with no writer does not wait for one.
    int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    bool whole = false;
    if (fstat(file, &status) == 0 && !S_ISREG(status.st_mode))
        *error = path + ": not a regular file";
    else
        whole = read_whole(file, path, bytes, error);
    close(file);
    return whole;
}

static int send_packet_file(const peer_options& options, const std::string& path)
{
    std::string bytes, error;
    if (!read_file(path, &bytes, &error))
        return fail(peer_failed, error);
    std::vector<std::string> messages;
    if (rtp_messages(bytes, &messages, &error) != peer_ok)
        return fail(peer_failed, path + ": " + error);
    std::size_t sent = 0;
    int status = send_to_tracker(options, messages, &sent, &error);
    // RTPPacket messages get no reply: say what left, with the numbers the trace shows.
    for (std::size_t i = 0; i < sent; ++i)
        std::printf("packet %zu sent: sequence %u\n", i + 1, rtp_sequence_number(messages[i]));
    std::fflush(stdout);
    return status == peer_ok ? peer_ok : fail(status, error);
}

static std::vector<std::string> messages_from_input()
{
    std::vector<std::string> messages;
    std::string line;
    while (std::getline(std::cin, line))
        messages.push_back(line);
    return messages;
}

static int run_host(command_line* line)
{
    std::vector<std::string> messages(line->words.begin() + 1, line->words.end());
    if (messages.empty())
        messages = messages_from_input();
    std::string error;
    int status = play_tracker_host(line->options, messages, print_reply, &error);
    if (status == peer_no_reply || status == peer_failed)
        return fail(status, error);
    return status;
}

static int run_command(command_line* line)
{
    const std::vector<std::string>& words = line->words;
    if (words.empty())
        return usage("no command given");
    const std::string& command = words[0];
    line->options.local.sin_port = 0;
    if (command == "host") {
        line->options.local.sin_port = htons(static_cast<std::uint16_t>(line->port));
        return run_host(line);
    }
    std::size_t wanted = command == "catalogue" ? 2 : command == "join" || command == "rtp" ? 3 : 0;
    if (wanted == 0)
        return usage("unknown command '" + command + "'");
    if (words.size() != wanted)
        return usage(command + " takes " + std::to_string(wanted - 1) + " argument" + (wanted > 2 ? "s" : ""));
    in_addr host{};
    if (!resolve_ipv4(words[1], &host))
        return fail(peer_failed, "no IPv4 address for host '" + words[1] + "'");
    line->options.tracker = make_any_address(static_cast<std::uint16_t>(line->port));
    line->options.tracker.sin_addr = host;
    if (command == "catalogue")
        return ask_and_print(line->options, catalogue_message());
    if (command == "rtp")
        return send_packet_file(line->options, words[2]);
    std::string message, error;
    if (join_message(words[2], &message, &error) != peer_ok)
        return fail(peer_failed, error);
    return ask_and_print(line->options, message);
}

int main(int argc, char** argv)
{
    command_line line;
    std::string error;
    if (!parse_command_line(argc, argv, &line, &error))
        return usage(error);
    return run_command(&line);
}
