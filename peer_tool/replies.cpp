// The reply documents: whether a reply is one whole document, and an indented view of it.
#include "peer_tool.h"

#include <cstdio>

static bool starts_with(std::string_view text, std::string_view start)
{
    return text.substr(0, start.size()) == start;
}

static bool ends_with(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string reply_fault(const std::string& reply, int kind)
{
    std::string_view start = kind == reply_channels ? "<Channels>" : "<Neighbors>";
    std::string_view end = kind == reply_channels ? "</Channels>" : "</Neighbors>";
    if (reply.empty())
        return "an empty reply";
    std::size_t nul = reply.find('\0');
    if (nul == std::string::npos)
        return "a reply without its terminating NUL byte";
    if (nul + 1 != reply.size())
        return "a NUL byte inside the reply, " + std::to_string(reply.size() - nul - 1) + " bytes before its end";
    std::string_view document(reply.data(), nul);
    if (!starts_with(document, start) || !ends_with(document, end) || document.size() < start.size() + end.size())
        return "a reply that is not a " + std::string(start) + " document";
    return "";
}

// Control bytes and the backslash as escapes; everything else, UTF-8 included, as it is.
static void append_readable(std::string* out, std::string_view bytes)
{
    for (char c : bytes) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            *out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            *out += escape;
        } else {
            *out += c;
        }
    }
}

// The element name of a tag: up to the first blank ("Group name=..." is a Group).
static std::string_view element_name(std::string_view tag)
{
    return tag.substr(0, tag.find(' '));
}

struct document_token {
    bool is_tag;
    std::string_view bytes;  // a tag's name without '<' and '>', or a text
};

static std::vector<document_token> document_tokens(std::string_view document)
{
    std::vector<document_token> tokens;
    std::size_t at = 0;
    while (at < document.size()) {
        if (document[at] == '<') {
            std::size_t close = document.find('>', at + 1);
            if (close == std::string_view::npos)
                close = document.size();
            tokens.push_back({true, document.substr(at + 1, close - at - 1)});
            at = close + 1;
        } else {
            std::size_t open = document.find('<', at);
            if (open == std::string_view::npos)
                open = document.size();
            tokens.push_back({false, document.substr(at, open - at)});
            at = open;
        }
    }
    return tokens;
}

static void append_line(std::string* out, int depth, std::string_view text)
{
    out->append(static_cast<std::size_t>(depth) * 2, ' ');
    append_readable(out, text);
    *out += '\n';
}

static std::string tag_text(std::string_view name)
{
    return "<" + std::string(name) + ">";
}

std::string indented_document(std::string_view document)
{
    document = document.substr(0, document.find('\0'));
    std::vector<document_token> tokens = document_tokens(document);
    std::string out;
    int depth = 0;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const document_token& token = tokens[i];
        if (!token.is_tag) {
            append_line(&out, depth, token.bytes);
            continue;
        }
        if (starts_with(token.bytes, "/")) {
            depth = depth > 0 ? depth - 1 : 0;
            append_line(&out, depth, tag_text(token.bytes));
            continue;
        }
        // An element holding only text, or nothing, stays on one line with its closing tag.
        std::string closing = "/" + std::string(element_name(token.bytes));
        std::size_t text_at = i + 1 < tokens.size() && !tokens[i + 1].is_tag ? i + 1 : i;
        if (text_at + 1 < tokens.size() && tokens[text_at + 1].is_tag && tokens[text_at + 1].bytes == closing) {
            std::string line = tag_text(token.bytes);
            if (text_at != i)
                line += tokens[text_at].bytes;
            line += tag_text(closing);
            append_line(&out, depth, line);
            i = text_at + 1;
            continue;
        }
        append_line(&out, depth, tag_text(token.bytes));
        ++depth;
    }
    return out;
}
