// The writer's heading and code block whose attributes hold a key their
// attribute block cannot: one holding a "}" or white space after a
// backslash, which only an attribute line keeps, and in a heading's line one
// holding "{", which the reader takes for the block's start, as it looks for
// the line's last "{". Rare, and kept apart from the writer's hot paths.
#include <string>
#include <string_view>

#include "tavrel/write_md.hpp"

namespace tavrel::write_md {

namespace {

// Whether the key is written on an attribute line but not in the block
// ending a heading's line.
bool needs_own_line(std::string_view key) {
    return markdown::attr_key_writable(key, false, true) &&
           (key.find('{') != std::string_view::npos || !markdown::attr_key_writable(key));
}

}  // namespace

bool Renderer::line_before_line_keys(const ast::Inlines& run, const ast::Attr& own, std::string_view sep,
                                     bool closable) {
    bool own_line = false, brace = false;
    for (const auto& kv : own.pairs) {
        if (kv.first.find_first_of("{}\\") == std::string::npos) continue;
        own_line = own_line || needs_own_line(kv.first);
        brace = brace || kv.first.find('{') != std::string::npos;
    }
    if (closable && own_line) {
        // A heading's line is written as one without attributes, and all of
        // them, in their order, on the attribute line after it, which the
        // reader gives to the heading before it.
        line_before_attrs(run, ast::Attr{}, sep, closable);
        out_.push_back('\n');
        ial(own);
        out_.pop_back();  // (the heading's own line end follows)
        return true;
    }
    if (!brace) return false;
    // A term takes no attribute line: its brace keys are left out.
    ast::Attr kept = own;
    std::erase_if(kept.pairs, [](const auto& kv) { return kv.first.find('{') != std::string::npos; });
    line_before_attrs(run, kept, sep, closable);
    return true;
}

// The reader gives an attribute line to the code block before it only
// outside every container (in one, the info alone holds the block's
// attributes): there the pairs go on that line, in their order, and the
// language, id and classes stay in the info.
bool Renderer::code_block_with_line(const ast::CodeBlock& c) {
    if (depth_ != 0 || !container_names_.empty()) return false;
    ast::Attr pairs;
    pairs.pairs = c.attr.pairs;
    if (!markdown::writes_line_attrs(pairs)) return false;
    ast::CodeBlock bare = c;
    bare.attr.pairs.clear();
    code_block(bare);
    out_.pop_back();  // the blank line after the block follows the attribute line
    ial(pairs);
    out_.push_back('\n');
    return true;
}

}  // namespace tavrel::write_md
