#include <gtest/gtest.h>

#include "corpuswright/stages/pages.hpp"
#include "test_util.hpp"

using corpuswright::stages::Page;
using corpuswright::stages::Pages;

namespace {

struct ReadAll {
    std::vector<Page> pages;
    std::string error;  // empty when the dump read to its end
};

ReadAll read_all(const std::string& xml, std::size_t step = 1 << 20) {
    Pages pages(std::make_unique<StringReader>(xml, step));
    ReadAll out;
    while (true) {
        auto next = pages.next();
        if (!next.ok()) {
            out.error = next.error().message();
            return out;
        }
        if (!next.value()) return out;
        out.pages.push_back(std::move(*next.value()));
    }
}

std::string dump(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<mediawiki xmlns=\"http://www.mediawiki.org/xml/export-0.11/\" xml:lang=\"en\">\n"
           "<siteinfo><sitename>Test</sitename><namespaces><namespace key=\"0\" /></namespaces></siteinfo>\n" +
           body + "</mediawiki>\n";
}

std::string page_xml(const std::string& inner) { return "<page>" + inner + "</page>\n"; }

}  // namespace

TEST(Pages, ReadsFieldsOfEachPageAtEveryReadBoundary) {
    std::string xml = "\xEF\xBB\xBF" + dump(page_xml(
        "<title>Alpha &amp; Beta</title><ns>0</ns><id>12</id>"
        "<revision><id>345</id><parentid>3</parentid><timestamp>2024-01-02T03:04:05Z</timestamp>"
        "<contributor><username>U</username><id>999</id></contributor>"
        "<comment>c</comment><text bytes=\"5\" xml:space=\"preserve\">a &lt;b&gt;\r\nc&quot;&apos;</text>"
        "<sha1>x</sha1></revision>") +
        page_xml("<title>Second</title><ns>4</ns><id>13</id><redirect title=\"Alpha\" />"
                 "<revision><id>346</id><text/></revision>"));
    for (std::size_t step : {1, 2, 3, 7, 64, 1 << 20}) {
        SCOPED_TRACE(step);
        ReadAll r = read_all(xml, step);
        ASSERT_EQ(r.error, "");
        ASSERT_EQ(r.pages.size(), 2u);
        const Page& a = r.pages[0];
        EXPECT_EQ(a.title, "Alpha & Beta");
        EXPECT_EQ(a.ns, 0);
        EXPECT_EQ(a.id, 12u);
        EXPECT_EQ(a.revision_id, std::optional<std::uint64_t>(345));  // not the contributor's 999
        EXPECT_EQ(a.timestamp, std::optional<std::string>("2024-01-02T03:04:05Z"));
        EXPECT_EQ(a.text, "a <b>\nc\"'");
        EXPECT_FALSE(a.redirect);
        const Page& b = r.pages[1];
        EXPECT_EQ(b.ns, 4);
        EXPECT_TRUE(b.redirect);
        EXPECT_EQ(b.text, "");
        EXPECT_FALSE(b.timestamp.has_value());
    }
}

TEST(Pages, NumbersAndFallbacks) {
    auto one = [](const std::string& inner) {
        ReadAll r = read_all(dump(page_xml(inner)));
        EXPECT_EQ(r.error, "");
        return r.pages.empty() ? Page{} : r.pages[0];
    };
    EXPECT_EQ(one("<ns>0</ns>").ns, 0);
    EXPECT_EQ(one("<ns> 0</ns>").ns, -1);
    EXPECT_EQ(one("<ns>0 </ns>").ns, -1);
    EXPECT_EQ(one("<ns></ns>").ns, -1);
    EXPECT_EQ(one("<ns/>").ns, -1);
    EXPECT_EQ(one("<title>x</title>").ns, 0);
    EXPECT_EQ(one("<ns>-2</ns>").ns, -2);
    EXPECT_EQ(one("<ns>+3</ns>").ns, 3);
    EXPECT_EQ(one("<id>+42</id>").id, 42u);
    EXPECT_EQ(one("<id>-1</id>").id, 0u);
    EXPECT_EQ(one("<id>18446744073709551616</id>").id, 0u);
    EXPECT_EQ(one("<id>18446744073709551615</id>").id, 18446744073709551615u);
    EXPECT_FALSE(one("<revision><id>-5</id></revision>").revision_id.has_value());
    EXPECT_EQ(one("<revision><timestamp/></revision>").timestamp, std::optional<std::string>(""));
}

TEST(Pages, ReferencesCdataAndLineEnds) {
    auto title = [](const std::string& t) {
        ReadAll r = read_all(dump(page_xml("<title>" + t + "</title>")));
        return r.error.empty() ? r.pages.at(0).title : "ERROR: " + r.error;
    };
    EXPECT_EQ(title("&#65;&#x41;&#X41;&#+65;&#x+41;"), "AAAAA");
    EXPECT_EQ(title("&#0;"), std::string("\0", 1));
    EXPECT_EQ(title("&#xD800;"), "ERROR: unknown XML entity &#xD800;");
    EXPECT_EQ(title("&#x110000;"), "ERROR: unknown XML entity &#x110000;");
    EXPECT_EQ(title("&#;"), "ERROR: unknown XML entity &#;");
    EXPECT_EQ(title("&nbsp;"), "ERROR: unknown XML entity &nbsp;");
    EXPECT_EQ(title("a<![CDATA[&amp; <b>\r\n]]>z"), "a&amp; <b>\nz");
    EXPECT_EQ(title("a\rb\r\nc\xC2\x85" "d\r\xC2\x85" "e\xE2\x80\xA8" "f"), "a\nb\nc\nd\ne\nf");
    EXPECT_EQ(title("x<!-- comment -->y"), "xy");
    EXPECT_EQ(title("\xE2\x82\xAC"), "\xE2\x82\xAC");
    EXPECT_EQ(title("bad \xFF byte").substr(0, 6), "ERROR:");
}

TEST(Pages, TextRunsEndAtSkippedMarkupWhateverTheReadSizes) {
    std::string xml = dump(page_xml("<title>Bettamma&<?0\"?>#x263A;</title>"));
    for (std::size_t step : {1, 2, 5, 1 << 20}) {
        SCOPED_TRACE(step);
        ReadAll r = read_all(xml, step);
        EXPECT_NE(r.error.find("unterminated reference"), std::string::npos) << r.error;
    }
    xml = dump(page_xml("<title>a&amp;<!-- c -->b\r<?pi?>\nc</title>"));
    for (std::size_t step : {1, 3, 1 << 20}) {
        ReadAll r = read_all(xml, step);
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(r.pages.at(0).title, "a&b\n\nc");
    }
}

TEST(Pages, MarkupEndsAreNotFoundInsideTheirOwnOpening) {
    // "<!-->" and "<?>" open markup without closing it, at every read size.
    for (const char* body : {"<title>a<!-->b</title>", "<title>a<?>b</title>", "<title>a<![CDATA[]>b</title>"}) {
        std::string xml = dump(page_xml(body));
        for (std::size_t step : {1, 2, 3, 4, 5, 6, 1 << 20}) {
            SCOPED_TRACE(std::string(body) + " step " + std::to_string(step));
            EXPECT_NE(read_all(xml, step).error.find("unexpected end of the dump inside"), std::string::npos);
        }
    }
}

TEST(Pages, FieldsOnlyWhereTheyBelong) {
    ReadAll r = read_all(dump(page_xml(
        "<title>T</title><timestamp>outside</timestamp><text>outside</text>"
        "<revision><title>inside</title><text>one<b>two</b>three</text></revision>")));
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.pages.size(), 1u);
    EXPECT_EQ(r.pages[0].title, "T");
    EXPECT_FALSE(r.pages[0].timestamp.has_value());
    // A start tag inside an active field ends it without storing.
    EXPECT_EQ(r.pages[0].text, "");
}

TEST(Pages, LastRevisionWinsAndPrefixedNamesMatch) {
    ReadAll r = read_all(dump(
        "<mw:page><mw:title>P</mw:title><revision><id>1</id><text>old</text></revision>"
        "<revision><id>2</id><timestamp>t2</timestamp><text>new</text></revision></mw:page>\n"
        "<redirect/>"));
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.pages.size(), 1u);
    EXPECT_EQ(r.pages[0].title, "P");
    EXPECT_EQ(r.pages[0].revision_id, std::optional<std::uint64_t>(2));
    EXPECT_EQ(r.pages[0].text, "new");
    EXPECT_FALSE(r.pages[0].redirect);
}

TEST(Pages, NestedPageKeepsReadingLaterPages) {
    ReadAll r = read_all(dump("<page><title>Outer</title><page><title>Inner</title></page></page>" +
                              page_xml("<title>After</title>")));
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.pages.size(), 2u);
    EXPECT_EQ(r.pages[0].title, "Inner");
    EXPECT_EQ(r.pages[1].title, "After");
}

TEST(Pages, TruncatedOrMalformedDumpsAreErrors) {
    std::string full = dump(page_xml("<title>A</title>") + page_xml("<title>B</title><revision><text>body"));
    std::string cut = full.substr(0, full.find("body") + 4);
    ReadAll r = read_all(cut);
    ASSERT_EQ(r.pages.size(), 1u);
    EXPECT_NE(r.error.find("truncated"), std::string::npos) << r.error;

    std::string between = dump(page_xml("<title>A</title>"));
    between = between.substr(0, between.find("</mediawiki>"));
    r = read_all(between);
    EXPECT_EQ(r.pages.size(), 1u);
    EXPECT_NE(r.error.find("truncated"), std::string::npos) << r.error;

    r = read_all(dump("<page><title>A</wrong></page>"));
    EXPECT_NE(r.error.find("mismatched end tag"), std::string::npos) << r.error;
    r = read_all(dump(page_xml("<title>a & b</title>")));
    EXPECT_FALSE(r.error.empty());
}

TEST(Pages, FilesThatAreNoDumpAreRefusedSayingWhatWasFound) {
    const std::string not_dump = "the file is not a MediaWiki XML dump: ";
    const std::string not_first = not_dump + "it does not begin with an XML element (it begins ";
    std::string nuls_shown;  // the first 40 bytes of the first line
    for (int i = 0; i < 40; ++i) nuls_shown += "\\x00";
    const std::pair<std::string, std::string> cases[] = {
        {"", "the file is empty, not a MediaWiki XML dump"},
        {"-- MySQL dump\nINSERT INTO `page_props` VALUES (1,'disambiguation','');\n",
         not_first + "\"-- MySQL dump\")"},
        {std::string(5000, '\0') + "<mediawiki/>", not_first + "\"" + nuls_shown + "\")"},
        {" \r\n\t<!-- a --> x<mediawiki/>", not_first + "\" \\x0d\")"},
        {"\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- nothing -->\n", not_dump + "it holds no XML element (it begins "
                                                                      "\"<?xml version=\\\"1.0\\\"?><!-- nothing -->\")"},
        {"{\"a\": \"<b>x</b>\"}", not_first + "\"{\\\"a\\\": \\\"<b>x</b>\\\"}\")"},
        {"<!DOCTYPE html>\n<html><body><page><title>A</title></page></body></html>",
         not_dump + "its root element is \"html\", not \"mediawiki\""},
        {"<foo/>", not_dump + "its root element is \"foo\", not \"mediawiki\""},
        {"\x01\xff<\x80\x02 a='1'>", not_first + "\"\\x01\\xff<\\x80\\x02 a='1'>\")"},
        {"\n <\x80\x02 a='1'>", not_dump + "its root element is \"\\x80\\x02\", not \"mediawiki\""},
        {"\x1f\x8b\x08\x00<mediawiki>", "the file looks compressed (gzip), but only files whose names end in .gz or "
                                        ".bz2 are decoded (as gzip or bzip2); rename it to end in .gz, or decompress it "
                                        "first"},
        {"\x28\xB5\x2F\xFD\x00", "the file looks compressed (zstd), but only files whose names end in .gz or .bz2 are "
                                 "decoded (as gzip or bzip2); decompress it first"},
    };
    for (const auto& [input, message] : cases) {
        for (std::size_t step : {1, 3, 1 << 20}) {
            SCOPED_TRACE(input + " @" + std::to_string(step));
            ReadAll r = read_all(input, step);
            EXPECT_TRUE(r.pages.empty());
            EXPECT_EQ(r.error, message);
        }
    }
    // Dumps without pages, with a prefixed root or a self-closing one, are dumps.
    for (const std::string& empty : {dump(""), std::string("<mw:mediawiki xmlns:mw=\"x\"></mw:mediawiki>"),
                                     std::string("<?xml version=\"1.0\"?>\n<mediawiki/>\n")}) {
        ReadAll r = read_all(empty, 2);
        EXPECT_EQ(r.error, "") << empty;
        EXPECT_TRUE(r.pages.empty());
    }
}

TEST(Pages, AttributesWithAngleBracketsAndLargeText) {
    std::string big(300000, 'x');
    for (std::size_t i = 0; i < big.size(); i += 1000) big[i] = '\n';
    ReadAll r = read_all(dump(page_xml("<title a=\"1>2\" b='</title>'>T</title><revision><text>" + big +
                                       "&amp;</text></revision>")),
                         4096);
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.pages.size(), 1u);
    EXPECT_EQ(r.pages[0].title, "T");
    EXPECT_EQ(r.pages[0].text, big + "&");
}

TEST(Pages, InvalidUtf8NamesThePageAndItsOffsetAtEveryReadBoundary) {
    // Each case: the dump, the bad byte's offset in it, and the page named.
    struct Case {
        std::string xml;
        std::string page;
    };
    std::string first = page_xml("<title>First</title><id>5</id><revision><text>ok</text></revision>");
    std::vector<Case> cases = {
        {dump(first + page_xml("<title>Caf\xC3\xA9</title><id>6</id><revision><text>a\xE2\x82 b</text></revision>")),
         "the page \"Caf\xC3\xA9\""},
        {dump(first + page_xml("<title>T</title><revision><text><![CDATA[x\xC0\xAFy]]></text></revision>")),
         "the page \"T\""},
        {dump(first + page_xml("<title>Bad \xED\xA0\x80</title>")), "the page after \"First\""},
        {dump(page_xml("<title>\xF4\x90\x80\x80</title>")), "the first page"},
        {"\xEF\xBB\xBF" + dump(first + page_xml("<id>77</id><title>x\xFF</title>")), "the page with id 77"},
    };
    // The bad sequences are the only bytes of these dumps outside ASCII
    // apart from the title "Café" and the byte order mark.
    auto bad_offset = [](const std::string& xml) {
        for (std::size_t i = 0; i < xml.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(xml[i]);
            if (c >= 0x80 && xml.compare(i, 3, "\xEF\xBB\xBF") != 0 && xml.compare(i, 2, "\xC3\xA9") != 0) return i;
            if (c == 0xEF || c == 0xC3) i += c == 0xEF ? 2 : 1;
        }
        return std::string::npos;
    };
    for (const Case& c : cases) {
        std::size_t at = bad_offset(c.xml);
        ASSERT_NE(at, std::string::npos);
        for (std::size_t step : {1, 2, 3, 7, 64, 1 << 20}) {
            SCOPED_TRACE(std::to_string(step) + " " + c.page);
            ReadAll r = read_all(c.xml, step);
            EXPECT_EQ(r.error, "invalid UTF-8 in the dump's text at byte offset " + std::to_string(at) +
                                   " of the decoded dump, in " + c.page);
        }
    }
}

TEST(Pages, Utf16AndUtf32DumpsAreRefusedByName) {
    std::string xml = dump(page_xml("<title>A</title>"));
    auto widen = [&](bool big_endian, int width) {
        std::string out;
        for (char c : xml) {
            std::string unit(width, '\0');
            unit[big_endian ? width - 1 : 0] = c;
            out += unit;
        }
        return out;
    };
    struct Case {
        std::string bytes;
        std::string encoding;
    };
    std::vector<Case> cases = {
        {widen(false, 2), "UTF-16 (little-endian)"},
        {"\xFF\xFE" + widen(false, 2), "UTF-16 (little-endian)"},
        {widen(true, 2), "UTF-16 (big-endian)"},
        {"\xFE\xFF" + widen(true, 2), "UTF-16 (big-endian)"},
        {widen(false, 4), "UTF-32 (little-endian)"},
        {std::string("\xFF\xFE\0\0", 4) + widen(false, 4), "UTF-32 (little-endian)"},
        {widen(true, 4), "UTF-32 (big-endian)"},
        {std::string("\0\0\xFE\xFF", 4) + widen(true, 4), "UTF-32 (big-endian)"},
    };
    for (const Case& c : cases) {
        for (std::size_t step : {1, 3, 1 << 20}) {
            SCOPED_TRACE(c.encoding + " " + std::to_string(step));
            ReadAll r = read_all(c.bytes, step);
            EXPECT_TRUE(r.pages.empty());
            EXPECT_EQ(r.error, "the dump is encoded in " + c.encoding +
                                   "; dumps must be UTF-8 (convert it first, for example with iconv)");
        }
    }
    EXPECT_EQ(read_all("<").error.find("UTF"), std::string::npos);
}

TEST(Pages, DumpCutInsideAReferenceIsReportedAsTruncated) {
    std::string full = dump(page_xml("<title>A</title><revision><text>fish &amp; chips</text></revision>"));
    for (const char* end : {"&am", "&", "&amp; ch"}) {
        std::string cut = full.substr(0, full.find(end) + std::strlen(end));
        for (std::size_t step : {1, 5, 1 << 20}) {
            ReadAll r = read_all(cut, step);
            EXPECT_EQ(r.error, "the dump ends inside the page \"A\": it is truncated") << end << " " << step;
        }
    }
}
