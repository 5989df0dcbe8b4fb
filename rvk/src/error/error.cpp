// Display texts, debug forms and conversions of the library's error type.
//
// The texts are part of the library's interface (readers of the decoded
// stream see them as I/O error messages), so they live in one place here.
#include "rvk/error.hpp"

#include <cerrno>
#include <cstring>
#include <string>

namespace rvk::error {

std::string_view to_string(DecodeError error) noexcept {
  switch (error) {
    case DecodeError::InvalidMagic: return "invalid bzip2 magic";
    case DecodeError::InvalidLevel: return "invalid bzip2 block size";
    case DecodeError::Truncated: return "unexpected end of bzip2 stream";
    case DecodeError::CrcMismatch: return "bzip2 CRC mismatch";
    case DecodeError::RandomizedBlock: return "legacy randomized bzip2 block not supported";
    case DecodeError::InvalidHuffman: return "invalid bzip2 Huffman table";
    case DecodeError::InvalidBlock: return "invalid bzip2 block structure";
    case DecodeError::BlockOverflow: return "bzip2 block exceeds its declared size";
  }
  return "unknown bzip2 decode error";
}

std::string_view debug_string(DecodeError error) noexcept {
  switch (error) {
    case DecodeError::InvalidMagic: return "InvalidMagic";
    case DecodeError::InvalidLevel: return "InvalidLevel";
    case DecodeError::Truncated: return "Truncated";
    case DecodeError::CrcMismatch: return "CrcMismatch";
    case DecodeError::RandomizedBlock: return "RandomizedBlock";
    case DecodeError::InvalidHuffman: return "InvalidHuffman";
    case DecodeError::InvalidBlock: return "InvalidBlock";
    case DecodeError::BlockOverflow: return "BlockOverflow";
  }
  return "Unknown";
}

std::string_view to_string(IoKind kind) noexcept {
  switch (kind) {
    case IoKind::NotFound: return "NotFound";
    case IoKind::PermissionDenied: return "PermissionDenied";
    case IoKind::InvalidInput: return "InvalidInput";
    case IoKind::InvalidData: return "InvalidData";
    case IoKind::BrokenPipe: return "BrokenPipe";
    case IoKind::UnexpectedEof: return "UnexpectedEof";
    case IoKind::Interrupted: return "Interrupted";
    case IoKind::OutOfMemory: return "OutOfMemory";
    case IoKind::Other: return "Other";
  }
  return "Other";
}

IoError IoError::from_errno(int code) {
  IoKind kind = IoKind::Other;
  switch (code) {
    case ENOENT: kind = IoKind::NotFound; break;
    case EACCES:
    case EPERM: kind = IoKind::PermissionDenied; break;
    case EINVAL: kind = IoKind::InvalidInput; break;
    case EPIPE: kind = IoKind::BrokenPipe; break;
    case EINTR: kind = IoKind::Interrupted; break;
    case ENOMEM: kind = IoKind::OutOfMemory; break;
    default: break;
  }
  char buffer[256];
  // GNU strerror_r returns the text (which may or may not use the buffer).
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return IoError{kind, std::string(text) + " (os error " + std::to_string(code) + ")"};
}

std::string IoError::debug_string() const {
  return "Custom { kind: " + std::string(error::to_string(kind)) + ", error: \"" + message + "\" }";
}

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::string Error::to_string() const {
  return std::visit(
      Overloaded{
          [](const UnexpectedEof& e) {
            return "unexpected end of input at bit " + std::to_string(e.bit_offset) + ": requested " +
                   std::to_string(e.requested) + " bits, " + std::to_string(e.remaining) + " remain";
          },
          [](const InvalidStreamHeader&) {
            return std::string("input does not start with a bzip2 BZh1-BZh9 header");
          },
          [](const InvalidGzip& e) { return "invalid gzip stream: " + e.text; },
          [](const InvalidLz4& e) { return "invalid LZ4 frame: " + e.text; },
          [](const UnsupportedFormat& e) { return e.text; },
          [](const Decode& e) {
            return "bzip2 decode error at bit " + std::to_string(e.bit_offset) + ": " +
                   std::string(error::to_string(e.source));
          },
          [](const InvalidConfiguration& e) { return "invalid configuration: " + e.text; },
          [](const Io& e) { return e.error.message; },
      },
      value_);
}

std::string Error::debug_string() const {
  return std::visit(
      Overloaded{
          [](const UnexpectedEof& e) {
            return "UnexpectedEof { bit_offset: " + std::to_string(e.bit_offset) +
                   ", requested: " + std::to_string(e.requested) +
                   ", remaining: " + std::to_string(e.remaining) + " }";
          },
          [](const InvalidStreamHeader&) { return std::string("InvalidStreamHeader"); },
          [](const InvalidGzip& e) { return "InvalidGzip(" + quoted(e.text) + ")"; },
          [](const InvalidLz4& e) { return "InvalidLz4(" + quoted(e.text) + ")"; },
          [](const UnsupportedFormat& e) { return "UnsupportedFormat(" + quoted(e.text) + ")"; },
          [](const Decode& e) {
            return "Decode { bit_offset: " + std::to_string(e.bit_offset) +
                   ", source: " + std::string(error::debug_string(e.source)) + " }";
          },
          [](const InvalidConfiguration& e) {
            return "InvalidConfiguration(" + quoted(e.text) + ")";
          },
          [](const Io& e) { return "Io(" + e.error.debug_string() + ")"; },
      },
      value_);
}

const IoError* Error::io_cause() const noexcept {
  if (const auto* io = std::get_if<Io>(&value_)) return &io->error;
  return nullptr;
}

std::optional<DecodeError> Error::decode_cause() const noexcept {
  if (const auto* decode = std::get_if<Decode>(&value_)) return decode->source;
  return std::nullopt;
}

std::optional<std::string> Error::cause_text() const {
  if (const IoError* io = io_cause()) return io->message;
  if (auto decode = decode_cause()) return std::string(error::to_string(*decode));
  return std::nullopt;
}

IoError Error::to_io_error() const {
  if (const IoError* io = io_cause()) return *io;
  if (const auto* config = std::get_if<InvalidConfiguration>(&value_)) {
    return IoError{IoKind::InvalidInput, config->text};
  }
  return IoError{IoKind::InvalidData, to_string()};
}

}  // namespace rvk::error
