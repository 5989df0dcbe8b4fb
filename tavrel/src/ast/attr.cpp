// The attribute set's small algebra: the only behaviour the tree owns besides
// copying. The rules keep classes unique and route "id" and "class" to their
// own fields so that every reader and writer agrees on one attribute model.
#include <algorithm>
#include <bit>
#include <functional>

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
        // (A value may hold thousands of classes.)
        AttrBuilder(*this).set_pair(key, value);
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
    if (other.classes.size() + other.pairs.size() <= 1) {
        // (Nearly always: one walk, which is all a builder would do.)
        if (other.id) id = *other.id;
        for (const auto& cls : other.classes) push_class(std::string_view(cls));
        for (const auto& [k, v] : other.pairs) set_pair(std::string_view(k), std::string_view(v));
        return;
    }
    AttrBuilder(*this).merge(other);
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

// ---------------------------------------------------------------------------
// AttrBuilder

template <class List, class Text>
std::size_t AttrBuilder::find(const List& list, bool keys, std::string_view wanted, Text text) {
    Index* index = indexes_ ? &(keys ? indexes_->keys : indexes_->classes) : nullptr;
    if (!index || index->slots.empty()) {
        std::size_t found = SIZE_MAX;
        std::size_t i = 0;  // entries compared
        while (i < list.size()) {
            if (text(list[i++]) == wanted) {
                found = i - 1;
                break;
            }
        }
        std::size_t& walked = keys ? keys_walked_ : classes_walked_;
        walked += i;
        steps_ += i;
        // Walked on while the walks cost less than an index would: a few
        // lookups, or a few entries, never build one.
        if (walked <= 2 * list.size() + 16 || found != SIZE_MAX) return found;
        if (!indexes_) indexes_ = std::make_unique<Indexes>();
        index = keys ? &indexes_->keys : &indexes_->classes;
    }
    std::vector<std::pair<std::size_t, std::size_t>>& slots = index->slots;
    auto insert = [&slots](std::size_t hash, std::size_t position) {
        const std::size_t mask = slots.size() - 1;
        std::size_t s = hash & mask;
        while (slots[s].second != 0) s = (s + 1) & mask;
        slots[s] = {hash, position + 1};
    };
    if (slots.size() < 2 * list.size()) {
        // Kept at most half full: grown to four times the entries, each
        // entry placed again at each growth.
        std::vector<std::pair<std::size_t, std::size_t>> old = std::move(slots);
        slots.assign(std::bit_ceil(4 * list.size()), {0, 0});
        for (const auto& slot : old) {
            if (slot.second != 0) insert(slot.first, slot.second - 1);
        }
        steps_ += old.size();
    }
    for (; index->indexed < list.size(); ++index->indexed) {
        ++steps_;
        insert(std::hash<std::string_view>{}(text(list[index->indexed])), index->indexed);
    }
    const std::size_t hash = std::hash<std::string_view>{}(wanted);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t s = hash & mask; slots[s].second != 0; s = (s + 1) & mask) {
        ++steps_;
        if (slots[s].first == hash && text(list[slots[s].second - 1]) == wanted) return slots[s].second - 1;
    }
    return SIZE_MAX;
}

bool AttrBuilder::has_class(std::string_view cls) {
    return find(attr_.classes, false, cls, [](const std::string& c) { return std::string_view(c); }) != SIZE_MAX;
}

std::string* AttrBuilder::value_of(std::string_view key) {
    auto& pairs = attr_.pairs;
    std::size_t at = find(pairs, true, key, [](const auto& kv) { return std::string_view(kv.first); });
    return at == SIZE_MAX ? nullptr : &pairs[at].second;
}

void AttrBuilder::push_class(std::string_view cls) {
    if (cls.empty() || has_class(cls)) return;
    attr_.classes.emplace_back(cls);
}

void AttrBuilder::push_class_owned(std::string&& cls) {
    if (cls.empty() || has_class(cls)) return;
    attr_.classes.push_back(std::move(cls));
}

void AttrBuilder::set_pair(std::string_view key, std::string_view value) {
    if (key == "id") {
        attr_.id = std::string(value);
    } else if (key == "class") {
        text::for_each_white_space_piece(value, [this](std::string_view piece) { push_class(piece); });
    } else if (std::string* v = value_of(key)) {
        v->assign(value);
    } else {
        attr_.pairs.emplace_back(std::string(key), std::string(value));
    }
}

void AttrBuilder::set_pair_owned(std::string&& key, std::string&& value) {
    if (key == "id" || key == "class") {
        set_pair(std::string_view(key), std::string_view(value));
    } else if (std::string* v = value_of(key)) {
        *v = std::move(value);
    } else {
        attr_.pairs.emplace_back(std::move(key), std::move(value));
    }
}

void AttrBuilder::merge(const Attr& other) {
    if (other.id) attr_.id = *other.id;
    for (const auto& cls : other.classes) push_class(std::string_view(cls));
    for (const auto& [k, v] : other.pairs) set_pair(std::string_view(k), std::string_view(v));
}

}  // namespace tavrel::ast
