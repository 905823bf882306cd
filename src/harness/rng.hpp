// Seeded generator for the randomized checks: the same seed always draws the same cases.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <utility>

#include "vessik_exchange/assert.hpp"

namespace vessik_exchange::harness {

/// Thin wrapper over the standard 64-bit engine.
class SeededRng {
 public:
  /// A generator seeded with `seed`.
  explicit SeededRng(std::uint64_t seed) : engine_(seed) {}

  /// Uniform draw from the inclusive range [low, high].
  template <typename T>
  [[nodiscard]] T range(T low, T high) {
    VX_ASSERT(low <= high);
    std::uniform_int_distribution<std::uint64_t> dist(static_cast<std::uint64_t>(low),
                                                      static_cast<std::uint64_t>(high));
    return static_cast<T>(dist(engine_));
  }
  /// Uniform draw from the half-open range [low, high).
  template <typename T>
  [[nodiscard]] T below(T low, T high) {
    VX_ASSERT(low < high);
    return range<T>(low, static_cast<T>(high - 1));
  }
  /// A fair coin.
  [[nodiscard]] bool boolean() { return range<std::uint32_t>(0, 1) == 1; }
  /// Shuffles `values` in place.
  template <typename T>
  void shuffle(std::span<T> values) {
    for (std::size_t i = values.size(); i > 1; --i) {
      const auto j = below<std::size_t>(0, i);
      std::swap(values[i - 1], values[j]);
    }
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace vessik_exchange::harness
