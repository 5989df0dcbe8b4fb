#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "corpuswright/call_paths.hpp"
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

TEST(Atomic, CreatesMissingDirectoriesAndPersistsWithTheModeOfANewFile) {
    fs::path dir = fresh_dir("create");
    mode_t old_mask = ::umask(022);
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
    struct stat st {};
    ASSERT_EQ(::stat(tmp.value().path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // private while written
    ASSERT_TRUE(tmp.value().persist().ok());
    ::umask(old_mask);
    EXPECT_EQ(slurp(target).size(), 6u + (3u << 20));
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
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
    ASSERT_TRUE(tmp.value().persist().ok());
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
    ASSERT_TRUE(file.persist().ok());
    EXPECT_TRUE(slurp(target) == expected);
    EXPECT_TRUE(tmp_files(dir).empty());
    fs::remove_all(dir);
}

TEST(Atomic, ReplacedFileKeepsItsMode) {
    fs::path dir = fresh_dir("keep-mode");
    fs::path target = dir / "out.txt";
    std::ofstream(target) << "old";
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    auto tmp = atomic(target.string());
    ASSERT_TRUE(tmp.ok()) << tmp.error().message();
    ASSERT_TRUE(tmp.value().write("new").ok());
    ASSERT_TRUE(tmp.value().persist().ok());
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(slurp(target), "new");
    fs::remove_all(dir);
}

// Targets that are no regular file are refused, and stay what they are;
// a link to a regular file is followed, and stays a link.
TEST(Atomic, SpecialTargetsAreRefusedAndLinksFollowed) {
    fs::path dir = fresh_dir("special");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", dir / "null");
    fs::create_symlink(dir / "fifo", dir / "to-fifo");
    std::ofstream(dir / "real.txt") << "old";
    fs::create_symlink("real.txt", dir / "link.txt");
    fs::create_symlink("missing.txt", dir / "dangling.txt");
    struct Case {
        const char* name;
        const char* refusal;  // empty: written through the link
    };
    for (const Case& c : {Case{"fifo", "is a FIFO"}, Case{"null", "is a character device"},
                          Case{"to-fifo", "is a FIFO"}, Case{"link.txt", ""}, Case{"dangling.txt", ""}}) {
        auto tmp = atomic((dir / c.name).string(), "articles");
        if (*c.refusal != 0) {
            ASSERT_FALSE(tmp.ok()) << c.name;
            EXPECT_EQ(tmp.error().chain().front(), "writing articles " + (dir / c.name).string()) << c.name;
            EXPECT_NE(tmp.error().message().find(c.refusal), std::string::npos) << tmp.error().message();
            continue;
        }
        ASSERT_TRUE(tmp.ok()) << c.name << ": " << tmp.error().message();
        ASSERT_TRUE(tmp.value().write("new").ok());
        ASSERT_TRUE(tmp.value().persist().ok());
        EXPECT_TRUE(fs::is_symlink(dir / c.name)) << c.name;
        EXPECT_EQ(slurp(dir / c.name), "new") << c.name;
    }
    // A magic link (/dev/stdout of a pipe) names its pipe by no path.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    auto piped = atomic("/proc/self/fd/" + std::to_string(ends[1]));
    ::close(ends[0]);
    ::close(ends[1]);
    ASSERT_FALSE(piped.ok());
    EXPECT_NE(piped.error().message().find("is a FIFO"), std::string::npos) << piped.error().message();
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(slurp(dir / "real.txt"), "new");
    EXPECT_EQ(slurp(dir / "missing.txt"), "new");
    EXPECT_TRUE(tmp_files(dir).empty());
    fs::remove_all(dir);
}

// A second writer of the same target, in this thread or any other, is
// refused while the first holds its file; once that is gone, the target is
// free again and no lock file is left.
TEST(Atomic, ASecondWriterOfATargetIsRefusedUntilTheFirstIsDone) {
    fs::path dir = fresh_dir("lock");
    fs::path target = dir / "out.txt";
    {
        auto first = atomic(target.string(), "chunks");
        ASSERT_TRUE(first.ok()) << first.error().message();
        EXPECT_TRUE(fs::exists(dir / ".out.txt.lock"));
        auto second = atomic(target.string(), "chunks");
        ASSERT_FALSE(second.ok());
        EXPECT_EQ(second.error().message(), "writing chunks " + target.string() +
                                                ": another run is writing this output now (it holds the lock \"" +
                                                (dir / ".out.txt.lock").string() + "\")");
        EXPECT_TRUE(atomic((dir / "other.txt").string()).ok());
        ASSERT_TRUE(first.value().persist().ok());
        EXPECT_FALSE(atomic(target.string()).ok());  // held until dropped
    }
    {
        auto again = atomic(target.string());
        ASSERT_TRUE(again.ok()) << again.error().message();
        ASSERT_TRUE(again.value().persist().ok());
    }
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"out.txt"});
    fs::remove_all(dir);
}

// A relative target names what it named when the call began, whatever the
// working directory is by the time the file is made or renamed.
TEST(Atomic, RelativeTargetKeepsTheDirectoryOfTheCallsStart) {
    fs::path a = fresh_dir("start-a"), b = fresh_dir("start-b");
    fs::path old = fs::current_path();
    fs::current_path(a);
    {
        corpuswright::CallDirectory call;
        fs::current_path(b);
        auto tmp = atomic("out.txt");
        ASSERT_TRUE(tmp.ok()) << tmp.error().message();
        fs::current_path(old);
        ASSERT_TRUE(tmp.value().persist().ok());
    }
    EXPECT_TRUE(fs::exists(a / "out.txt"));
    EXPECT_FALSE(fs::exists(b / "out.txt"));
    fs::remove_all(a);
    fs::remove_all(b);
}
