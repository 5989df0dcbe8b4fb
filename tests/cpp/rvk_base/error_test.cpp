// Display texts, causes and I/O conversions of rvk::error::Error: the texts
// reach users verbatim, so every variant is checked against its exact message.
#include <gtest/gtest.h>

#include "rvk/error.hpp"
#include "rvk/result.hpp"

namespace {

using rvk::error::DecodeError;
using rvk::error::Error;
using rvk::error::IoError;
using rvk::error::IoKind;

TEST(ErrorDisplay, EveryVariantHasItsExactText) {
  EXPECT_EQ(Error::unexpected_eof(80, 32, 5).to_string(),
            "unexpected end of input at bit 80: requested 32 bits, 5 remain");
  EXPECT_EQ(Error::invalid_stream_header().to_string(),
            "input does not start with a bzip2 BZh1-BZh9 header");
  EXPECT_EQ(Error::invalid_gzip("at byte 3: bad").to_string(), "invalid gzip stream: at byte 3: bad");
  EXPECT_EQ(Error::invalid_lz4("bad magic").to_string(), "invalid LZ4 frame: bad magic");
  EXPECT_EQ(Error::unsupported_format("no such format").to_string(), "no such format");
  EXPECT_EQ(Error::decode(1234, DecodeError::CrcMismatch).to_string(),
            "bzip2 decode error at bit 1234: bzip2 CRC mismatch");
  EXPECT_EQ(Error::invalid_configuration("memory limit must be at least 46620004 bytes").to_string(),
            "invalid configuration: memory limit must be at least 46620004 bytes");
  EXPECT_EQ(Error::reader_stopped().to_string(), "output reader stopped reading");
}

TEST(ErrorDisplay, DecodeErrorTexts) {
  const std::pair<DecodeError, const char*> cases[] = {
      {DecodeError::InvalidMagic, "invalid bzip2 magic"},
      {DecodeError::InvalidLevel, "invalid bzip2 block size"},
      {DecodeError::Truncated, "unexpected end of bzip2 stream"},
      {DecodeError::CrcMismatch, "bzip2 CRC mismatch"},
      {DecodeError::RandomizedBlock, "legacy randomized bzip2 block not supported"},
      {DecodeError::InvalidHuffman, "invalid bzip2 Huffman table"},
      {DecodeError::InvalidBlock, "invalid bzip2 block structure"},
      {DecodeError::BlockOverflow, "bzip2 block exceeds its declared size"},
  };
  for (auto [error, text] : cases) EXPECT_EQ(rvk::error::to_string(error), text);
  EXPECT_EQ(sizeof(DecodeError), 1u);
}

TEST(ErrorKinds, KindFollowsDeclaredOrder) {
  EXPECT_EQ(Error::unexpected_eof(0, 0, 0).kind(), Error::Kind::UnexpectedEof);
  EXPECT_EQ(Error::decode(0, DecodeError::Truncated).kind(), Error::Kind::Decode);
  EXPECT_EQ(static_cast<int>(Error::io(IoKind::Other, "x").kind()), 7);
  EXPECT_TRUE(Error::invalid_gzip("x").is<Error::InvalidGzip>());
  EXPECT_EQ(Error::decode(9, DecodeError::Truncated).as<Error::Decode>().bit_offset, 9u);
}

TEST(ErrorCause, OnlyIoAndDecodeHaveOne) {
  const Error decode = Error::decode(1234, DecodeError::CrcMismatch);
  ASSERT_TRUE(decode.decode_cause().has_value());
  EXPECT_EQ(*decode.cause_text(), "bzip2 CRC mismatch");
  EXPECT_EQ(decode.io_cause(), nullptr);

  const Error io = Error::io(IoKind::BrokenPipe, "gone");
  ASSERT_NE(io.io_cause(), nullptr);
  EXPECT_EQ(io.io_cause()->kind, IoKind::BrokenPipe);
  EXPECT_EQ(*io.cause_text(), "gone");

  EXPECT_FALSE(Error::invalid_stream_header().cause_text().has_value());
  EXPECT_FALSE(Error::unsupported_format("x").cause_text().has_value());
  EXPECT_FALSE(Error::invalid_configuration("x").decode_cause().has_value());
}

TEST(ErrorDebug, NamesVariantAndFields) {
  EXPECT_EQ(Error::unexpected_eof(80, 32, 5).debug_string(),
            "UnexpectedEof { bit_offset: 80, requested: 32, remaining: 5 }");
  EXPECT_EQ(Error::decode(7, DecodeError::Truncated).debug_string(),
            "Decode { bit_offset: 7, source: Truncated }");
  EXPECT_EQ(Error::invalid_lz4("x").debug_string(), "InvalidLz4(\"x\")");
  EXPECT_EQ(Error::invalid_stream_header().debug_string(), "InvalidStreamHeader");
}

TEST(ErrorToIo, ConversionForStreamReaders) {
  const IoError io{IoKind::NotFound, "No such file or directory (os error 2)"};
  EXPECT_EQ(Error::io(io).to_io_error(), io);

  const IoError config = Error::invalid_configuration("parallel decoder stopped early").to_io_error();
  EXPECT_EQ(config.kind, IoKind::InvalidInput);
  EXPECT_EQ(config.message, "parallel decoder stopped early");

  const IoError data = Error::decode(1234, DecodeError::CrcMismatch).to_io_error();
  EXPECT_EQ(data.kind, IoKind::InvalidData);
  EXPECT_EQ(data.message, "bzip2 decode error at bit 1234: bzip2 CRC mismatch");
  EXPECT_EQ(Error::unsupported_format("plain").to_io_error().message, "plain");
}

TEST(IoErrors, FromErrnoKeepsCodeAndKind) {
  const IoError e = IoError::from_errno(ENOENT);
  EXPECT_EQ(e.kind, IoKind::NotFound);
  EXPECT_NE(e.message.find("(os error 2)"), std::string::npos);
  EXPECT_EQ(IoError::from_errno(EPIPE).kind, IoKind::BrokenPipe);
  EXPECT_EQ(IoError::from_errno(EIO).kind, IoKind::Other);
}

rvk::Result<int> half(int v) {
  if (v % 2 != 0) return Error::invalid_configuration("odd");
  return v / 2;
}

rvk::Result<int> quarter(int v) {
  RVK_TRY_ASSIGN(int h, half(v));
  RVK_TRY_ASSIGN(int q, half(h));
  return q;
}

rvk::Result<void> check_even(int v) {
  RVK_TRY(half(v));
  return {};
}

TEST(ResultType, ValuesErrorsAndEarlyReturns) {
  EXPECT_EQ(*quarter(12), 3);
  const auto bad = quarter(6);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().to_string(), "invalid configuration: odd");
  EXPECT_TRUE(check_even(4).ok());
  EXPECT_FALSE(check_even(5).ok());
  // Reading the wrong side is a violated invariant, not a silent default.
  EXPECT_THROW((void)bad.value(), rvk::Panic);
  EXPECT_THROW((void)check_even(4).error(), rvk::Panic);
}

}  // namespace
