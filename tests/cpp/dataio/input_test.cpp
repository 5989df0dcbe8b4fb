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

TEST(Input, OpenErrorsNameTheArgumentAndThePathPlainOrCompressed) {
    for (const char* path : {"/nonexistent/dump.xml", "/nonexistent/dump.xml.gz", "/nonexistent/dump.xml.bz2"}) {
        auto c = open_input(path, "xml");
        ASSERT_FALSE(c.ok());
        EXPECT_EQ(c.error().message(), std::string("opening xml ") + path + ": No such file or directory (os error 2)");
    }
    for (const char* path : {"/tmp", "/tmp/"}) {
        auto d = open_input(path, "source");
        ASSERT_FALSE(d.ok());
        EXPECT_EQ(d.error().message(), std::string("opening source ") + path + ": Is a directory (os error 21)");
    }
}
