// A reader's notes about its input. Only the Markdown reader records them,
// for constructs left open at the end of the input or of their container.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace tavrel::diagnostic {

struct Position {
    std::uint32_t line = 0;    // 1-based
    std::uint32_t column = 0;  // 1-based

    bool operator==(const Position&) const = default;
};

// Where a note applies: nowhere in particular, a line (with the start and end
// of the construct), or a place that has no line.
struct NoLocation {
    bool operator==(const NoLocation&) const = default;
};
struct LineLocation {
    std::uint32_t line = 0;
    Position start;
    Position end;

    bool operator==(const LineLocation&) const = default;
};
struct OtherLocation {
    std::string where;

    bool operator==(const OtherLocation&) const = default;
};
using Location = std::variant<NoLocation, LineLocation, OtherLocation>;

struct Diagnostic {
    Location location;
    std::string code;     // short machine-readable code, e.g. "unclosed"
    std::string message;  // text for people
    std::uint8_t severity = 0;

    bool operator==(const Diagnostic&) const = default;
};

}  // namespace tavrel::diagnostic
