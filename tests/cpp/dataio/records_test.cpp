#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "corpuswright/stages/records.hpp"

using corpuswright::stages::Article;
using corpuswright::stages::Chunk;
using corpuswright::stages::read_article;

namespace {

std::string written(const Article& a) {
    std::string out;
    append_article(out, a);
    return out;
}

std::string read_error(std::string_view line) {
    auto r = read_article(line);
    return r.ok() ? "OK" : r.error().message();
}

}  // namespace

TEST(Records, ArticleBytesAndEscapes) {
    Article a{7, 12, std::nullopt, "Q\"B\\T\tC\x01 \xC3\xA9/\x7F", std::nullopt, "# H\n\ntext\r\f\b", {}};
    EXPECT_EQ(written(a),
              "{\"article_id\":7,\"page_id\":12,\"revision_id\":null,\"title\":\"Q\\\"B\\\\T\\tC\\u0001 \xC3\xA9/\x7F\","
              "\"timestamp\":null,\"md\":\"# H\\n\\ntext\\r\\f\\b\",\"warnings\":[]}");
    a.revision_id = 18446744073709551615u;
    a.timestamp = "2020-01-01T00:00:00Z";
    a.warnings = {"w1", "w\"2"};
    EXPECT_EQ(written(a).substr(0, 64), "{\"article_id\":7,\"page_id\":12,\"revision_id\":18446744073709551615,");
    auto back = read_article(written(a));
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(back.value(), a);
}

// Long texts are scanned many bytes at a time: every byte is escaped alike
// wherever it stands in a text, at the edges of each sixteen-byte stretch too.
TEST(Records, EveryByteIsEscapedAlikeAnywhereInALongText) {
    const std::map<int, std::string> named{{'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"}, {'\t', "\\t"},
                                           {'\n', "\\n"}, {'\f', "\\f"}, {'\r', "\\r"}};
    for (int b = 0; b < 256; ++b) {
        std::string escaped = named.count(b) ? named.at(b) : std::string(1, static_cast<char>(b));
        if (b < 0x20 && !named.count(b)) {
            char u[8];
            std::snprintf(u, sizeof u, "\\u%04x", b);
            escaped = u;
        }
        for (std::size_t at : {0, 1, 15, 16, 17, 31, 32, 46, 47}) {
            Article a{1, 2, std::nullopt, "t", std::nullopt, std::string(48, 'x'), {}};
            a.md[at] = static_cast<char>(b);
            std::string md = std::string(at, 'x') + escaped + std::string(47 - at, 'x');
            EXPECT_EQ(written(a), "{\"article_id\":1,\"page_id\":2,\"revision_id\":null,\"title\":\"t\",\"timestamp\":null,\"md\":\"" +
                                      md + "\",\"warnings\":[]}")
                << "byte " << b << " at " << at;
        }
    }
}

TEST(Records, ChunkBytes) {
    Chunk c{3, 0, 10, 25, "# T\n\n## S\n\n", "h1", 42};
    std::string out;
    append_chunk(out, c);
    EXPECT_EQ(out,
              "{\"article_id\":3,\"chunk_id\":0,\"start_byte\":10,\"byte_len\":25,\"prefix_md\":\"# T\\n\\n## S\\n\\n\","
              "\"start_kind\":\"h1\",\"word_count\":42}");
}

// The stages build records on the pool without their number and prefix
// it when writing: the two pieces must give the very bytes of the whole.
TEST(Records, NumberPrefixAndRestMakeTheWholeRecord) {
    Article a{18446744073709551615u, 12, 99, "T\"", "ts", "line\n\"q\"", {"w"}};
    for (std::uint64_t id : {std::uint64_t{0}, std::uint64_t{42}, a.article_id}) {
        a.article_id = id;
        std::string pieces;
        corpuswright::stages::append_record_start(pieces, id);
        corpuswright::stages::append_article_after_id(pieces, a);
        EXPECT_EQ(pieces, written(a));
    }
    Chunk c{5, 2, 10, 25, "# T\n\n", "p", 7};
    std::string whole;
    append_chunk(whole, c);
    std::string pieces;
    corpuswright::stages::append_record_start(pieces, 5);
    corpuswright::stages::append_chunk_after_id(pieces, c);
    EXPECT_EQ(pieces, whole);
}

TEST(Records, ReadingAcceptsObjectsArraysAndExtraKeys) {
    Article a{1, 2, std::nullopt, "t", std::nullopt, "m", {}};
    auto r = read_article(R"({"article_id":1,"page_id":2,"title":"t","md":"m","warnings":[],"extra":{"x":[1,2.5,null]}})");
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r.value(), a);
    r = read_article(" [1, 2, null, \"t\", null, \"m\", []] \r");
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r.value(), a);
    r = read_article(R"({"article_id":1,"page_id":2,"revision_id":5,"title":"\u00e9\ud83d\ude00","timestamp":"ts","md":"m","warnings":["a"]})");
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r.value().title, "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(r.value().revision_id, std::optional<std::uint64_t>(5));
}

TEST(Records, ReadingErrors) {
    EXPECT_EQ(read_error(""), "EOF while parsing a value at line 1 column 0");
    EXPECT_EQ(read_error("   "), "EOF while parsing a value at line 1 column 3");
    EXPECT_EQ(read_error("[1,2,null,\"t\",null,\"m\"]"),
              "invalid length 6, expected struct Article with 7 elements at line 1 column 23");
    EXPECT_EQ(read_error("[1,2,null,\"t\",null,\"m\",[],3]").substr(0, 19), "trailing characters");
    EXPECT_EQ(read_error(R"({"article_id":1,"article_id":1})").substr(0, 25), "duplicate field `article_");
    EXPECT_EQ(read_error(R"({"article_id":1,"page_id":2,"title":"t","warnings":[]})").substr(0, 20),
              "missing field `md` a");
    EXPECT_EQ(read_error(R"({"article_id":-1})").substr(0, 30), "invalid value: integer `-1`, e");
    EXPECT_EQ(read_error(R"({"article_id":1.5})").substr(0, 13), "invalid type:");
    EXPECT_EQ(read_error(R"({"article_id":"1"})").substr(0, 13), "invalid type:");
    EXPECT_EQ(read_error(R"({"article_id":18446744073709551616})").substr(0, 13), "invalid type:");
    EXPECT_EQ(read_error(R"({"article_id":1,"page_id":2,"title":"t","md":"m","warnings":null})").substr(0, 19),
              "invalid type: null,");
    EXPECT_EQ(read_error("\"just a string\"").substr(0, 13), "invalid type:");
    EXPECT_EQ(read_error(R"({"article_id":1 "x":2})").substr(0, 19), "expected `,` or `}`");
    EXPECT_EQ(read_error(R"({"article_id":1,})").substr(0, 14), "trailing comma");
    EXPECT_EQ(read_error(R"({"article_id":1)").substr(0, 26), "EOF while parsing an objec");
    EXPECT_EQ(read_error(R"({"article_id":1,"page_id":2,"title":"t","md":"m","warnings":[]} x)").substr(0, 19),
              "trailing characters");
    EXPECT_NE(read_error("{\"title\":\"\xFF\"}"), "OK");
}
