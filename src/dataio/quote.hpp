// Quoting a name (a path, a page title, an element name) inside an error
// message, so that spaces and quotes in it cannot be mistaken for the
// message's own words, and so that bytes from a damaged or binary file never
// reach a message raw: control characters and bytes that are not UTF-8 are
// written as \xNN.
#pragma once

#include <string>
#include <string_view>

#include "tavrel/text.hpp"

namespace corpuswright::stages {

// The length of the UTF-8 sequence at s[i], or 0 when none starts there.
inline std::size_t utf8_sequence_at(std::string_view s, std::size_t i) {
    tavrel::text::Decoded d = tavrel::text::decode_utf8(s, i);
    return d.cp == 0xFFFD && d.len == 1 ? 0 : d.len;
}

// `s` with control characters, DEL and bytes outside UTF-8 sequences (with
// `ascii`, every byte above 0x7F) as \xNN, and (with `quotes`) '"' and '\'
// escaped by a backslash.
inline std::string printable_for_message(std::string_view s, bool quotes = false, bool ascii = false) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = utf8_sequence_at(s, i);
        if (len == 0 || c < 0x20 || c == 0x7F || (ascii && c >= 0x80)) {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
            ++i;
            continue;
        }
        if (quotes && (c == '"' || c == '\\')) out.push_back('\\');
        out.append(s.substr(i, len));
        i += len;
    }
    return out;
}

inline std::string quote_for_message(std::string_view s) { return "\"" + printable_for_message(s, true) + "\""; }

// An element name or a snippet read from a file: markup names of a dump are ASCII, so
// anything else is shown byte by byte, and a long one (binary junk read as a
// name) is cut.
inline std::string quote_name_for_message(std::string_view name) {
    constexpr std::size_t kShown = 64;
    if (name.size() <= kShown) return "\"" + printable_for_message(name, true, true) + "\"";
    return "\"" + printable_for_message(name.substr(0, kShown), true, true) + "\"...";
}

}  // namespace corpuswright::stages
