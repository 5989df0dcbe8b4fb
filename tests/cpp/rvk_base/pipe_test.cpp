// The byte pipe and the outcome channel: rendezvous hand-over, the reader
// going away at every point a decoder can meet it, and drain().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>

#include "rvk/pipe.hpp"
#include "timeout.hpp"

namespace {

using namespace rvk::output;
using rvk::Error;
using rvk::Result;
using rvk::error::IoKind;
using rvk_test::within;

Bytes iota_bytes(std::size_t n, std::uint8_t first = 0) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

void expect_broken_pipe(const Result<void>& r) {
  ASSERT_FALSE(r.ok());
  ASSERT_TRUE(r.error().is<Error::Io>());
  EXPECT_EQ(r.error().as<Error::Io>().error.kind, IoKind::BrokenPipe);
  EXPECT_EQ(r.error().to_string(), "output reader stopped reading");
}

TEST(Pipe, SendWaitsUntilTheReaderTakesTheChunk) {
  within(10, [] {
    auto [writer, reader] = make_pipe();
    std::atomic<bool> sent{false};
    std::thread sender([&, w = std::move(writer)]() mutable {
      EXPECT_TRUE(w.send(iota_bytes(10), 3).ok());
      sent = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(sent.load()) << "a rendezvous send must not complete before the reader takes the chunk";
    auto chunk = reader.receive();
    ASSERT_TRUE(chunk.has_value());
    EXPECT_EQ(chunk->start, 3u);
    EXPECT_EQ(chunk->bytes, iota_bytes(10));
    sender.join();
    EXPECT_TRUE(sent.load());
    // The writer went with the thread: the stream ends.
    EXPECT_FALSE(reader.receive().has_value());
  });
}

// A mark counts every chunk handed over before it, and only those: a piece
// still in the batch is not among them until the batch goes out.
TEST(Pipe, MarkVerifiedCountsTheChunksHandedOverBeforeIt) {
  within(10, [] {
    auto [writer, reader] = make_pipe();
    std::thread sender([&w = writer] {
      EXPECT_TRUE(w.send(iota_bytes(100)).ok());
      w.mark_verified();
      EXPECT_TRUE(w.send_batched(iota_bytes(10)).ok());
      w.mark_verified();
      EXPECT_TRUE(w.flush().ok());
    });
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(reader.receive().has_value());
    sender.join();
    EXPECT_EQ(reader.received(), 2u);
    EXPECT_EQ(reader.verified(), 1u);
    writer.mark_verified();
    EXPECT_EQ(reader.verified(), 2u);
    writer.mark_verified();
    EXPECT_EQ(reader.verified(), 2u);
  });
}

TEST(Pipe, EmptyAndInvalidStarts) {
  auto [writer, reader] = make_pipe();
  // Nothing to deliver: succeeds without waiting for a reader.
  EXPECT_TRUE(writer.send(iota_bytes(4), 4).ok());
  EXPECT_TRUE(writer.send(Bytes{}, 0).ok());
  const auto bad = writer.send(iota_bytes(4), 5);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().as<Error::Io>().error.kind, IoKind::InvalidInput);
  EXPECT_EQ(bad.error().to_string(), "owned chunk start exceeds its length");
  writer.close();
  EXPECT_FALSE(reader.receive().has_value()) << "empty sends must not reach the reader";
}

TEST(Pipe, SendAfterTheReaderIsGone) {
  auto [writer, reader] = make_pipe();
  EXPECT_FALSE(writer.reader_stopped());
  EXPECT_TRUE(writer.check_reader().ok());
  reader.close();
  EXPECT_TRUE(writer.reader_stopped());
  EXPECT_TRUE(writer.reader_stopped_flag().load());
  expect_broken_pipe(writer.check_reader());
  expect_broken_pipe(writer.send(iota_bytes(3)));
}

TEST(Pipe, ReaderGoingAwayReleasesABlockedSend) {
  for (int round = 0; round < 50; ++round) {
    within(10, [&] {
      auto [writer, reader] = make_pipe();
      Result<void> outcome;
      std::thread sender([&, w = std::move(writer)]() mutable {
        outcome = w.send(iota_bytes(100));
      });
      if (round % 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
      reader.close();
      sender.join();
      expect_broken_pipe(outcome);
    });
  }
}

TEST(Pipe, ReadNeverSpansTwoChunks) {
  within(10, [] {
    auto [writer, reader] = make_pipe();
    std::thread sender([w = std::move(writer)]() mutable {
      EXPECT_TRUE(w.send(iota_bytes(5, 0)).ok());
      EXPECT_TRUE(w.send(iota_bytes(5, 100), 2).ok());
    });
    std::uint8_t buf[8];
    EXPECT_EQ(reader.read(std::span(buf, 0)), 0u);
    EXPECT_EQ(reader.read(buf), 5u);
    EXPECT_EQ(buf[4], 4);
    EXPECT_EQ(reader.read(std::span(buf, 2)), 2u);
    EXPECT_EQ(buf[0], 102);
    EXPECT_EQ(reader.read(buf), 1u);
    EXPECT_EQ(buf[0], 104);
    EXPECT_EQ(reader.read(buf), 0u);
    sender.join();
  });
}

TEST(Oneshot, DeliversOneValueOrReportsAGoneSender) {
  {
    auto [tx, rx] = make_oneshot<Result<void>>();
    EXPECT_TRUE(tx.send(Error::invalid_lz4("bad")));
    EXPECT_FALSE(tx.send(Result<void>{})) << "the slot holds one value";
    auto got = rx.receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->error().to_string(), "invalid LZ4 frame: bad");
  }
  {
    auto [tx, rx] = make_oneshot<int>();
    within(10, [&] {
      std::thread dropper([t = std::move(tx)]() mutable { t.release(); });
      EXPECT_FALSE(rx.receive().has_value());
      dropper.join();
    });
  }
  {
    auto [tx, rx] = make_oneshot<int>();
    rx.release();
    EXPECT_FALSE(tx.send(1));
  }
}

TEST(Drain, CollectsEveryChunkThenTheOutcome) {
  const auto drained = drain([](PipeWriter& w) -> Result<void> {
    for (int i = 0; i < 10; ++i) RVK_TRY(w.send(iota_bytes(1000, static_cast<std::uint8_t>(i))));
    return Error::invalid_gzip("trailer mismatch");
  });
  EXPECT_EQ(drained.chunks, 10u);
  EXPECT_EQ(drained.bytes.size(), 10000u);
  EXPECT_EQ(drained.bytes[1000], 1);
  ASSERT_FALSE(drained.outcome.ok());
  EXPECT_EQ(drained.outcome.error().to_string(), "invalid gzip stream: trailer mismatch");
}

TEST(Drain, StoppedReaderStopsTheDecoder) {
  within(20, [] {
    std::atomic<int> sends{0};
    const auto drained = drain(
        [&](PipeWriter& w) -> Result<void> {
          for (;;) {  // would run forever without the reader-gone checks
            RVK_TRY(w.check_reader());
            RVK_TRY(w.send(iota_bytes(100)));
            ++sends;
          }
        },
        250);
    expect_broken_pipe(drained.outcome);
    EXPECT_GE(drained.bytes.size(), 250u);
    EXPECT_LE(sends.load(), 4);
  });
}

TEST(Drain, AnExceptionBecomesAnIoError) {
  const auto drained = drain([](PipeWriter&) -> Result<void> { throw std::runtime_error("bug"); });
  ASSERT_FALSE(drained.outcome.ok());
  EXPECT_EQ(drained.outcome.error().to_string(), "rvk decoder worker panicked");
}

}  // namespace

namespace {

TEST(BufferBin, ReaderReturnsSpentBuffersForReuse) {
  within(10, [] {
    auto [writer, reader] = make_pipe();
    auto bin = writer.buffer_bin();
    std::thread sender([w = std::move(writer)]() mutable {
      EXPECT_TRUE(w.send(Bytes(100000, 1)).ok());
      EXPECT_TRUE(w.send(Bytes(10, 2)).ok());
    });
    std::vector<std::uint8_t> out(200000);
    EXPECT_EQ(reader.read(out), 100000u);
    EXPECT_TRUE(bin->take(1).empty()) << "the buffer being read is not spent yet";
    EXPECT_EQ(reader.read(out), 10u);  // the first buffer is spent now
    sender.join();
    Bytes reused = bin->take(100000);
    EXPECT_GE(reused.capacity(), 100000u);
    EXPECT_TRUE(bin->take(1).empty());
  });
}

TEST(BufferBin, KeepsOnlyLargeBuffersWithinItsLimit) {
  BufferBin bin(300000);
  bin.give(Bytes(1000));  // too small to be worth keeping
  EXPECT_TRUE(bin.take(0).empty());
  bin.give(Bytes(200000));
  bin.give(Bytes(200000));  // over the limit: released
  EXPECT_TRUE(bin.take(300000).empty()) << "no buffer is large enough";
  EXPECT_EQ(bin.take(150000).capacity(), 200000u);
  EXPECT_TRUE(bin.take(0).empty());
}

}  // namespace
