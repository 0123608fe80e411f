// quorvane_peer: checks a live tracker the way a peer talks to it. One request and its reply
// over UDP (catalogue, join), RTP packets from a file, or the tracker host for quorvane_tcp.
#include "peer_tool.h"

#include "settings.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

static const char usage_text[] =
    "usage: quorvane_peer [OPTIONS] catalogue HOST\n"
    "       quorvane_peer [OPTIONS] join HOST CHANNEL\n"
    "       quorvane_peer [OPTIONS] rtp HOST FILE       FILE: whole 1328-byte RTP packets; '-' reads stdin\n"
    "       quorvane_peer [OPTIONS] host [MESSAGE...]   no MESSAGE: one message per line of stdin\n"
    "options:\n"
    "  --raw           write each reply exactly as received, its NUL byte included\n"
    "  --timeout SECS  wait this long for each reply (default 3)\n"
    "  --from ADDR     send from this local IPv4 address; host: listen on it (default: any)\n"
    "  --port PORT     the tracker's port, UDP or, for host, TCP (default 8848)\n"
    "  --interval MS   rtp: the pause between packets (default 10)\n"
    "  --wait SECS     host: wait this long for quorvane_tcp to connect (default 60)\n"
    "  --time          catalogue, join: also write the reply's size and round-trip time to stderr\n"
    "exit status: 0 done, every reply whole; 1 usage or local failure; 2 no reply; 3 malformed reply\n";

static bool write_raw = false;
static bool show_time = false;

static int fail(int status, const std::string& reason)
{
    std::fprintf(stderr, "quorvane_peer: %s\n", reason.c_str());
    return status;
}

static int usage(const std::string& reason)
{
    std::fprintf(stderr, "quorvane_peer: %s\n%s", reason.c_str(), usage_text);
    return peer_failed;
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

// A number within [low, high], written whole; scaled by `scale` (seconds to milliseconds).
static bool parse_number(const std::string& text, double low, double high, double scale, int* value)
{
    char* end = nullptr;
    double number = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(number >= low && number <= high))
        return false;
    *value = static_cast<int>(std::lround(number * scale));
    return true;
}

struct command_line {
    peer_options options;
    int port = tracker_service_port;
    std::vector<std::string> words;  // the command and its arguments
};

// Reads the option's value into `options`; false with a reason when it is not valid.
static bool take_option(const std::string& name, const std::string& value, command_line* line, std::string* error)
{
    peer_options& options = line->options;
    bool valid = true;
    if (name == "--timeout")
        valid = parse_number(value, 0.001, 3600, 1000, &options.timeout_ms);
    else if (name == "--wait")
        valid = parse_number(value, 0.001, 86400, 1000, &options.wait_ms);
    else if (name == "--interval")
        valid = parse_number(value, 0, 60000, 1, &options.interval_ms);
    else if (name == "--port")
        valid = parse_number(value, 1, 65535, 1, &line->port) && value.find('.') == std::string::npos;
    else if (name == "--from")
        valid = resolve_ipv4(value, &options.local.sin_addr);
    else {
        *error = "unknown option " + name;
        return false;
    }
    if (!valid)
        *error = "not a valid " + name + ": '" + value + "'";
    return valid;
}

static bool parse_command_line(int argc, char** argv, command_line* line, std::string* error)
{
    line->options.local = make_any_address(0);
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (options_end || word.size() < 2 || word.compare(0, 2, "--") != 0) {
            line->words.push_back(word);
        } else if (word == "--") {
            options_end = true;
        } else if (word == "--raw") {
            write_raw = true;
        } else if (word == "--time") {
            show_time = true;
        } else if (word == "--help") {
            std::fputs(usage_text, stdout);
            std::exit(peer_ok);
        } else if (i + 1 >= argc) {
            *error = "option " + word + " needs a value";
            return false;
        } else if (!take_option(word, argv[++i], line, error)) {
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

static bool read_file(const std::string& path, std::string* bytes)
{
    if (path == "-") {
        bytes->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return !std::cin.bad();
    }
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

static int send_packet_file(const peer_options& options, const std::string& path)
{
    std::string bytes, error;
    if (!read_file(path, &bytes))
        return fail(peer_failed, "cannot read " + path);
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
