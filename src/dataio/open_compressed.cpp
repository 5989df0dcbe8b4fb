// Compressed inputs through the decompression library's stream reader. A
// failure to open one names the path, as for a plain file: the library's
// own text ("No such file or directory") does not say which file. Decoding
// errors keep their own text: they come from reads of an input already
// named when it was opened.
#include "open_compressed.hpp"

#include <span>

#include "rvk/reader.hpp"

namespace corpuswright::stages {
namespace {

// The library's error as a product error: an allocation failure keeps its
// kind (MemoryError in Python), everything else is an input failure.
Error from_library(const rvk::Error& err) {
    const rvk::error::IoError* io = err.io_cause();
    const bool oom = io != nullptr && io->kind == rvk::error::IoKind::OutOfMemory;
    return Error(err.to_string(), oom ? ErrorKind::OutOfMemory : ErrorKind::Io);
}

class DecodedReader final : public ByteReader {
public:
    explicit DecodedReader(rvk::reader::Reader reader) : reader_(std::move(reader)) {}

    Result<std::size_t> read(char* buf, std::size_t n) override {
        auto got = reader_.read(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(buf), n));
        if (!got.ok()) return from_library(got.error());
        return got.value();
    }

    Result<void> verify_read() override {
        auto checked = reader_.verify_read();
        if (!checked.ok()) return from_library(checked.error());
        return Ok{};
    }

private:
    rvk::reader::Reader reader_;
};

}  // namespace

Result<std::unique_ptr<ByteReader>> open_compressed(const std::string& path) {
    auto reader = rvk::reader::Reader::open(path);
    if (!reader.ok()) return from_library(reader.error()).context("opening " + path);
    return std::unique_ptr<ByteReader>(new DecodedReader(std::move(reader).value()));
}

}  // namespace corpuswright::stages
