// The audit of unconverted templates: which operations a converted page
// still holds, as (kind, name) pairs, and the ranked summary of how many
// written articles hold each pair.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "corpuswright/roles.hpp"
#include "tavrel/ast.hpp"

namespace corpuswright::stages {

struct AuditPair {
    std::string kind;  // "mediawiki:transclude", ... (lower case)
    std::string name;  // lower case
    bool operator==(const AuditPair&) const = default;
    auto operator<=>(const AuditPair&) const = default;
};

struct AuditPairHash {
    std::size_t operator()(const AuditPair& p) const noexcept;
};

using AuditCounts = std::unordered_map<AuditPair, std::uint64_t, AuditPairHash>;

struct OperationCount {
    std::string kind;
    std::string name;
    std::uint64_t count = 0;
    bool operator==(const OperationCount&) const = default;
};

struct Summary {
    std::uint64_t articles = 0;
    std::uint64_t chunks = 0;
    std::vector<OperationCount> rows;  // at most 30, highest count first
};

// The walkers append pairs in document order.
void audit_blocks(const tavrel::ast::Blocks& blocks, const roles::TemplateRoles& roles, std::vector<AuditPair>& out);
void audit_inlines(const tavrel::ast::Inlines& inlines, const roles::TemplateRoles& roles,
                   std::vector<AuditPair>& out);

// The page audit: sorted, each distinct pair once.
std::vector<AuditPair> audit(const tavrel::ast::Blocks& blocks, const roles::TemplateRoles& roles);

// Ranked rows: count descending, then kind, then name; the first 30.
Summary summary(std::uint64_t articles, std::uint64_t chunks, AuditCounts counts);

// Unicode lower case of UTF-8 text (full case mapping).
std::string lower(std::string_view s);

}  // namespace corpuswright::stages
