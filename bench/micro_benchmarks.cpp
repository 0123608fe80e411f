// Micro-benchmarks of the tracker's per-message CPU work: the scanner on the messages peers
// send, the RTP trace formatter, whose full trace is about 12 KB per packet, and the
// catalogue document of a directory with 20,000 channels.
#include "documents.h"
#include "protocol.h"
#include "rtp_trace.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

static void scan_catalogue_request(benchmark::State& state)
{
    const std::string message = "<Msg>1</Msg>";
    for (auto _ : state) {
        std::string_view text = message_text(reinterpret_cast<const unsigned char*>(message.data()), message.size());
        std::int32_t cursor = 0;
        std::string type = read_tag(text, cursor);
        std::string code = read_text(text, cursor);
        std::string closing = read_tag(text, cursor);
        benchmark::DoNotOptimize(closing);
    }
}
BENCHMARK(scan_catalogue_request);

static void scan_channel_join(benchmark::State& state)
{
    const std::string message = "<ChView>Football Live</ChView>";
    for (auto _ : state) {
        std::string_view text = message_text(reinterpret_cast<const unsigned char*>(message.data()), message.size());
        std::int32_t cursor = 0;
        std::string type = read_tag(text, cursor);
        std::int32_t again = 0;
        read_tag(text, again);
        std::string channel = read_text(text, again);
        benchmark::DoNotOptimize(channel);
    }
}
BENCHMARK(scan_channel_join);

// The first tag of an RTPPacket message, and the text up to its first NUL over 1342 bytes.
static void scan_packet_type(benchmark::State& state)
{
    std::string message = "<RTPPacket>" + std::string(1331, '\x41');
    for (auto _ : state) {
        std::string_view text = message_text(reinterpret_cast<const unsigned char*>(message.data()), message.size());
        std::int32_t cursor = 0;
        std::string type = read_tag(text, cursor);
        benchmark::DoNotOptimize(type);
    }
}
BENCHMARK(scan_packet_type);

// Every word of the dump with eight digits: the longest trace.
static std::vector<unsigned char> busy_window()
{
    std::vector<unsigned char> window(rtp_window_size);
    for (std::size_t i = 0; i < window.size(); ++i)
        window[i] = static_cast<unsigned char>(0x20 + (i * 37) % 0xdf);
    return window;
}

static void format_full_trace(benchmark::State& state)
{
    std::vector<unsigned char> window = busy_window();
    std::vector<char> trace(rtp_trace_capacity);
    for (auto _ : state) {
        std::size_t length = format_rtp_trace(window.data(), rtp_trace_full, trace.data());
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(format_rtp_trace(window.data(), rtp_trace_full, trace.data())));
}
BENCHMARK(format_full_trace);

static void format_one_line_trace(benchmark::State& state)
{
    std::vector<unsigned char> window = busy_window();
    std::vector<char> trace(rtp_trace_capacity);
    for (auto _ : state) {
        std::size_t length = format_rtp_trace(window.data(), rtp_trace_one_line, trace.data());
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(format_one_line_trace);

static void read_window(benchmark::State& state)
{
    std::vector<unsigned char> message(1350, 0x41);
    std::vector<unsigned char> window(rtp_window_size);
    for (auto _ : state) {
        read_packet_window(message.data(), 1339, window.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(read_window);

// 200 groups of 100 channels; the document stops at the largest datagram, 65,507 bytes.
static void build_catalogue_of_20000_channels(benchmark::State& state)
{
    std::vector<std::string> texts;
    for (int i = 0; i < 20000; ++i) {
        texts.push_back(std::to_string(5 + i / 100));
        texts.push_back("Group " + std::to_string(i / 100));
        texts.push_back("Channel " + std::to_string(i));
    }
    std::vector<text_row> rows;
    for (std::size_t i = 0; i < texts.size(); i += 3)
        rows.push_back({texts[i].c_str(), texts[i + 1].c_str(), texts[i + 2].c_str()});
    for (auto _ : state) {
        std::string document = build_channels_document(rows, 65507);
        benchmark::DoNotOptimize(document);
    }
}
BENCHMARK(build_catalogue_of_20000_channels);

BENCHMARK_MAIN();
