// Cycle arithmetic on u32 counts: checked where an overflow is an error, saturating where the
// description of a bound asks for it.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace vessik_exchange::cycles {

/// `a + b`, or nothing when the sum leaves the u32 range.
[[nodiscard]] constexpr std::optional<std::uint32_t> checked_add(std::uint32_t a, std::uint32_t b) {
  std::uint32_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}

/// `a + b`, held at the u32 maximum.
[[nodiscard]] constexpr std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
  return a > std::numeric_limits<std::uint32_t>::max() - b
             ? std::numeric_limits<std::uint32_t>::max()
             : a + b;
}

/// `a - b`, held at 0.
[[nodiscard]] constexpr std::uint32_t saturating_sub(std::uint32_t a, std::uint32_t b) {
  return a > b ? a - b : 0;
}

}  // namespace vessik_exchange::cycles
