#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "corpuswright/stages/atomic.hpp"

namespace fs = std::filesystem;
using corpuswright::stages::atomic;

namespace {

fs::path fresh_dir(const char* name) {
    fs::path dir = fs::temp_directory_path() / ("cw-atomic-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> tmp_files(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name.rfind(".tmp", 0) == 0) out.push_back(name);
    }
    return out;
}

}  // namespace

TEST(Atomic, CreatesMissingDirectoriesAndPersistsWithMode0600) {
    fs::path dir = fresh_dir("create");
    fs::path target = dir / "a" / "b" / "out.jsonl";
    auto tmp = atomic(target.string());
    ASSERT_TRUE(tmp.ok()) << tmp.error().message();
    std::string name = fs::path(tmp.value().path()).filename().string();
    ASSERT_EQ(name.size(), 10u);
    EXPECT_EQ(name.substr(0, 4), ".tmp");
    for (char c : name.substr(4)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
    EXPECT_EQ(fs::path(tmp.value().path()).parent_path(), target.parent_path());
    ASSERT_TRUE(tmp.value().write("hello ").ok());
    ASSERT_TRUE(tmp.value().write(std::string(3 << 20, 'x')).ok());
    ASSERT_TRUE(tmp.value().persist(target.string()).ok());
    EXPECT_EQ(slurp(target).size(), 6u + (3u << 20));
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(tmp_files(target.parent_path()).empty());
    fs::remove_all(dir);
}

TEST(Atomic, AbandonedFileLeavesOldTargetAndNoTemporary) {
    fs::path dir = fresh_dir("abandon");
    fs::path target = dir / "out.txt";
    std::ofstream(target) << "old";
    {
        auto tmp = atomic(target.string());
        ASSERT_TRUE(tmp.ok());
        ASSERT_TRUE(tmp.value().write("partial").ok());
        ASSERT_TRUE(tmp.value().flush().ok());
        EXPECT_EQ(tmp_files(dir).size(), 1u);
    }
    EXPECT_EQ(slurp(target), "old");
    EXPECT_TRUE(tmp_files(dir).empty());
    fs::remove_all(dir);
}

TEST(Atomic, ParentThatIsAFileFailsAndCreatesNothing) {
    fs::path dir = fresh_dir("file-parent");
    std::ofstream(dir / "plain") << "x";
    auto tmp = atomic((dir / "plain" / "out.txt").string());
    ASSERT_FALSE(tmp.ok());
    EXPECT_FALSE(tmp.error().message().empty());
    EXPECT_EQ(slurp(dir / "plain"), "x");
    fs::remove_all(dir);
}

TEST(Atomic, RelativeTargetUsesWorkingDirectory) {
    fs::path dir = fresh_dir("relative");
    fs::path old = fs::current_path();
    fs::current_path(dir);
    auto tmp = atomic("out.txt");
    ASSERT_TRUE(tmp.ok());
    EXPECT_EQ(fs::path(tmp.value().path()).parent_path(), fs::canonical(dir));
    ASSERT_TRUE(tmp.value().persist("out.txt").ok());
    EXPECT_TRUE(fs::exists(dir / "out.txt"));
    fs::current_path(old);
    fs::remove_all(dir);
}

// Write-out is started every few megabytes while writing; a file written in
// many buffered pieces across several of those points, then moved away from
// its temporary name, must hold exactly the bytes written, in order.
TEST(Atomic, LargeFileWrittenInPiecesKeepsEveryByteInOrder) {
    fs::path dir = fresh_dir("large");
    fs::path target = dir / "big.jsonl";
    auto tmp = atomic(target.string());
    ASSERT_TRUE(tmp.ok()) << tmp.error().message();
    auto& file = tmp.value();
    std::string expected;
    for (std::uint32_t i = 0; expected.size() < (27u << 20); ++i) {
        std::string line = "{\"n\":" + std::to_string(i) + ",\"pad\":\"" + std::string(i % 997, 'a' + i % 26) + "\"}\n";
        expected += line;
        file.buffer() += line;
        ASSERT_TRUE(file.maybe_flush().ok());
    }
    ASSERT_TRUE(file.persist(target.string()).ok());
    EXPECT_TRUE(slurp(target) == expected);
    EXPECT_TRUE(tmp_files(dir).empty());
    fs::remove_all(dir);
}
