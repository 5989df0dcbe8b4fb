// The bridge from the dataset stages to the decompression library's reader.
#pragma once

#include <memory>
#include <string>

#include "corpuswright/error.hpp"
#include "corpuswright/stages/input.hpp"

namespace corpuswright::stages {

// A byte reader over the decoded content of a compressed file. Errors of the
// library keep their own text, behind the context "opening" and the path.
Result<std::unique_ptr<ByteReader>> open_compressed(const std::string& path);

}  // namespace corpuswright::stages
