// Pieces shared by the fuzz targets: a UTF-8 check for the targets whose stronger properties only
// hold on valid text, and the abort that turns a broken property into a
// finding libFuzzer keeps with its input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace fuzz {

// Writes `s` (at most 4000 bytes) with control bytes other than the line
// feed shown as \xNN, so that a difference in invisible bytes shows.
inline void show(std::string_view s) {
    const std::size_t n = std::min<std::size_t>(s.size(), 4000);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 && c != '\n') {
            std::fprintf(stderr, "\\x%02X", c);
        } else {
            std::fputc(c, stderr);
        }
    }
    std::fputc('\n', stderr);
}

// Prints what broke (both sides when given) and aborts, which libFuzzer
// records as a crash with the input that caused it.
[[noreturn]] inline void fail(const char* what, std::string_view expected = {}, std::string_view got = {}) {
    std::fprintf(stderr, "\n*** fuzz property broken: %s\n", what);
    if (!expected.empty() || !got.empty()) {
        std::fprintf(stderr, "--- expected (%zu bytes)\n", expected.size());
        show(expected);
        std::fprintf(stderr, "--- got (%zu bytes)\n", got.size());
        show(got);
        std::fprintf(stderr, "---\n");
    }
    std::abort();
}

// The comparison properties (round trips, agreement with a reference
// library) are on unless FUZZ_CRASH_ONLY is set: with a known mismatch still
// open that lets a long run keep looking for crashes behind it.
inline bool check_properties() {
    static const bool on = std::getenv("FUZZ_CRASH_ONLY") == nullptr;
    return on;
}

// True when `s` is text as a dump can carry it: well-formed UTF-8 (no
// overlongs, surrogates or code points past U+10FFFF) without U+0000, which
// XML cannot hold and the Markdown reader replaces.
inline bool is_text(std::string_view s) {
    if (s.find('\0') != std::string_view::npos) return false;
    std::size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    while (i < n) {
        unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace fuzz
