// Pieces shared by the chunk stage and the combined stage.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "corpuswright/error.hpp"
#include "corpuswright/stages/records.hpp"
#include "tavrel/chunk.hpp"

namespace corpuswright::stages {

// One Chunk record per range (article number left at 0): offsets into `md`,
// the title heading followed by the range's heading prefix, the start kind
// and the words of prefix and body. A range off `md` or off a character
// boundary is a violated invariant.
Result<std::vector<Chunk>> chunks_from_ranges(const std::vector<tavrel::chunk::MdChunkRange>& ranges,
                                              std::string_view md, const std::string& title_heading);

}  // namespace corpuswright::stages
