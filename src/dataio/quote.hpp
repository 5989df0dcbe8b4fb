// Quoting a name (a path, a page title) inside an error message, so that
// spaces and quotes in it cannot be mistaken for the message's own words.
#pragma once

#include <string>
#include <string_view>

namespace corpuswright::stages {

inline std::string quote_for_message(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace corpuswright::stages
