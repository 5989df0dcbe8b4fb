// Input files of the dataset stages: one place decides, by the file name
// alone, whether an input is compressed. Files whose extension is exactly
// "gz" or "bz2" go to the decompression library's reader; every other file
// is read as it is.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "corpuswright/error.hpp"
#include "corpuswright/stages/stop.hpp"

namespace corpuswright::stages {

// A source of bytes. `read` fills up to `n` bytes and returns how many it
// gave; 0 means the end of the input. Errors are values.
class ByteReader {
public:
    virtual ~ByteReader() = default;
    virtual Result<std::size_t> read(char* buf, std::size_t n) = 0;
    // Finishes checking what was read against the input's own integrity
    // checks (a compressed member's CRC comes after its bytes); the input's
    // error, if that check fails. A reader that found the bytes wrong asks
    // before blaming them; the input is not read further afterwards.
    virtual Result<void> verify_read() { return Ok{}; }
};

// The extension of the path's last component: the text after its last "."
// (none when the name has no ".", when its only "." is its first character,
// or when the component is ".." or empty). A trailing "/" is not a component.
std::string_view path_extension(std::string_view path);

// Whether `open_input` decodes the file: its extension is exactly "gz" or "bz2".
bool decoded_by_name(std::string_view path);

// The context of every error about a file argument: "<verb> <argument>
// <path>" ("reading xml /data/dump.xml"), or "<verb> <path>" without an
// argument name. The error's own text follows it.
std::string file_context(std::string_view verb, std::string_view argument, std::string_view path);

// Opens an input for reading. A failure to open it, plain or compressed,
// carries the context "opening <argument> <path>"; a directory is refused
// there rather than failing at its first read. A read that waits (a pipe
// whose writer stalls) fails with `interrupted()` within a fraction of a
// second of `stop` being set.
Result<std::unique_ptr<ByteReader>> open_input(const std::string& path, std::string_view argument = {},
                                               const std::atomic<bool>* stop = nullptr);

// Opens a plain file for reading, refusing a directory with the system's
// "Is a directory"; the error carries no context. The descriptor is
// non-blocking (a FIFO is opened without waiting for its writer): read it
// with `read_some`. A relative path is taken from the working directory at
// the start of the call (call_paths.hpp).
Result<int> open_for_reading(const std::string& path);

// Reads up to `n` bytes from `fd` as `read` does (0 at the end), waiting
// while nothing is there yet, but looking at `stop` every few hundredths
// of a second meanwhile.
Result<std::size_t> read_some(int fd, char* buf, std::size_t n, const std::atomic<bool>* stop);

// The compression format whose magic bytes `start` (a file's first bytes)
// begins with: "gzip", "bzip2", "xz", "zstd", "LZ4", "ZIP" or "7-Zip";
// empty for none. Files read as they are would otherwise be reported with
// messages about their binary content.
std::string_view compression_magic(std::string_view start);

// What to say of an input whose first bytes are the magic of `format`:
// that it looks compressed, and which names are decoded. `decoded` tells
// that the bytes are already the decoded content of a compressed file.
std::string looks_compressed_message(std::string_view format, bool decoded);

}  // namespace corpuswright::stages
