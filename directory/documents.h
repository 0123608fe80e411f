// The two reply documents, Channels and Neighbors, built from result rows as plain text:
// no database and no socket here. Column texts are copied byte for byte, unescaped.
#pragma once

#include <array>
#include <cstddef>
#include <string>
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
