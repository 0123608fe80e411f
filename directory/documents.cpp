// Rows to documents: the Channels catalogue and the Neighbors list.
#include "documents.h"

#include <string_view>

// The group tracker's start value: no Group element is open yet.
static constexpr std::string_view no_group_open = "-1";
static constexpr std::string_view channels_start = "<Channels>";
// The last Group is closed by the document end, open or not.
static constexpr std::string_view channels_end = "</Group></Channels>";

static std::string_view column_text(const char* value)
{
    return value ? std::string_view(value) : std::string_view();
}

// Whether a piece still fits before the document end and the NUL.
static bool fits(const std::string& document, const std::string& piece, std::string_view end,
                 std::size_t size_limit)
{
    return document.size() + piece.size() + end.size() + 1 <= size_limit;
}

// What one catalogue row adds: a group change if its key text differs, then its channel.
static std::string catalogue_row_piece(const text_row& row, const std::string& group_key)
{
    std::string piece;
    if (column_text(row[0]) != group_key) {
        if (group_key != no_group_open)
            piece += "</Group>";
        piece += "<Group name=\"";
        piece += column_text(row[1]);
        piece += "\">";
    }
    piece += "<Channel>";
    piece += column_text(row[2]);
    piece += "</Channel>";
    return piece;
}

std::string build_channels_document(const std::vector<text_row>& rows, std::size_t size_limit)
{
    std::string document(channels_start);
    std::string group_key(no_group_open);
    for (const text_row& row : rows) {
        std::string piece = catalogue_row_piece(row, group_key);
        if (!fits(document, piece, channels_end, size_limit))
            break;
        document += piece;
        group_key = column_text(row[0]);
    }
    document += channels_end;
    return document;
}

static std::string neighbor_element(const text_row& row)
{
    std::string element(neighbor_element_texts[0]);
    for (std::size_t column = 0; column < row.size(); ++column) {
        element += column_text(row[column]);
        element += neighbor_element_texts[column + 1];
    }
    return element;
}

std::string build_neighbors_document(const std::vector<text_row>& rows, std::size_t size_limit)
{
    std::string document(neighbors_start);
    for (const text_row& row : rows) {
        std::string element = neighbor_element(row);
        if (!fits(document, element, neighbors_end, size_limit))
            break;
        document += element;
    }
    document += neighbors_end;
    return document;
}
