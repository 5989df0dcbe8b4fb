#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "corpuswright/stages/input.hpp"

// Feeds a string in pieces of `step` bytes, so readers meet every boundary.
class StringReader final : public corpuswright::stages::ByteReader {
public:
    StringReader(std::string data, std::size_t step) : data_(std::move(data)), step_(step) {}
    corpuswright::Result<std::size_t> read(char* buf, std::size_t n) override {
        std::size_t k = std::min({n, step_, data_.size() - pos_});
        std::memcpy(buf, data_.data() + pos_, k);
        pos_ += k;
        return k;
    }

private:
    std::string data_;
    std::size_t step_;
    std::size_t pos_ = 0;
};
