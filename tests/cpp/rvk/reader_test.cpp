// The decoded stream reader end to end: files made by the standard gzip,
// bzip2 and lz4 tools, format detection by content and by name, sticky end
// and failure, RVK_NUM_THREADS, and dropping a reader mid-stream.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "../rvk_base/timeout.hpp"
#include "rvk/reader.hpp"

namespace {

using rvk::reader::Reader;
using rvk::stream::StreamFormat;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// A scratch directory for the test files, removed when the tests end.
fs::path temp_dir() {
  struct Dir {
    fs::path path;
    Dir() {
      char pattern[] = "/tmp/rvk-reader-test-XXXXXX";
      path = fs::path(::mkdtemp(pattern));
    }
    ~Dir() { fs::remove_all(path); }
  };
  static Dir dir;
  return dir.path;
}

Bytes text_data(std::size_t size, unsigned seed) {
  static const char* words[] = {"page", "title", "revision", "text", "the", "of", "and", "wiki", "{{cite}}",
                                "[[link]]", "==", "section", "river", "mountain", "1987", "born"};
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    const char* w = words[rng() % std::size(words)];
    while (*w && out.size() < size) out.push_back(static_cast<std::uint8_t>(*w++));
    if (out.size() < size) out.push_back(rng() % 9 == 0 ? '\n' : ' ');
  }
  return out;
}

void write_file(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Compresses `data` with `tool` (a command reading stdin, writing stdout)
// into a file called `name`.
fs::path compressed_file(const Bytes& data, const std::string& tool, const std::string& name) {
  const fs::path plain = temp_dir() / (name + ".plain");
  const fs::path out = temp_dir() / name;
  write_file(plain, data);
  const std::string command = tool + " < '" + plain.string() + "' > '" + out.string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  fs::remove(plain);
  return out;
}

struct ReadAll {
  Bytes bytes;
  std::optional<rvk::Error> error;
};

ReadAll read_all(Reader& reader, std::size_t buffer_size = 65536) {
  ReadAll all;
  std::vector<std::uint8_t> buffer(buffer_size);
  for (;;) {
    auto n = reader.read(buffer);
    if (!n.ok()) {
      all.error = n.error();
      return all;
    }
    if (*n == 0) return all;
    all.bytes.insert(all.bytes.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n));
  }
}

class ThreadsEnv {
 public:
  explicit ThreadsEnv(const char* value) { ::setenv("RVK_NUM_THREADS", value, 1); }
  ~ThreadsEnv() { ::unsetenv("RVK_NUM_THREADS"); }
};

std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  return names;
}

bool any_thread_starting_with(const std::string& prefix) {
  for (const auto& name : thread_names()) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// ----- configuration --------------------------------------------------------

TEST(ThreadCount, ParsesDigitsWithAnOptionalPlus) {
  using rvk::reader::parse_thread_count;
  EXPECT_EQ(parse_thread_count("+8"), 8u);
  EXPECT_EQ(parse_thread_count("007"), 7u);
  EXPECT_EQ(parse_thread_count("0"), 0u);
  EXPECT_EQ(parse_thread_count("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"-1", " 8", "8 ", "", "+", "-", "++8", "18446744073709551616", "8x", "\xd9\xa8"}) {
    EXPECT_FALSE(parse_thread_count(bad).has_value()) << bad;
  }
}

TEST(ThreadCount, EnvironmentDefaultsAndClamping) {
  ::unsetenv("RVK_NUM_THREADS");
  EXPECT_EQ(rvk::reader::threads_from_env(), 4u);
  {
    ThreadsEnv env("+8");
    EXPECT_EQ(rvk::reader::threads_from_env(), 8u);
  }
  {
    ThreadsEnv env("0");
    EXPECT_EQ(rvk::reader::threads_from_env(), 0u);
  }
  {
    ThreadsEnv env("-1");
    EXPECT_EQ(rvk::reader::threads_from_env(), 4u);
  }
  {
    ThreadsEnv env("1000000");  // a typo must not start a million threads
    EXPECT_EQ(rvk::reader::threads_from_env(), 1024u);
  }
}

TEST(FormatDetection, ByContent) {
  using rvk::reader::format_by_content;
  EXPECT_EQ(format_by_content(Bytes{'B', 'Z', 'h'}), StreamFormat::Bzip2);
  EXPECT_EQ(format_by_content(Bytes{0x1F, 0x8B}), StreamFormat::Gzip);
  EXPECT_EQ(format_by_content(Bytes{0x04, 0x22, 0x4D, 0x18}), StreamFormat::Lz4);
  EXPECT_EQ(format_by_content(Bytes{0x5A, 0x2A, 0x4D, 0x18}), StreamFormat::Lz4);  // skippable
  EXPECT_EQ(format_by_content(Bytes{'P', 'K', 3, 4}), StreamFormat::Zip);
  EXPECT_EQ(format_by_content(Bytes{'P', 'K', 5, 6}), StreamFormat::Zip);
  EXPECT_FALSE(format_by_content(Bytes{'B', 'Z'}).has_value());
  EXPECT_FALSE(format_by_content(Bytes{}).has_value());
  EXPECT_FALSE(format_by_content(Bytes{'<', 'm', 'e', 'd'}).has_value());
}

TEST(FormatDetection, DisplayedPathReplacesInvalidUtf8) {
  EXPECT_EQ(rvk::reader::display_path("dir/caf\xc3\xa9.tar"), "dir/caf\xc3\xa9.tar");
  EXPECT_EQ(rvk::reader::display_path("a\xff.tar"), "a\xef\xbf\xbd.tar");
  EXPECT_EQ(rvk::reader::display_path("a\xc3"), "a\xef\xbf\xbd");
}

TEST(FormatDetection, ByName) {
  using rvk::reader::format_by_name;
  EXPECT_EQ(format_by_name("dir/x.GZ"), StreamFormat::Gzip);
  EXPECT_EQ(format_by_name("x.Gz"), StreamFormat::Gzip);
  EXPECT_EQ(format_by_name("a.tgz"), StreamFormat::Gzip);
  EXPECT_EQ(format_by_name("a.b.bz2"), StreamFormat::Bzip2);
  EXPECT_EQ(format_by_name("a.tbz2"), StreamFormat::Bzip2);
  EXPECT_EQ(format_by_name("a.lz4"), StreamFormat::Lz4);
  EXPECT_EQ(format_by_name("a.zip"), StreamFormat::Zip);
  EXPECT_FALSE(format_by_name(".gz").has_value());
  EXPECT_FALSE(format_by_name("dir/.gz").has_value());
  EXPECT_FALSE(format_by_name("x.").has_value());
  EXPECT_FALSE(format_by_name("x.tar").has_value());
  EXPECT_FALSE(format_by_name("gz").has_value());
  EXPECT_FALSE(format_by_name("..").has_value());
  EXPECT_FALSE(format_by_name("x.g\xffz").has_value());
}

// ----- open -----------------------------------------------------------------

TEST(ReaderOpen, UnknownFormatAndZipAreRefused) {
  const fs::path tar = temp_dir() / "x.tar";
  write_file(tar, text_data(100, 1));
  auto unknown = Reader::open(tar.string());
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.error().to_string(), "cannot determine compression format for " + tar.string() +
                                             "; expected a bzip2, gzip, LZ4, or ZIP extension or magic");
  EXPECT_TRUE(unknown.error().is<rvk::Error::UnsupportedFormat>());

  const fs::path zip_named_gz = temp_dir() / "zip.gz";
  write_file(zip_named_gz, Bytes{'P', 'K', 3, 4, 0, 0, 0, 0});
  auto zip = Reader::open(zip_named_gz.string());
  ASSERT_FALSE(zip.ok());
  EXPECT_EQ(zip.error().to_string(), "rvk::Reader supports bzip2, gzip, and LZ4 streams");

  const fs::path dot_gz = temp_dir() / ".gz";
  write_file(dot_gz, text_data(10, 2));
  EXPECT_FALSE(Reader::open(dot_gz.string()).ok());

  auto missing = Reader::open((temp_dir() / "missing.gz").string());
  ASSERT_FALSE(missing.ok());
  ASSERT_TRUE(missing.error().is<rvk::Error::Io>());
  EXPECT_EQ(missing.error().io_cause()->kind, rvk::error::IoKind::NotFound);
}

// ----- decoding -------------------------------------------------------------

struct ToolCase {
  const char* tool;
  const char* name;
  StreamFormat format;
};

class ReaderFormats : public ::testing::TestWithParam<ToolCase> {};

TEST_P(ReaderFormats, DecodesToolOutputWithOneAndEightThreads) {
  const auto& param = GetParam();
  const Bytes data = text_data(3000000, 3);
  const fs::path file = compressed_file(data, param.tool, param.name);
  for (const char* threads : {"1", "8"}) {
    ThreadsEnv env(threads);
    auto reader = Reader::open(file.string());
    ASSERT_TRUE(reader.ok()) << reader.error().to_string();
    EXPECT_EQ(reader->format(), param.format);
    const ReadAll all = read_all(*reader, 1000 + 7);
    ASSERT_FALSE(all.error) << all.error->to_string();
    EXPECT_TRUE(all.bytes == data) << param.tool << " threads " << threads;
    // The end is sticky.
    std::uint8_t one[1];
    EXPECT_EQ(*reader->read(one), 0u);
    EXPECT_EQ(*reader->read(one), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Tools, ReaderFormats,
                         ::testing::Values(ToolCase{"gzip -c", "t.gz", StreamFormat::Gzip},
                                           ToolCase{"bzip2 -c", "t.bz2", StreamFormat::Bzip2},
                                           ToolCase{"lz4 -q -c -B4", "t.lz4", StreamFormat::Lz4},
                                           ToolCase{"gzip -c", "gzip-named.txt", StreamFormat::Gzip}));

// Thousands of tiny streams, members or frames (then bytes no decoder
// takes): a read never spans two chunks, so counting reads counts the
// hand-overs, which must come per batch of bytes, not per stream; the bytes
// before the failure are all delivered first.
TEST(ReaderDecoding, TinyStreamsAreHandedOverInBatches) {
  for (const ToolCase c : {ToolCase{"gzip -c", "tiny.gz", StreamFormat::Gzip},
                           ToolCase{"bzip2 -c", "tiny.bz2", StreamFormat::Bzip2},
                           ToolCase{"lz4 -q -c", "tiny.lz4", StreamFormat::Lz4}}) {
    std::vector<Bytes> texts;
    std::vector<Bytes> units;
    for (unsigned i = 0; i < 16; ++i) {
      texts.push_back(text_data(1 + i * 5, 20 + i));
      units.push_back(read_file(compressed_file(texts.back(), c.tool, c.name)));
    }
    std::mt19937 rng(7);
    Bytes input;
    Bytes expected;
    for (int k = 0; k < 3000; ++k) {
      const unsigned i = rng() % 16;
      input.insert(input.end(), units[i].begin(), units[i].end());
      expected.insert(expected.end(), texts[i].begin(), texts[i].end());
    }
    for (std::uint8_t b : {'J', 'U', 'N', 'K', '!', '!', '!', '!', '!', '!', '!', '!'}) input.push_back(b);
    const fs::path file = temp_dir() / c.name;
    write_file(file, input);
    for (const char* threads : {"1", "8"}) {
      ThreadsEnv env(threads);
      auto reader = Reader::open(file.string());
      ASSERT_TRUE(reader.ok());
      Bytes got;
      std::size_t reads = 0;
      std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
      std::optional<rvk::Error> error;
      for (;;) {
        auto n = reader->read(buffer);
        if (!n.ok()) {
          error = n.error();
          break;
        }
        if (*n == 0) break;
        ++reads;
        got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n));
      }
      EXPECT_TRUE(error.has_value()) << c.name << " threads " << threads;
      EXPECT_TRUE(got == expected) << c.name << " threads " << threads;
      EXPECT_LE(reads, expected.size() / 65536 + 2) << c.name << " threads " << threads;
    }
  }
}

TEST(ReaderDecoding, PlainTextNamedGzFailsOnTheFirstReadAndStaysFailed) {
  const fs::path file = temp_dir() / "plain.gz";
  write_file(file, text_data(5000, 4));
  auto reader = Reader::open(file.string());
  ASSERT_TRUE(reader.ok());
  std::uint8_t buffer[100];
  auto first = reader->read(buffer);
  ASSERT_FALSE(first.ok());
  const auto* io = first.error().io_cause();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->kind, rvk::error::IoKind::InvalidData);
  EXPECT_EQ(io->message.rfind("invalid gzip stream: ", 0), 0u) << io->message;
  auto again = reader->read(buffer);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), first.error());
  // An empty buffer returns 0 without touching the failed state.
  EXPECT_EQ(*reader->read(std::span<std::uint8_t>()), 0u);
}

TEST(ReaderDecoding, EmptyFilesReachTheDecoder) {
  const fs::path gz = temp_dir() / "empty.gz";
  write_file(gz, {});
  auto reader = Reader::open(gz.string());
  ASSERT_TRUE(reader.ok());
  std::uint8_t buffer[8];
  auto r = reader->read(buffer);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "invalid gzip stream: input contains no gzip members");

  const fs::path lz4 = temp_dir() / "empty.lz4";
  write_file(lz4, {});
  auto lz4_reader = Reader::open(lz4.string());
  ASSERT_TRUE(lz4_reader.ok());
  EXPECT_EQ(lz4_reader->read(buffer).error().to_string(), "invalid LZ4 frame: input contains no LZ4 frames");
}

TEST(ReaderDecoding, DataBeforeAFailureIsDelivered) {
  const Bytes data = text_data(2000000, 5);
  const fs::path file = compressed_file(data, "lz4 -q -c -B4", "damaged.lz4");
  Bytes bytes = read_file(file);
  bytes[bytes.size() - 2] ^= 0xFF;  // the content checksum
  write_file(file, bytes);
  ThreadsEnv env("4");
  auto reader = Reader::open(file.string());
  ASSERT_TRUE(reader.ok());
  const ReadAll all = read_all(*reader);
  ASSERT_TRUE(all.error.has_value());
  EXPECT_EQ(all.error->io_cause()->kind, rvk::error::IoKind::InvalidData);
  EXPECT_NE(all.error->to_string().find("content checksum mismatch"), std::string::npos);
  EXPECT_TRUE(all.bytes == data);
}

TEST(ReaderLifecycle, FeederThreadIsNamedAndDroppingMidStreamEndsEveryThread) {
  const Bytes data = text_data(12000000, 6);
  const fs::path file = compressed_file(data, "bzip2 -c -1", "large.bz2");
  ThreadsEnv env("4");
  for (int round = 0; round < 3; ++round) {
    auto opened = Reader::open(file.string());
    ASSERT_TRUE(opened.ok());
    std::optional<Reader> reader(std::move(opened).value());
    std::vector<std::uint8_t> buffer(65536);
    std::size_t got = 0;
    while (got < 1000000) {
      auto n = reader->read(buffer);
      ASSERT_TRUE(n.ok() && *n > 0);
      got += *n;
    }
    EXPECT_TRUE(any_thread_starting_with("rvk-reader"));
    EXPECT_TRUE(any_thread_starting_with("rvk-0")) << "the parallel bzip2 pool should be running";
    // Dropping stops the decoder at its next send or check, and waits for it.
    rvk_test::within(30, [&] { reader.reset(); }, "dropping a reader");
    EXPECT_FALSE(any_thread_starting_with("rvk-")) << "a decoder thread outlived its reader";
  }
}

TEST(ReaderLifecycle, MovedReaderKeepsReading) {
  const Bytes data = text_data(500000, 7);
  const fs::path file = compressed_file(data, "gzip -c", "moved.gz");
  auto opened = Reader::open(file.string());
  ASSERT_TRUE(opened.ok());
  Reader reader = std::move(opened).value();
  std::uint8_t buffer[1000];
  ASSERT_TRUE(reader.read(buffer).ok());
  Reader moved = std::move(reader);
  const ReadAll rest = read_all(moved);
  EXPECT_FALSE(rest.error);
  EXPECT_EQ(rest.bytes.size() + 1000, data.size());
}

}  // namespace

namespace {

TEST(ReaderOpen, NameDecidesWhenContentProvesNothing) {
  const fs::path one = temp_dir() / "x.bz2";
  write_file(one, Bytes{'B'});
  ThreadsEnv env("4");  // the parallel bzip2 path checks the stream header first
  auto reader = Reader::open(one.string());
  ASSERT_TRUE(reader.ok()) << reader.error().to_string();
  EXPECT_EQ(reader->format(), StreamFormat::Bzip2);
  std::uint8_t buffer[16];
  auto r = reader->read(buffer);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().io_cause()->kind, rvk::error::IoKind::InvalidData);
  EXPECT_EQ(r.error().to_string(), "input does not start with a bzip2 BZh1-BZh9 header");
}

}  // namespace

namespace {

// ----- the input changing under the reader ------------------------------------

// The file is changed after the first chunk was read: the feeder is then at
// most one block into the input (it waits for the reader at its first send),
// so every later block meets the change. Whatever the decoder made of the
// lost or rewritten bytes, the change is the reported failure, and no SIGBUS
// ends the process.
TEST(ReaderChanges, AFileCutShortOrRewrittenWhileReadIsReportedAsSuch) {
  const Bytes data = text_data(6000000, 8);
  struct Case {
    const char* tool;
    const char* name;
  };
  for (const Case c : {Case{"bzip2 -c -9", "cut.bz2"}, Case{"gzip -c", "cut.gz"}, Case{"lz4 -q -c -B4", "cut.lz4"}}) {
    const fs::path file = compressed_file(data, c.tool, c.name);
    const Bytes original = read_file(file);
    for (const char* threads : {"1", "8"}) {
      for (const bool cut : {true, false}) {
        write_file(file, original);
        ThreadsEnv env(threads);
        auto reader = Reader::open(file.string());
        ASSERT_TRUE(reader.ok());
        std::uint8_t first[1];
        ASSERT_TRUE(reader->read(first).ok());
        if (cut) {
          fs::resize_file(file, original.size() / 3);
        } else {
          Bytes other = original;
          for (std::size_t i = other.size() / 3; i < other.size(); ++i) other[i] = static_cast<std::uint8_t>(i);
          std::ofstream out(file, std::ios::binary | std::ios::in | std::ios::out);
          out.write(reinterpret_cast<const char*>(other.data()), static_cast<std::streamsize>(other.size()));
        }
        const ReadAll all = read_all(*reader);
        ASSERT_TRUE(all.error.has_value()) << c.name << " threads " << threads;
        const std::string expected =
            cut ? "the input file was cut short while it was read (from " + std::to_string(original.size()) +
                      " to " + std::to_string(original.size() / 3) + " bytes)"
                : "the input file changed while it was read";
        EXPECT_EQ(all.error->to_string(), expected) << c.name << " threads " << threads;
      }
    }
  }
}

TEST(ReaderOpen, OnlyRegularFilesAreOpened) {
  const fs::path fifo = temp_dir() / "pipe.gz";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // No writer: opening must not wait for one.
  rvk_test::within(10, [&] {
    auto reader = Reader::open(fifo.string());
    ASSERT_FALSE(reader.ok());
    EXPECT_EQ(reader.error().to_string(), "a compressed input must be a regular file, not a FIFO");
  }, "opening a FIFO");
  auto dir = Reader::open(temp_dir().string() + "/");
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().to_string(), "Is a directory (os error 21)");
}

}  // namespace

namespace {

// verify_read decodes on until what was read has passed its check: a gzip
// member's CRC comes after its bytes, so damage shows there; a bzip2 block
// is checked before its bytes go out, so nothing more is decoded.
TEST(ReaderVerify, WhatWasReadIsCheckedBeforeTheReaderBlamesIt) {
  const Bytes data = text_data(3000000, 9);
  struct Case {
    const char* tool;
    const char* name;
    bool damage;
    const char* expected;  // prefix of the error, or "" for success
  };
  for (const Case c : {Case{"gzip -c", "v.gz", true, "invalid gzip stream: "},
                       Case{"gzip -c", "v.gz", false, ""},
                       Case{"bzip2 -c", "v.bz2", false, ""},
                       Case{"lz4 -q -c -B4", "v.lz4", true, "invalid LZ4 frame: "}}) {
    const fs::path file = compressed_file(data, c.tool, c.name);
    if (c.damage) {
      Bytes bytes = read_file(file);
      bytes[bytes.size() - 6] ^= 0x10;  // the stored CRC or checksum
      write_file(file, bytes);
    }
    for (const char* threads : {"1", "8"}) {
      ThreadsEnv env(threads);
      auto reader = Reader::open(file.string());
      ASSERT_TRUE(reader.ok());
      std::vector<std::uint8_t> buffer(1000);
      ASSERT_TRUE(reader->read(buffer).ok());
      auto checked = reader->verify_read();
      if (*c.expected) {
        ASSERT_FALSE(checked.ok()) << c.name;
        EXPECT_EQ(checked.error().to_string().rfind(c.expected, 0), 0u) << checked.error().to_string();
        EXPECT_EQ(reader->read(buffer).error(), checked.error()) << "the failure is sticky";
      } else {
        EXPECT_TRUE(checked.ok()) << c.name << ": " << checked.error().to_string();
      }
    }
  }
}

}  // namespace
