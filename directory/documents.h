// The two reply documents, Channels and Neighbors, built from result rows as plain text:
// no database and no socket here. Column texts are copied byte for byte, unescaped.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One result row: three NUL-terminated column texts, any of them null for an SQL NULL,
// which the documents write as empty text.
using text_row = std::array<const char*, 3>;

// The Channels document from catalogue rows (group key, group name, channel name) in key
// order: a new Group element wherever the key text changes. When the whole document and
// its NUL would exceed size_limit bytes, it ends after the last row that fits, still closed
// with its document end.
std::string build_channels_document(const std::vector<text_row>& rows, std::size_t size_limit);

// The Neighbors document from rows (address, port, name): one Neighbor element per row,
// cut the same way at the last whole element that fits size_limit.
std::string build_neighbors_document(const std::vector<text_row>& rows, std::size_t size_limit);

// The Neighbors document's texts around its elements, and each element's around its columns.
constexpr std::string_view neighbors_start = "<Neighbors>";
constexpr std::string_view neighbors_end = "</Neighbors>";
constexpr std::array<std::string_view, 4> neighbor_element_texts = {"<Neighbor><IPv4>", "</IPv4><port>",
                                                                    "</port><name>", "</name></Neighbor>"};

// The most elements a document and its NUL can hold within size_limit: each at least the
// fixed texts, a 7-character address and a one-digit port, with no name.
constexpr std::size_t most_neighbors_within(std::size_t size_limit)
{
    std::size_t shortest_element = neighbor_element_texts[0].size() + 7 + neighbor_element_texts[1].size() + 1 +
                                   neighbor_element_texts[2].size() + neighbor_element_texts[3].size();
    return (size_limit - neighbors_start.size() - neighbors_end.size() - 1) / shortest_element;
}
