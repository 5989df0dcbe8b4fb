// Outputs that would overwrite an input or each other. A stage writes its
// outputs by renaming over the target, so an output naming an input or a
// second output would silently replace that file: such calls are refused
// before anything is read or written.
#pragma once

#include <string>
#include <vector>

#include "corpuswright/error.hpp"

namespace corpuswright::stages {

// One path argument of a stage: its parameter name, the path, and whether
// the stage writes it.
struct PathArg {
    const char* name;
    std::string path;
    bool output;
};

// Fails with a Conflict error naming both parameters and the file when an
// output and any other argument name the same file: the same path once made
// absolute with links and "." and ".." resolved, or, where both exist, the
// same device and inode (hard links). Pairs are tested in argument order.
Result<void> check_distinct(const std::vector<PathArg>& args);

// The path made absolute, with "." and ".." and the links of its existing
// part resolved; the lexical form when that fails.
std::string resolved_path(const std::string& path);

}  // namespace corpuswright::stages
