// Input files of the dataset stages: one place decides, by the file name
// alone, whether an input is compressed. Files whose extension is exactly
// "gz" or "bz2" go to the decompression library's reader; every other file
// is read as it is.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "corpuswright/error.hpp"

namespace corpuswright::stages {

// A source of bytes. `read` fills up to `n` bytes and returns how many it
// gave; 0 means the end of the input. Errors are values.
class ByteReader {
public:
    virtual ~ByteReader() = default;
    virtual Result<std::size_t> read(char* buf, std::size_t n) = 0;
};

// The extension of the path's last component: the text after its last "."
// (none when the name has no ".", when its only "." is its first character,
// or when the component is ".." or empty). A trailing "/" is not a component.
std::string_view path_extension(std::string_view path);

// Opens an input for reading. A failure to open it, plain or compressed,
// carries the context "opening <path>".
Result<std::unique_ptr<ByteReader>> open_input(const std::string& path);

}  // namespace corpuswright::stages
