// Fuzzes the Channels and Neighbors builders with rows as the client library gives them:
// NUL-terminated texts or nulls, short or huge, and a size limit from none to tiny.
//
// Input: one byte picks the limit, then fields separated by NUL bytes, three to a row. A field
// that is the single byte 0x01 is an SQL NULL; one that starts with 0x02 and a count byte is
// the rest of the field repeated (count + 1) * 512 times (up to about 70 KB), which reaches
// past a datagram.
#include "documents.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool holds)
{
    if (!holds)
        std::abort();
}

std::size_t pick_limit(std::uint8_t choice)
{
    if (choice == 0)
        return SIZE_MAX;
    if (choice == 1)
        return 65507;
    return std::size_t{choice} * 37;  // 74 to 9435 bytes: cuts anywhere, including before the first row
}

struct decoded_rows {
    std::vector<std::string> texts;
    std::vector<bool> is_null;
    std::vector<text_row> rows;
};

void decode(const std::uint8_t* data, std::size_t size, decoded_rows* out)
{
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    // All repeated fields together stay within a few datagrams, so each input runs fast.
    std::size_t budget = 200000;
    while (!rest.empty()) {
        std::size_t nul = rest.find('\0');
        std::string_view field = rest.substr(0, nul);
        rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
        out->is_null.push_back(field == "\x01");
        if (field.size() >= 2 && field[0] == '\x02') {
            // Capped, so one input stays fast: past a datagram is enough.
            std::string repeated;
            std::size_t times = (std::size_t{static_cast<unsigned char>(field[1])} + 1) * 512;
            for (; times > 0 && field.size() > 2 && repeated.size() < 70000 && repeated.size() < budget; --times)
                repeated += field.substr(2);
            budget -= std::min(budget, repeated.size());
            out->texts.push_back(repeated);
        } else {
            out->texts.emplace_back(field);
        }
    }
    // Pointers last: the texts no longer move.
    for (std::size_t i = 0; i + 3 <= out->texts.size(); i += 3) {
        text_row row{};
        for (std::size_t column = 0; column < 3; ++column)
            row[column] = out->is_null[i + column] ? nullptr : out->texts[i + column].c_str();
        out->rows.push_back(row);
    }
}

bool ends_with(const std::string& text, std::string_view end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A cut document is the whole one stopped at a row boundary: its body is a head of the
// whole body, and it and its NUL fit the limit whenever the empty document does.
void check_cut(const std::string& cut, const std::string& whole, std::string_view start, std::string_view end,
               std::size_t limit)
{
    check(cut.compare(0, start.size(), start) == 0 && ends_with(cut, end));
    check(ends_with(whole, end));
    std::string_view cut_body(cut.data(), cut.size() - end.size());
    check(whole.compare(0, cut_body.size(), cut_body) == 0);
    if (start.size() + end.size() + 1 <= limit)
        check(cut.size() + 1 <= limit);
    if (whole.size() + 1 <= limit)
        check(cut == whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    std::size_t limit = pick_limit(data[0]);
    decoded_rows decoded;
    decode(data + 1, size - 1, &decoded);

    std::string whole = build_channels_document(decoded.rows, SIZE_MAX);
    check_cut(build_channels_document(decoded.rows, limit), whole, "<Channels>", "</Group></Channels>", limit);

    whole = build_neighbors_document(decoded.rows, SIZE_MAX);
    check_cut(build_neighbors_document(decoded.rows, limit), whole, "<Neighbors>", "</Neighbors>", limit);
    std::size_t entries = 0;
    for (std::size_t at = whole.find("<Neighbor>"); at != std::string::npos; at = whole.find("<Neighbor>", at + 1))
        ++entries;
    // Texts may hold the piece themselves, so only a lower bound holds.
    check(entries >= decoded.rows.size());
    return 0;
}
