// Overlapping back-reference copies in blocks (see history.hpp).
#include "rvk/history.hpp"

#include <cstring>

namespace rvk::history {

std::uint8_t* extend_match(std::uint8_t* end, std::size_t distance, std::size_t length) noexcept {
  const std::uint8_t* from = end - distance;
  if (distance >= length) {
    std::memcpy(end, from, length);
    return end + length;
  }
  if (distance == 1) {
    std::memset(end, *from, length);
    return end + length;
  }
  // The first `distance` bytes come from before `end`; after that the
  // written run is itself a period of the pattern and can be copied again,
  // doubling the copy size each time (the copy stays a multiple of the
  // period, so its phase is right).
  std::uint8_t* out = end;
  std::size_t left = length;
  std::memcpy(out, from, distance);
  out += distance;
  left -= distance;
  std::size_t run = distance;
  while (left > 0) {
    const std::size_t n = run < left ? run : left;
    std::memcpy(out, end, n);
    out += n;
    left -= n;
    run += n;
  }
  return out;
}

void extend_match(std::vector<std::uint8_t>& out, std::size_t distance, std::size_t length) {
  const std::size_t old_size = out.size();
  out.resize(old_size + length);
  extend_match(out.data() + old_size, distance, length);
}

}  // namespace rvk::history
