// quorvane_load: the load generator of the bench. It plays the peers of the tracker on
// 127.0.0.1:8848 and, for the relay, the relay listener on 127.0.0.1:1234, and prints one
// result line ("key=value ...") for bench/run.sh.
//
//   quorvane_load catalogue SECONDS     closed loop of "<Msg>1</Msg>" requests
//   quorvane_load join SECONDS [NET]    closed loop of ChView joins from rotating peers,
//                                       NET.2 to NET.201 (NET 127.0.0 by default)
//   quorvane_load join_one SECONDS CHANNEL
//                                       the same into one channel, after one untimed join
//                                       of each peer; every reply a whole Neighbors document
//   quorvane_load join_from COUNT ADDRESS [FRESH]
//                                       COUNT joins from one socket of ADDRESS over the
//                                       sample channels; with FRESH, each followed by a join
//                                       from FRESH into the same channel (fresh_p50_ms)
//   quorvane_load spread COUNT RATE CHANNEL PEERS FIRST
//                                       COUNT joins into CHANNEL at RATE a second, each from a
//                                       fresh address (127.100.0.1 on); how the lists spread
//                                       over the channel's PEERS registrations, of which FIRST
//                                       are from 1.0.x.y
//   quorvane_load relay SECONDS [N]     RTPPacket messages, at most N unforwarded at a time
//   quorvane_load paced RATE SECONDS    RTPPacket messages at a fixed rate per second
//   quorvane_load mixed COUNT           catalogue, joins, packets and ignored messages
//   quorvane_load catalogue_loops|join_loops SECONDS LOOPS
//                                       LOOPS closed loops at once, each from addresses of
//                                       its own, so that workers steered by address share them
//   quorvane_load flood catalogue|join|none RATE SECONDS NET COUNT CHANNEL
//                                       forged requests at RATE a second in all from NET.1 to
//                                       NET.COUNT, the shortest that draw a catalogue or a join
//                                       into CHANNEL: the reply bytes that land on their
//                                       sockets a second; meanwhile a join into CHANNEL every
//                                       50 ms, each from a network of its own (127.60.n.n+1).
//                                       Both counted over the last two thirds of the run
//   quorvane_load honest SECONDS CHANNEL
//                                       within SECONDS, 200 peers each from a network of its
//                                       own (127.70.n.n+1), 20 behind one address (127.71.0.1)
//                                       and 50 of one /24 (127.72.0.n), each asking the
//                                       catalogue and joining CHANNEL: the replies that come whole
#include "bench_support.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

constexpr int reply_timeout_ms = 1000;
constexpr std::size_t packet_size = 1328;
constexpr std::size_t largest_reply = 70000;
constexpr int relay_listener_receive_buffer = 4 << 20;

static const sockaddr_in tracker = loopback_address("127.0.0.1", 8848);

static bool send_message(int s, const std::string& message)
{
    return sendto(s, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&tracker),
                  sizeof tracker) == static_cast<ssize_t>(message.size());
}

// A reply that came after its request had timed out must not answer the next request.
static void drop_late_replies(int s)
{
    char scrap[largest_reply];
    while (recv(s, scrap, sizeof scrap, MSG_DONTWAIT) >= 0) {
    }
}

// Request sockets wait for a reply in recv itself, one system call per reply.
static int request_socket(const char* dotted_quad)
{
    int s = bound_udp_socket(dotted_quad, 0, 0);
    timeval timeout{reply_timeout_ms / 1000, reply_timeout_ms % 1000 * 1000};
    if (s >= 0)
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return s;
}

// 1: a reply beginning with `expected` (and, where `expected_end` is given, ending with it
// and the NUL); 0: no reply in time; -1: some other reply. Its bytes go to `document`, if given.
static int await_reply(int s, const char* expected, const char* expected_end, std::string* document)
{
    static thread_local char reply[largest_reply];
    ssize_t length;
    do
        length = recv(s, reply, sizeof reply, 0);
    while (length < 0 && errno == EINTR);
    if (length < 0)
        return 0;
    if (document)
        document->assign(reply, static_cast<std::size_t>(length));
    std::size_t expected_length = std::strlen(expected);
    if (length < static_cast<ssize_t>(expected_length) || std::memcmp(reply, expected, expected_length) != 0)
        return -1;
    if (!expected_end)
        return 1;
    std::size_t end_length = std::strlen(expected_end) + 1;
    std::size_t whole = static_cast<std::size_t>(length);
    return whole >= expected_length + end_length &&
                   std::memcmp(reply + whole - end_length, expected_end, end_length) == 0
               ? 1
               : -1;
}

struct request_tally {
    std::vector<double> latencies_ms;
    long timeouts = 0;
    long errors = 0;
    bool late_reply_possible = false;
};

static void ask(int s, const std::string& message, const char* expected, request_tally* tally,
                const char* expected_end = nullptr, std::string* document = nullptr)
{
    if (tally->late_reply_possible)
        drop_late_replies(s);
    double start = now_seconds();
    send_message(s, message);
    int outcome = await_reply(s, expected, expected_end, document);
    if (outcome == 0) {
        ++tally->timeouts;
        tally->late_reply_possible = true;
        return;
    }
    if (outcome < 0)
        ++tally->errors;
    tally->latencies_ms.push_back((now_seconds() - start) * 1000);
}

static std::string join_message(long request)
{
    return "<ChView>" + sample_channels[static_cast<std::size_t>(request) % sample_channels.size()] + "</ChView>";
}

static bool open_join_peers(std::vector<int>* peers)
{
    for (int peer = 0; peer < join_peer_count; ++peer) {
        int s = request_socket(join_peer_address(peer).c_str());
        if (s < 0)
            return false;
        peers->push_back(s);
    }
    return true;
}

static int run_catalogue(double seconds)
{
    int s = request_socket("127.0.0.1");
    if (s < 0)
        return 1;
    request_tally tally;
    double start = now_seconds();
    while (now_seconds() - start < seconds)
        ask(s, "<Msg>1</Msg>", "<Channels>", &tally);
    print_request_result(now_seconds() - start, tally.latencies_ms, tally.timeouts, tally.errors);
    return 0;
}

static int run_join(double seconds)
{
    std::vector<int> peers;
    if (!open_join_peers(&peers))
        return 1;
    request_tally tally;
    double start = now_seconds();
    for (long request = 0; now_seconds() - start < seconds; ++request)
        ask(peers[static_cast<std::size_t>(request % join_peer_count)], join_message(request), "<Neighbors>",
            &tally);
    print_request_result(now_seconds() - start, tally.latencies_ms, tally.timeouts, tally.errors);
    return 0;
}

static int run_join_one(double seconds, const std::string& channel)
{
    std::vector<int> peers;
    if (!open_join_peers(&peers))
        return 1;
    std::string message = "<ChView>" + channel + "</ChView>";
    request_tally tally;
    // Every peer registered once beforehand: each timed join then retires one row, whatever
    // was measured before.
    for (int peer : peers)
        ask(peer, message, "<Neighbors>", &tally, "</Neighbors>");
    tally.latencies_ms.clear();
    double start = now_seconds();
    for (long request = 0; now_seconds() - start < seconds; ++request)
        ask(peers[static_cast<std::size_t>(request % join_peer_count)], message, "<Neighbors>", &tally,
            "</Neighbors>");
    print_request_result(now_seconds() - start, tally.latencies_ms, tally.timeouts, tally.errors);
    return 0;
}

// One address's joins; a fresh address's interleaved, where given, so that both meet the
// same moment of the machine.
static int run_join_from(long count, const char* address, const char* fresh_address)
{
    int s = request_socket(address);
    int fresh = fresh_address ? request_socket(fresh_address) : -1;
    if (s < 0 || (fresh_address && fresh < 0))
        return 1;
    request_tally tally;
    request_tally fresh_tally;
    double start = now_seconds();
    for (long request = 0; request < count; ++request) {
        ask(s, join_message(request), "<Neighbors>", &tally, "</Neighbors>");
        if (fresh >= 0)
            ask(fresh, join_message(request), "<Neighbors>", &fresh_tally, "</Neighbors>");
    }
    if (fresh < 0) {
        print_request_result(now_seconds() - start, tally.latencies_ms, tally.timeouts, tally.errors);
        return 0;
    }
    std::printf("count=%zu p50_ms=%.3f fresh_p50_ms=%.3f timeouts=%ld errors=%ld\n", tally.latencies_ms.size(),
                percentile(tally.latencies_ms, 0.50), percentile(fresh_tally.latencies_ms, 0.50),
                tally.timeouts + fresh_tally.timeouts, tally.errors + fresh_tally.errors);
    return 0;
}

// The channel's peers in one Neighbors document, as "address:port"; the joiners (127.0.0.0/8)
// are left out, so that only the registrations made before the run count.
static std::vector<std::string> listed_peers(const std::string& reply)
{
    std::vector<std::string> listed;
    for (std::size_t at = reply.find("<IPv4>"); at != std::string::npos; at = reply.find("<IPv4>", at + 1)) {
        std::size_t address = at + 6, address_end = reply.find("</IPv4><port>", address);
        std::size_t port_end = reply.find("</port>", address_end);
        if (address_end == std::string::npos || port_end == std::string::npos)
            break;
        if (reply.compare(address, 4, "127.") != 0)
            listed.push_back(reply.substr(address, address_end - address) + ":" +
                             reply.substr(address_end + 13, port_end - address_end - 13));
    }
    return listed;
}

// How a run's lists spread over the channel's peers, numbered from 0; numbers below `first`
// are the peers registered first, from 1.0.x.y.
struct spread_tally {
    long first = 0;
    std::vector<long> times_listed;  // by number
    std::vector<long> previous;      // the list before, sorted
    long entries = 0;
    long first_entries = 0;
    double shared = 0;  // summed over lists after the first: the share also in the one before
    long pairs = 0;
};

static void count_list(std::vector<long> listed, spread_tally* tally)
{
    std::sort(listed.begin(), listed.end());
    if (!tally->previous.empty() && !listed.empty()) {
        std::vector<long> common;
        std::set_intersection(listed.begin(), listed.end(), tally->previous.begin(), tally->previous.end(),
                              std::back_inserter(common));
        tally->shared += static_cast<double>(common.size()) / static_cast<double>(listed.size());
        ++tally->pairs;
    }
    for (long peer : listed) {
        if (static_cast<std::size_t>(peer) >= tally->times_listed.size())
            tally->times_listed.resize(static_cast<std::size_t>(peer) + 1);
        ++tally->times_listed[static_cast<std::size_t>(peer)];
        ++tally->entries;
        tally->first_entries += peer < tally->first;
    }
    tally->previous.swap(listed);
}

// The four figures, each key behind `prefix`: the share of the channel listed at least once,
// the most-listed peer's count over the mean, the share a list has in common with the one
// before, and the first peers' share of the entries over their share of the channel.
static std::string spread_figures(const spread_tally& tally, long peers, const std::string& prefix)
{
    long listed = std::count_if(tally.times_listed.begin(), tally.times_listed.end(), [](long n) { return n > 0; });
    long most = tally.times_listed.empty() ? 0 : *std::max_element(tally.times_listed.begin(), tally.times_listed.end());
    double mean = static_cast<double>(tally.entries) / static_cast<double>(peers);
    double first_share = static_cast<double>(tally.first_entries) / static_cast<double>(std::max(tally.entries, 1L));
    char figures[300];
    std::snprintf(figures, sizeof figures, "%slisted_percent=%.1f %smost_over_mean=%.2f %sshared_percent=%.2f %sfirst_ratio=%.2f",
                  prefix.c_str(), 100.0 * static_cast<double>(listed) / static_cast<double>(peers), prefix.c_str(),
                  mean > 0 ? static_cast<double>(most) / mean : 0, prefix.c_str(),
                  tally.pairs ? 100.0 * tally.shared / static_cast<double>(tally.pairs) : 0, prefix.c_str(),
                  tally.first > 0 ? first_share / (static_cast<double>(tally.first) / static_cast<double>(peers)) : 0);
    return figures;
}

// Numbers the peers as they are first listed: 1.0.x.y ones below `first`, the others above.
struct peer_numbers {
    std::unordered_map<std::string, long> number_of;
    long next_first = 0;
    long next_other = 0;
};

static std::vector<long> numbered(const std::vector<std::string>& listed, peer_numbers* numbers)
{
    std::vector<long> result;
    for (const std::string& peer : listed) {
        auto known = numbers->number_of.find(peer);
        if (known == numbers->number_of.end()) {
            long number = peer.compare(0, 4, "1.0.") == 0 ? numbers->next_first++ : numbers->next_other++;
            known = numbers->number_of.emplace(peer, number).first;
        }
        result.push_back(known->second);
    }
    return result;
}

// What a uniform random choice would give: as many distinct peers per list as the real list
// had, drawn by a fixed seed, so that the reference is the same in every run.
static std::vector<long> uniform_choice(std::size_t length, long peers, std::mt19937_64* generator)
{
    std::uniform_int_distribution<long> peer(0, peers - 1);
    std::unordered_set<long> chosen;
    while (chosen.size() < length && static_cast<long>(chosen.size()) < peers)
        chosen.insert(peer(*generator));
    return std::vector<long>(chosen.begin(), chosen.end());
}

// One join from a fresh address: its reply, or "" when none came in time.
static std::string join_from_fresh_address(long number, const std::string& message, request_tally* tally)
{
    std::string address = "127." + std::to_string(100 + number / 65536) + "." + std::to_string(number / 256 % 256) +
                          "." + std::to_string(number % 256);
    int s = request_socket(address.c_str());
    if (s < 0)
        return "";
    std::string document;
    ask(s, message, "<Neighbors>", tally, "</Neighbors>", &document);
    close(s);
    return document;
}

static void wait_until(double due)
{
    while (now_seconds() < due)
        usleep(static_cast<useconds_t>((due - now_seconds()) * 1e6) + 1);
}

static int run_spread(long count, double rate, const std::string& channel, long peers, long first)
{
    std::string message = "<ChView>" + channel + "</ChView>";
    request_tally requests;
    spread_tally spread, uniform;
    spread.first = uniform.first = first;
    peer_numbers numbers;
    numbers.next_other = first;
    std::mt19937_64 generator(1);
    double start = now_seconds();
    for (long number = 1; number <= count; ++number) {
        wait_until(start + static_cast<double>(number - 1) / rate);
        std::vector<long> listed = numbered(listed_peers(join_from_fresh_address(number, message, &requests)), &numbers);
        count_list(uniform_choice(listed.size(), peers, &generator), &uniform);
        count_list(listed, &spread);
    }
    std::printf("joins=%ld %s %s p50_ms=%.3f timeouts=%ld errors=%ld\n", count,
                spread_figures(spread, peers, "").c_str(), spread_figures(uniform, peers, "uniform_").c_str(),
                percentile(requests.latencies_ms, 0.50), requests.timeouts, requests.errors);
    return 0;
}

// RTP packets carry their number in bytes 4 to 11, one nibble per byte: every byte of the
// packet is at least 0x10, so no zero byte shortens the console line and every word of
// the trace's dump has eight digits, the longest trace.
static std::string packet_message()
{
    std::string message = "<RTPPacket>";
    message.resize(message.size() + packet_size);
    unsigned char* packet = reinterpret_cast<unsigned char*>(message.data()) + 11;
    for (std::size_t i = 0; i < packet_size; ++i)
        packet[i] = static_cast<unsigned char>(0x20 + (i * 37) % 0xdf);
    packet[0] = 0x80;
    packet[1] = 0x21;
    return message;
}

static void write_packet_number(std::string* message, std::uint32_t number)
{
    unsigned char* packet = reinterpret_cast<unsigned char*>(message->data()) + 11;
    for (int nibble = 0; nibble < 8; ++nibble)
        packet[4 + nibble] = static_cast<unsigned char>('A' + ((number >> (28 - 4 * nibble)) & 0xf));
}

static bool packet_number(const unsigned char* packet, std::size_t length, std::uint32_t* number)
{
    if (length != packet_size)
        return false;
    *number = 0;
    for (int nibble = 0; nibble < 8; ++nibble)
        *number = *number << 4 | ((packet[4 + nibble] - 'A') & 0xf);
    return true;
}

// The relay listener's side: which packets arrived, each counted once.
struct relay_tally {
    std::vector<char> arrived;
    long received = 0;
    long strays = 0;
};

static void take_forwarded(int listener, relay_tally* tally)
{
    unsigned char datagram[2048];
    for (;;) {
        ssize_t length = recv(listener, datagram, sizeof datagram, MSG_DONTWAIT);
        if (length < 0)
            return;
        std::uint32_t number = 0;
        if (!packet_number(datagram, static_cast<std::size_t>(length), &number) || number >= tally->arrived.size() ||
            tally->arrived[number]) {
            ++tally->strays;
            continue;
        }
        tally->arrived[number] = 1;
        ++tally->received;
    }
}

static bool wait_readable(int s, double seconds)
{
    if (seconds < 0)
        seconds = 0;
    timespec timeout{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<long>(seconds)) * 1e9)};
    pollfd fd{s, POLLIN, 0};
    return ppoll(&fd, 1, &timeout, nullptr) > 0;
}

static void drain_forwarded(int listener, relay_tally* tally, double seconds)
{
    double end = now_seconds() + seconds;
    while (now_seconds() < end)
        if (wait_readable(listener, end - now_seconds()))
            take_forwarded(listener, tally);
}

static void send_packet(int s, std::string* message, std::uint32_t number, relay_tally* tally)
{
    if (tally->arrived.size() <= number)
        tally->arrived.resize(number + 65536, 0);
    write_packet_number(message, number);
    send_message(s, *message);
}

// At most `window` packets sent and not yet forwarded: the tracker always has work queued,
// but never more than a default receive queue holds. Outstanding packets that stay away for
// 250 ms count as lost, so the stream goes on.
static int run_relay(double seconds, long window)
{
    int listener = bound_udp_socket("127.0.0.1", 1234, relay_listener_receive_buffer);
    int s = bound_udp_socket("127.0.0.1", 0, 0);
    if (listener < 0 || s < 0)
        return 1;
    std::string message = packet_message();
    relay_tally tally;
    std::uint32_t sent = 0;
    long given_up = 0;
    double start = now_seconds();
    double last_arrival = start;
    while (now_seconds() - start < seconds) {
        while (static_cast<long>(sent) - tally.received - given_up < window)
            send_packet(s, &message, sent++, &tally);
        if (!wait_readable(listener, 0.25)) {
            given_up = static_cast<long>(sent) - tally.received;
            continue;
        }
        take_forwarded(listener, &tally);
        last_arrival = now_seconds();
    }
    long received_in_time = tally.received;
    drain_forwarded(listener, &tally, 0.3);
    double elapsed = last_arrival - start;
    std::printf("sent=%u received=%ld rate=%.1f loss=%ld strays=%ld\n", sent, tally.received,
                elapsed > 0 ? static_cast<double>(received_in_time) / elapsed : 0.0,
                static_cast<long>(sent) - tally.received, tally.strays);
    return 0;
}

// A steady stream: one packet every 1 / rate seconds. A generator that was held up more
// than a millisecond starts afresh from then rather than catch up in a burst; the largest
// such lateness is reported, and the rate reached.
static int run_paced(double rate, double seconds)
{
    int listener = bound_udp_socket("127.0.0.1", 1234, relay_listener_receive_buffer);
    int s = bound_udp_socket("127.0.0.1", 0, 0);
    if (listener < 0 || s < 0 || rate <= 0)
        return 1;
    // Timers as precise as the system allows: the gap between packets can be tens of microseconds.
    prctl(PR_SET_TIMERSLACK, 1);
    std::string message = packet_message();
    relay_tally tally;
    double interval = 1 / rate;
    double start = now_seconds();
    double next_send = start;
    double largest_lateness = 0;
    std::uint32_t sent = 0;
    while (now_seconds() - start < seconds) {
        double now = now_seconds();
        if (now >= next_send) {
            if (now - next_send > largest_lateness)
                largest_lateness = now - next_send;
            send_packet(s, &message, sent++, &tally);
            // A generator that fell behind goes on from now: it never makes up in a burst.
            next_send = now - next_send > 0.001 ? now + interval : next_send + interval;
            continue;
        }
        if (wait_readable(listener, next_send - now))
            take_forwarded(listener, &tally);
    }
    double sending = now_seconds() - start;
    drain_forwarded(listener, &tally, 0.5);
    std::printf("sent=%u received=%ld rate=%.1f loss=%ld strays=%ld lateness_ms=%.2f\n", sent, tally.received,
                sent / sending, static_cast<long>(sent) - tally.received, tally.strays, largest_lateness * 1000);
    return 0;
}

// Every message kind the tracker meets, in a fixed cycle of ten: a catalogue request, a
// join, six packets and two messages it ignores. Each request and packet is awaited, so
// the tracker's queue never overflows and the count is exactly what it handled.
static int run_mixed(long count)
{
    int listener = bound_udp_socket("127.0.0.1", 1234, relay_listener_receive_buffer);
    int catalogue_peer = request_socket("127.0.0.1");
    std::vector<int> peers;
    if (listener < 0 || catalogue_peer < 0 || !open_join_peers(&peers))
        return 1;
    std::string packet = packet_message();
    request_tally requests;
    relay_tally packets;
    long lost_packets = 0;
    std::uint32_t packet_count = 0;
    double start = now_seconds();
    for (long message = 0; message < count; ++message) {
        long kind = message % 10;
        if (kind == 0) {
            ask(catalogue_peer, "<Msg>1</Msg>", "<Channels>", &requests);
        } else if (kind == 1) {
            ask(peers[static_cast<std::size_t>(message / 10 % join_peer_count)], join_message(message / 10),
                "<Neighbors>", &requests);
        } else if (kind < 8) {
            long before = packets.received;
            send_packet(catalogue_peer, &packet, packet_count++, &packets);
            if (wait_readable(listener, reply_timeout_ms / 1000.0))
                take_forwarded(listener, &packets);
            lost_packets += packets.received == before;
        } else {
            send_message(catalogue_peer, kind == 8 ? "<Msg>2</Msg>" : "<Hello>there</Hello>");
        }
    }
    std::printf("count=%ld seconds=%.1f timeouts=%ld errors=%ld lost_packets=%ld\n", count, now_seconds() - start,
                requests.timeouts, requests.errors, lost_packets);
    return 0;
}

// Loop `loop` of `loops` (dividing 400): requests loop, loop + loops, ... as run_join numbers
// them, each from the join peer that its number falls on, so each loop's sockets are its own.
// Its addresses are all one modulo any worker count that divides 200 and loops: a worker
// steered by address then takes whole loops.
static void run_one_loop(bool joins, int loop, int loops, double end, request_tally* tally)
{
    std::vector<int> peers(join_peer_count, -1);
    for (int peer = loop; peer < join_peer_count; peer += loops)
        peers[static_cast<std::size_t>(peer)] = request_socket(join_peer_address(peer).c_str());
    for (long request = loop; now_seconds() < end; request += loops) {
        int s = peers[static_cast<std::size_t>(request % join_peer_count)];
        if (joins)
            ask(s, join_message(request), "<Neighbors>", tally);
        else
            ask(s, "<Msg>1</Msg>", "<Channels>", tally);
    }
    for (int s : peers)
        if (s >= 0)
            close(s);
}

static int run_loops(bool joins, double seconds, int loops)
{
    if (loops < 1 || join_peer_count % loops != 0)
        return 2;
    std::vector<request_tally> tallies(static_cast<std::size_t>(loops));
    std::vector<std::thread> threads;
    double start = now_seconds();
    for (int loop = 0; loop < loops; ++loop)
        threads.emplace_back(run_one_loop, joins, loop, loops, start + seconds, &tallies[static_cast<std::size_t>(loop)]);
    request_tally all;
    for (int loop = 0; loop < loops; ++loop) {
        threads[static_cast<std::size_t>(loop)].join();
        const request_tally& tally = tallies[static_cast<std::size_t>(loop)];
        all.latencies_ms.insert(all.latencies_ms.end(), tally.latencies_ms.begin(), tally.latencies_ms.end());
        all.timeouts += tally.timeouts;
        all.errors += tally.errors;
    }
    print_request_result(now_seconds() - start, all.latencies_ms, all.timeouts, all.errors);
    return 0;
}

// The forged side of a reflection: sockets at the victim's addresses, which count the reply
// bytes that land on them within the counted part of the run.
struct victim_tally {
    double from = 0, to = 0;
    long replies = 0;
    double bytes = 0;
    long largest = 0;
};

static void take_reflected(int s, victim_tally* tally)
{
    static char reply[largest_reply];
    for (;;) {
        ssize_t length = recv(s, reply, sizeof reply, MSG_DONTWAIT);
        if (length < 0)
            return;
        double now = now_seconds();
        tally->largest = std::max(tally->largest, static_cast<long>(length));
        if (now >= tally->from && now < tally->to) {
            ++tally->replies;
            tally->bytes += static_cast<double>(length);
        }
    }
}

// The kernel's receive-queue drops of this namespace's UDP sockets other than the tracker's:
// replies that reached a victim's socket but were not counted.
static long bench_socket_drops()
{
    FILE* table = std::fopen("/proc/net/udp", "r");
    if (!table)
        return -1;
    char line[512];
    long drops = 0;
    std::fgets(line, sizeof line, table);
    while (std::fgets(line, sizeof line, table)) {
        const char* last = std::strrchr(line, ' ');
        if (!std::strstr(line, ":2290 ") && last)  // 8848
            drops += std::atol(last + 1);
    }
    std::fclose(table);
    return drops;
}

// The other peers beside a flood: a join every 50 ms, each from a network of its own, their
// addresses spread evenly over any number of workers steered by address (127.60.n.n+1).
struct probe {
    int s;
    double sent;
};
constexpr double probe_interval = 0.05;
constexpr double probe_grace = 3;  // after the flood, the longest a probe's reply is awaited

static std::string probe_address(long number)
{
    return "127." + std::to_string(60 + number / 256) + "." + std::to_string(number % 256) + "." +
           std::to_string(1 + number % 254);
}

static void take_probe_reply(const probe& p, double from, request_tally* tally)
{
    int outcome = await_reply(p.s, "<Neighbors>", "</Neighbors>", nullptr);
    if (p.sent >= from) {
        tally->errors += outcome < 0;
        tally->latencies_ms.push_back((now_seconds() - p.sent) * 1000);
    }
    close(p.s);
}

// A flood and its probes as they stand: what has been sent, and the probes still awaited.
struct flood_run {
    std::string message, join;
    double rate = 0, start = 0, end = 0;
    std::vector<int> victims;
    long sent = 0, probes_sent = 0;
    std::vector<probe> probes;  // awaiting their replies
};

// The flood's requests and the probes that are due by now, none once the flood has ended.
static void send_due(flood_run* run, double now)
{
    if (now >= run->end)
        return;
    for (; !run->victims.empty() && run->start + static_cast<double>(run->sent) / run->rate <= now; ++run->sent)
        send_message(run->victims[static_cast<std::size_t>(run->sent) % run->victims.size()], run->message);
    for (; run->start + static_cast<double>(run->probes_sent) * probe_interval <= now; ++run->probes_sent) {
        int s = request_socket(probe_address(run->probes_sent).c_str());
        if (s >= 0 && send_message(s, run->join))
            run->probes.push_back({s, now_seconds()});
        else if (s >= 0)
            close(s);
    }
}

static double next_due(const flood_run& run, double now)
{
    if (now >= run.end)
        return run.end + probe_grace;
    double next = std::min(run.end, run.start + static_cast<double>(run.probes_sent) * probe_interval);
    if (!run.victims.empty())
        next = std::min(next, run.start + static_cast<double>(run.sent) / run.rate);
    return next;
}

// Waits until `until` or a reply, and takes every reply that has come.
static void await_flood_replies(flood_run* run, double until, victim_tally* reflected, request_tally* probes)
{
    std::vector<pollfd> fds;
    for (int s : run->victims)
        fds.push_back({s, POLLIN, 0});
    for (const probe& p : run->probes)
        fds.push_back({p.s, POLLIN, 0});
    double wait = std::max(until - now_seconds(), 0.0);
    timespec timeout{static_cast<time_t>(wait), static_cast<long>((wait - static_cast<long>(wait)) * 1e9)};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0)
        return;
    for (std::size_t i = 0; i < run->victims.size(); ++i)
        if (fds[i].revents)
            take_reflected(run->victims[i], reflected);
    std::vector<probe> awaiting;
    for (std::size_t i = 0; i < run->probes.size(); ++i) {
        if (fds[run->victims.size() + i].revents)
            take_probe_reply(run->probes[i], reflected->from, probes);
        else
            awaiting.push_back(run->probes[i]);
    }
    run->probes.swap(awaiting);
}

static int run_flood(const std::string& kind, double rate, double seconds, const std::string& net, int count,
                     const std::string& channel)
{
    flood_run run;
    run.join = "<ChView>" + channel + "</ChView>";
    // The shortest requests that draw each reply.
    run.message = kind == "catalogue" ? "<Msg>1" : run.join;
    run.rate = rate;
    for (int victim = 1; kind != "none" && victim <= count; ++victim) {
        int s = bound_udp_socket((net + "." + std::to_string(victim)).c_str(), 0, relay_listener_receive_buffer);
        if (s < 0)
            return 1;
        run.victims.push_back(s);
    }
    victim_tally reflected;
    request_tally probes;
    run.start = now_seconds();
    run.end = run.start + seconds;
    // The first third, where a burst is spent, is not counted.
    reflected.from = run.start + seconds / 3;
    reflected.to = run.end;
    for (double now = run.start; now < run.end || (!run.probes.empty() && now < run.end + probe_grace);
         now = now_seconds()) {
        send_due(&run, now);
        await_flood_replies(&run, next_due(run, now), &reflected, &probes);
    }
    long lost = 0;
    for (const probe& p : run.probes) {
        lost += p.sent >= reflected.from;
        close(p.s);
    }
    // A probe still unanswered is slower than every answered one.
    probes.latencies_ms.insert(probes.latencies_ms.end(), static_cast<std::size_t>(lost), 1e9);
    double p50 = percentile(probes.latencies_ms, 0.50);
    char p50_text[32] = "lost";
    if (p50 < 1e9)
        std::snprintf(p50_text, sizeof p50_text, "%.3f", p50);
    std::printf("bytes_per_s=%.0f replies=%ld reply_bytes=%ld request_bytes=%zu sent=%ld drops=%ld probes=%zu "
                "probe_p50_ms=%s probes_lost=%ld probes_wrong=%ld\n",
                reflected.bytes / (reflected.to - reflected.from), reflected.replies, reflected.largest,
                run.message.size(), run.sent, bench_socket_drops(), probes.latencies_ms.size(), p50_text, lost,
                probes.errors);
    for (int s : run.victims)
        close(s);
    return 0;
}

// Peers that come one after another within `seconds`, each asking the catalogue and joining.
static void run_honest_peers(std::vector<std::string> addresses, double seconds, std::string join,
                             request_tally* tally)
{
    double start = now_seconds();
    for (std::size_t peer = 0; peer < addresses.size(); ++peer) {
        wait_until(start + seconds * static_cast<double>(peer) / static_cast<double>(addresses.size()));
        int s = request_socket(addresses[peer].c_str());
        if (s < 0) {
            tally->timeouts += 2;
            continue;
        }
        ask(s, "<Msg>1</Msg>", "<Channels>", tally, "</Channels>");
        ask(s, join, "<Neighbors>", tally, "</Neighbors>");
        close(s);
    }
}

static int run_honest(double seconds, const std::string& channel)
{
    std::vector<std::string> groups[3];
    for (int peer = 0; peer < 200; ++peer)
        groups[0].push_back("127.70." + std::to_string(peer) + "." + std::to_string(1 + peer));
    groups[1].assign(20, "127.71.0.1");
    for (int peer = 1; peer <= 50; ++peer)
        groups[2].push_back("127.72.0." + std::to_string(peer));
    request_tally tallies[3];
    std::vector<std::thread> threads;
    for (int group = 0; group < 3; ++group)
        threads.emplace_back(run_honest_peers, groups[group], seconds, "<ChView>" + channel + "</ChView>",
                             &tallies[group]);
    for (std::thread& thread : threads)
        thread.join();
    const char* names[3] = {"networks", "address", "network"};
    for (int group = 0; group < 3; ++group)
        std::printf("%s%s=%zu %s_whole=%ld", group ? " " : "", names[group], 2 * groups[group].size(), names[group],
                    static_cast<long>(tallies[group].latencies_ms.size()) - tallies[group].errors);
    std::printf("\n");
    return 0;
}

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    double first = argc > 2 ? std::atof(argv[2]) : 0;
    if (mode == "catalogue" && argc == 3)
        return run_catalogue(first);
    if (mode == "join" && (argc == 3 || argc == 4)) {
        if (argc == 4)
            join_peer_network = std::string(argv[3]) + ".";
        return run_join(first);
    }
    if (mode == "join_one" && argc == 4)
        return run_join_one(first, argv[3]);
    if (mode == "join_from" && (argc == 4 || argc == 5))
        return run_join_from(std::atol(argv[2]), argv[3], argc == 5 ? argv[4] : nullptr);
    if (mode == "spread" && argc == 7)
        return run_spread(std::atol(argv[2]), std::atof(argv[3]), argv[4], std::atol(argv[5]), std::atol(argv[6]));
    if (mode == "relay" && (argc == 3 || argc == 4))
        return run_relay(first, argc == 4 ? std::atol(argv[3]) : 32);
    if (mode == "paced" && argc == 4)
        return run_paced(first, std::atof(argv[3]));
    if (mode == "mixed" && argc == 3)
        return run_mixed(std::atol(argv[2]));
    if ((mode == "catalogue_loops" || mode == "join_loops") && argc == 4)
        return run_loops(mode == "join_loops", first, std::atoi(argv[3]));
    if (mode == "flood" && argc == 8 && (std::strcmp(argv[2], "catalogue") == 0 || std::strcmp(argv[2], "join") == 0 ||
                                         std::strcmp(argv[2], "none") == 0) && std::atof(argv[3]) > 0)
        return run_flood(argv[2], std::atof(argv[3]), std::atof(argv[4]), argv[5], std::atoi(argv[6]), argv[7]);
    if (mode == "honest" && argc == 4)
        return run_honest(std::atof(argv[2]), argv[3]);
    std::fprintf(stderr,
                 "usage: quorvane_load catalogue SECONDS | join SECONDS [NET] | join_one SECONDS CHANNEL |\n"
                 "                     join_from COUNT ADDRESS [FRESH] | spread COUNT RATE CHANNEL PEERS FIRST |\n"
                 "                     relay SECONDS [WINDOW] | paced RATE SECONDS | mixed COUNT |\n"
                 "                     catalogue_loops|join_loops SECONDS LOOPS (LOOPS dividing 400) |\n"
                 "                     flood catalogue|join|none RATE SECONDS NET COUNT CHANNEL | honest SECONDS CHANNEL\n");
    return 2;
}
