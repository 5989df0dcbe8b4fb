#include <gtest/gtest.h>

#include "tavrel/entity.hpp"

using tavrel::entity::decode_entities;
using tavrel::entity::unescape_backslash_punctuation;

TEST(DecodeEntities, NumericReferences) {
    EXPECT_EQ(decode_entities("&#65;"), "A");
    EXPECT_EQ(decode_entities("&#x41;&#X41;&#x0041;"), "AAA");
    EXPECT_EQ(decode_entities("&#0;"), "\uFFFD");
    EXPECT_EQ(decode_entities("&#55296;"), "&#55296;");
    EXPECT_EQ(decode_entities("&#x110000;"), "&#x110000;");
    EXPECT_EQ(decode_entities("&#1;"), "\x01");
    // Eight digits are past the first pass; the second decodes only values
    // from 32 up and the four white-space controls.
    EXPECT_EQ(decode_entities("&#00000001;"), "&#00000001;");
    EXPECT_EQ(decode_entities("&#00000065;"), "A");
    EXPECT_EQ(decode_entities("&#00000009;"), "\t");
    EXPECT_EQ(decode_entities("&#x0000000041;"), "A");
    EXPECT_EQ(decode_entities("&#99999999999;"), "&#99999999999;");
    EXPECT_EQ(decode_entities("&#;&#x;&;"), "&#;&#x;&;");
    EXPECT_EQ(decode_entities("&#65"), "&#65");
}

TEST(DecodeEntities, NamedReferences) {
    EXPECT_EQ(decode_entities("&amp"), "&amp");
    EXPECT_EQ(decode_entities("&amp;"), "&");
    EXPECT_EQ(decode_entities("&ngE;"), "\u2267\u0338");
    EXPECT_EQ(decode_entities("&AMP;&Amp;"), "&&Amp;");
    EXPECT_EQ(decode_entities("a &lt;b&gt; &nosuch; c"), "a <b> &nosuch; c");
    EXPECT_EQ(decode_entities("&&amp;"), "&&");
    EXPECT_EQ(decode_entities("&NotEqualTilde;"), "\u2242\u0338");
}

TEST(DecodeEntities, SecondPassReadsFirstPassOutput) {
    EXPECT_EQ(decode_entities("&#38;lt;"), "<");
    EXPECT_EQ(decode_entities("&amp;lt;"), "&lt;");
}

TEST(DecodeEntities, DecodesReferenceAnswersAsTheDecoder) {
    for (std::string_view ref :
         {"&amp;", "&lt;", "&ngE;", "&NotEqualTilde;", "&AMP;", "&Amp;", "&nosuch;", "&a-b;", "&l t;", "&;", "&#;",
          "&#x;", "&#65;", "&#0;", "&#x0;", "&#1;", "&#55296;", "&#xD800;", "&#x110000;", "&#00000001;", "&#00000065;",
          "&#00000009;", "&#0000000;", "&#x0000000041;", "&#x0000001F;", "&#99999999999;", "&#4294967296;",
          "&#x1F600;", "&#X41;", "&#6a;", "&#x4g;", "&\xC3\xA9;"}) {
        EXPECT_EQ(tavrel::entity::decodes_reference(ref), decode_entities(ref) != ref) << ref;
    }
}

TEST(DecodeEntities, TextWithoutAmpersandIsUnchanged) {
    EXPECT_EQ(decode_entities(""), "");
    EXPECT_EQ(decode_entities("plain ünïcode text"), "plain ünïcode text");
}

TEST(UnescapeBackslash, Rules) {
    EXPECT_EQ(unescape_backslash_punctuation("\\*"), "*");
    EXPECT_EQ(unescape_backslash_punctuation("\\a"), "\\a");
    EXPECT_EQ(unescape_backslash_punctuation("\\\\"), "\\");
    EXPECT_EQ(unescape_backslash_punctuation("\\\\*"), "\\*");
    EXPECT_EQ(unescape_backslash_punctuation("x\\"), "x\\");
    EXPECT_EQ(unescape_backslash_punctuation("\\é\\!"), "\\é!");
    EXPECT_EQ(unescape_backslash_punctuation(""), "");
}
