#include <gtest/gtest.h>

#include "corpuswright/stages/input.hpp"

using corpuswright::stages::open_input;
using corpuswright::stages::path_extension;

TEST(Input, ExtensionOfTheLastComponent) {
    EXPECT_EQ(path_extension("dump.xml.gz"), "gz");
    EXPECT_EQ(path_extension("/a/b/dump.xml.bz2"), "bz2");
    EXPECT_EQ(path_extension("dump.xml.GZ"), "GZ");
    EXPECT_EQ(path_extension("/dir.gz/dump"), "");
    EXPECT_EQ(path_extension(".gz"), "");
    EXPECT_EQ(path_extension("dir/.gz"), "");
    EXPECT_EQ(path_extension("dump.tgz"), "tgz");
    EXPECT_EQ(path_extension("a/dump.xml.gz/"), "gz");
    EXPECT_EQ(path_extension(".."), "");
    EXPECT_EQ(path_extension("/"), "");
    EXPECT_EQ(path_extension("name."), "");
}

TEST(Input, OpenErrorsNameThePathPlainOrCompressed) {
    auto r = open_input("/nonexistent/dump.xml");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message().rfind("opening /nonexistent/dump.xml: ", 0), 0u) << r.error().message();
    for (const char* path : {"/nonexistent/dump.xml.gz", "/nonexistent/dump.xml.bz2"}) {
        auto c = open_input(path);
        ASSERT_FALSE(c.ok());
        EXPECT_EQ(c.error().message().rfind(std::string("opening ") + path + ": No such file or directory", 0), 0u)
            << c.error().message();
    }
}
