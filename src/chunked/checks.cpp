// Checks of the chunked copy-on-write sequence.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "harness/harness.hpp"
#include "harness/rng.hpp"
#include "vessik_exchange/chunked.hpp"

namespace vessik_exchange::chunked::tests {
namespace {

// Chunk layout every edit must leave behind: full chunks, then one partial or full last one.
void check_layout(const Chunked<std::uint32_t>& sequence) {
  const std::size_t len = sequence.len();
  VX_CHECK_EQ(sequence.chunk_count(), (len + CHUNK_SIZE - 1) / CHUNK_SIZE);
  for (std::size_t c = 0; c < sequence.chunk_count(); ++c) {
    const std::size_t expected = c + 1 < sequence.chunk_count() ? CHUNK_SIZE : len - c * CHUNK_SIZE;
    VX_CHECK_EQ(sequence.chunk(c).size(), expected);
  }
}

}  // namespace

VX_CHECK_DEFINE(shared_edits_match_vectors_across_chunk_boundaries) {
  harness::SeededRng rng(0x74696D656C696E65);
  Chunked<std::uint32_t> sequence;
  std::vector<std::uint32_t> expected;
  for (std::uint32_t value = 0; value < 1024; ++value) {
    sequence.push(value);
    expected.push_back(value);
  }
  for (int pass = 0; pass < 128; ++pass) {
    const Chunked<std::uint32_t> clone = sequence;
    const std::vector<std::uint32_t> at_pass_start = expected;
    for (int edit = 0; edit < 64; ++edit) {
      const auto draw = rng.range<std::uint32_t>(0, 9);
      if (draw <= 5) {
        const auto index = rng.range<std::size_t>(0, expected.size());
        const auto value = rng.range<std::uint32_t>(0, UINT32_MAX);
        sequence.insert(index, value);
        expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(index), value);
      } else if (draw <= 8 && !expected.empty()) {
        const auto index = rng.below<std::size_t>(0, expected.size());
        sequence.remove(index);
        expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(index));
      } else {
        const auto cut = rng.range<std::size_t>(0, 7);
        const std::size_t new_len = expected.size() > cut ? expected.size() - cut : 0;
        sequence.truncate(new_len);
        expected.resize(new_len);
      }
      VX_CHECK_EQ(sequence.to_vec(), expected);
      check_layout(sequence);
      VX_CHECK_EQ(clone.to_vec(), at_pass_start);
    }
    VX_CHECK(std::ranges::equal(sequence, expected));
  }
}

}  // namespace vessik_exchange::chunked::tests
