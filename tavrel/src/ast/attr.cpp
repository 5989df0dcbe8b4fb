// The attribute set's small algebra: the only behaviour the tree owns besides
// copying. The rules keep classes unique and route "id" and "class" to their
// own fields so that every reader and writer agrees on one attribute model.
#include <algorithm>

#include "tavrel/ast.hpp"
#include "tavrel/text.hpp"

namespace tavrel::ast {

void Attr::push_class(std::string_view cls) {
    if (cls.empty()) return;
    if (std::find(classes.begin(), classes.end(), cls) != classes.end()) return;
    classes.emplace_back(cls);
}

void Attr::push_class_owned(std::string&& cls) {
    if (cls.empty()) return;
    if (std::find(classes.begin(), classes.end(), cls) != classes.end()) return;
    classes.push_back(std::move(cls));
}

void Attr::set_pair(std::string_view key, std::string_view value) {
    if (key == "id") {
        id = std::string(value);
        return;
    }
    if (key == "class") {
        text::for_each_white_space_piece(value, [this](std::string_view piece) { push_class(piece); });
        return;
    }
    for (auto& [k, v] : pairs) {
        if (k == key) {
            v.assign(value);
            return;
        }
    }
    pairs.emplace_back(std::string(key), std::string(value));
}

void Attr::set_pair_owned(std::string&& key, std::string&& value) {
    if (key == "id" || key == "class") {
        set_pair(std::string_view(key), std::string_view(value));
        return;
    }
    for (auto& [k, v] : pairs) {
        if (k == key) {
            v = std::move(value);
            return;
        }
    }
    pairs.emplace_back(std::move(key), std::move(value));
}

void Attr::merge(const Attr& other) {
    if (other.id) id = *other.id;
    for (const auto& cls : other.classes) push_class(std::string_view(cls));
    for (const auto& [k, v] : other.pairs) set_pair(std::string_view(k), std::string_view(v));
}

Attr Attr::with_class(std::string_view cls) {
    Attr attr;
    attr.push_class(cls);
    return attr;
}

const std::string* Attr::get(std::string_view key) const {
    for (const auto& [k, v] : pairs) {
        if (k == key) return &v;
    }
    return nullptr;
}

}  // namespace tavrel::ast
