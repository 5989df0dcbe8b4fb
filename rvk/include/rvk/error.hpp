// The one error type of the decompression library.
//
// Every fallible operation of rvk returns an `rvk::error::Error` (usually
// inside an `rvk::Result<T>`, see result.hpp). The set of variants is closed
// and each variant carries exactly the data its message needs, so callers can
// match on the kind and the product layer can wrap the display text in its own
// context chain. Nothing here throws; errors are plain values that are moved,
// never shared.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace rvk::error {

// Why a bzip2 stream was refused; travels inside `Error::Decode` together with
// the bit position (most significant bit first) where the fault was found.
enum class DecodeError : std::uint8_t {
  InvalidMagic = 0,
  InvalidLevel = 1,
  Truncated = 2,
  CrcMismatch = 3,
  RandomizedBlock = 4,
  InvalidHuffman = 5,
  InvalidBlock = 6,
  BlockOverflow = 7,
};

// The fixed display text of a DecodeError, e.g. "bzip2 CRC mismatch".
std::string_view to_string(DecodeError error) noexcept;
// The variant's name, e.g. "CrcMismatch" (the debug form).
std::string_view debug_string(DecodeError error) noexcept;

// The kind of a platform I/O error. Only the kinds the library produces or
// must tell apart are listed; everything else from the OS maps to Other.
enum class IoKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  InvalidInput,
  InvalidData,
  BrokenPipe,
  UnexpectedEof,
  Interrupted,
  OutOfMemory,
  Other,
};

// The kind's name, e.g. "BrokenPipe".
std::string_view to_string(IoKind kind) noexcept;

// A platform I/O error: a kind and a message. The message is the whole
// display text (for OS errors: the strerror text and " (os error N)").
struct IoError {
  IoKind kind = IoKind::Other;
  std::string message;

  // The error for an errno value, its kind derived from the code.
  static IoError from_errno(int code);

  const std::string& to_string() const noexcept { return message; }
  // "Custom { kind: BrokenPipe, error: \"...\" }"-like debug form.
  std::string debug_string() const;

  friend bool operator==(const IoError&, const IoError&) = default;
};

// The broken-pipe message of a byte pipe whose reader went away; decoders
// that see the reader-stopped flag stop with this very error.
inline constexpr std::string_view kReaderStoppedMessage = "output reader stopped reading";

// The message of an allocation failure (kind OutOfMemory).
inline constexpr std::string_view kOutOfMemoryMessage = "out of memory";

class Error {
 public:
  // Fields in declared order; counts and bit positions are unsigned 64-bit.
  struct UnexpectedEof {
    std::uint64_t bit_offset = 0;
    std::uint64_t requested = 0;  // bits asked for
    std::uint64_t remaining = 0;  // bits left after bit_offset
    friend bool operator==(const UnexpectedEof&, const UnexpectedEof&) = default;
  };
  struct InvalidStreamHeader {
    friend bool operator==(const InvalidStreamHeader&, const InvalidStreamHeader&) = default;
  };
  struct InvalidGzip {
    std::string text;
    friend bool operator==(const InvalidGzip&, const InvalidGzip&) = default;
  };
  struct InvalidLz4 {
    std::string text;
    friend bool operator==(const InvalidLz4&, const InvalidLz4&) = default;
  };
  struct UnsupportedFormat {
    std::string text;
    friend bool operator==(const UnsupportedFormat&, const UnsupportedFormat&) = default;
  };
  struct Decode {
    std::uint64_t bit_offset = 0;
    DecodeError source = DecodeError::InvalidMagic;
    friend bool operator==(const Decode&, const Decode&) = default;
  };
  struct InvalidConfiguration {
    std::string text;
    friend bool operator==(const InvalidConfiguration&, const InvalidConfiguration&) = default;
  };
  struct Io {
    IoError error;
    friend bool operator==(const Io&, const Io&) = default;
  };

  // Alternative order is the variant order: Kind values equal the indices.
  using Variant = std::variant<UnexpectedEof, InvalidStreamHeader, InvalidGzip, InvalidLz4,
                               UnsupportedFormat, Decode, InvalidConfiguration, Io>;
  enum class Kind : std::uint8_t {
    UnexpectedEof = 0,
    InvalidStreamHeader = 1,
    InvalidGzip = 2,
    InvalidLz4 = 3,
    UnsupportedFormat = 4,
    Decode = 5,
    InvalidConfiguration = 6,
    Io = 7,
  };

  // Builds an error from one of the alternatives above.
  template <class V>
    requires std::is_constructible_v<Variant, V&&> &&
             (!std::is_same_v<std::remove_cvref_t<V>, Error>)
  Error(V&& alternative) : value_(std::forward<V>(alternative)) {}  // NOLINT: implicit on purpose

  static Error unexpected_eof(std::uint64_t bit_offset, std::uint64_t requested,
                              std::uint64_t remaining) {
    return Error(UnexpectedEof{bit_offset, requested, remaining});
  }
  static Error invalid_stream_header() { return Error(InvalidStreamHeader{}); }
  static Error invalid_gzip(std::string text) { return Error(InvalidGzip{std::move(text)}); }
  static Error invalid_lz4(std::string text) { return Error(InvalidLz4{std::move(text)}); }
  static Error unsupported_format(std::string text) {
    return Error(UnsupportedFormat{std::move(text)});
  }
  static Error decode(std::uint64_t bit_offset, DecodeError source) {
    return Error(Decode{bit_offset, source});
  }
  static Error invalid_configuration(std::string text) {
    return Error(InvalidConfiguration{std::move(text)});
  }
  static Error io(IoError error) { return Error(Io{std::move(error)}); }
  static Error io(IoKind kind, std::string message) {
    return Error(Io{IoError{kind, std::move(message)}});
  }
  // The Io error of the out-of-memory kind: an allocation failed.
  static Error out_of_memory() { return io(IoKind::OutOfMemory, std::string(kOutOfMemoryMessage)); }
  // The Io error "output reader stopped reading" of the broken-pipe kind.
  static Error reader_stopped() {
    return io(IoKind::BrokenPipe, std::string(kReaderStoppedMessage));
  }

  Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
  template <class V>
  bool is() const noexcept {
    return std::holds_alternative<V>(value_);
  }
  // Precondition: is<V>().
  template <class V>
  const V& as() const {
    return std::get<V>(value_);
  }
  const Variant& variant() const noexcept { return value_; }

  // The display text, e.g. "bzip2 decode error at bit 1234: bzip2 CRC mismatch".
  std::string to_string() const;
  // The debug form: the variant's name with its fields; nothing parses it.
  std::string debug_string() const;

  // The underlying cause: Io gives its IoError, Decode its DecodeError, every
  // other variant none.
  const IoError* io_cause() const noexcept;
  std::optional<DecodeError> decode_cause() const noexcept;
  // The display text of the cause, if there is one.
  std::optional<std::string> cause_text() const;

  // The I/O error a reader of the decoded stream reports for this error: Io
  // passes through unchanged, InvalidConfiguration becomes InvalidInput with
  // its bare text (no "invalid configuration: "), every other variant becomes
  // InvalidData with the display text.
  IoError to_io_error() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Variant value_;
};

}  // namespace rvk::error
