// Back-reference copies shared by the LZ-style decoders (LZ4, DEFLATE).
//
// A match copies `length` bytes starting `distance` bytes back from the end
// of the output; when the distance is shorter than the length the source
// overlaps the bytes being written, which repeats the last `distance` bytes
// periodically. Copying byte by byte is the definition but slow, so the copy
// goes in blocks: one memcpy when the ranges do not overlap, a fill for
// distance 1, and otherwise a run that doubles with each copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rvk::history {

// Appends `length` bytes to the `out` buffer whose current end is `end`, each
// equal to the byte `distance` positions before it. Preconditions: 1 <=
// distance <= end - buffer start, and room for `length` bytes after `end`.
// Returns the new end.
std::uint8_t* extend_match(std::uint8_t* end, std::size_t distance, std::size_t length) noexcept;

// The same on a vector: appends `length` bytes copied from `distance` back.
// Precondition: 1 <= distance <= out.size().
void extend_match(std::vector<std::uint8_t>& out, std::size_t distance, std::size_t length);

}  // namespace rvk::history
