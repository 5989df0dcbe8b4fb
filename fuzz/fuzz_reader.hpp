// An in-memory byte reader for the dataset-input targets. It hands the input
// out in awkward piece sizes so that every reader meets its refill and
// boundary paths, which a whole-buffer read would never reach.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "corpuswright/stages/input.hpp"

namespace fuzz {

// Serves a fixed buffer through the ByteReader interface in pieces of
// `piece` bytes at most (a short read is legal and must be handled).
class MemReader final : public corpuswright::stages::ByteReader {
public:
    MemReader(std::string_view data, std::size_t piece) : data_(data), piece_(std::max<std::size_t>(piece, 1)) {}

    corpuswright::Result<std::size_t> read(char* buf, std::size_t n) override {
        std::size_t take = std::min({n, piece_, data_.size() - pos_});
        std::memcpy(buf, data_.data() + pos_, take);
        pos_ += take;
        return take;
    }

private:
    std::string_view data_;
    std::size_t piece_;
    std::size_t pos_ = 0;
};

}  // namespace fuzz
