#include "vessik_exchange/chunked.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace vessik_exchange {
namespace {

Chunked<std::uint32_t> counting(std::size_t len) {
  Chunked<std::uint32_t> sequence;
  for (std::size_t i = 0; i < len; ++i) sequence.push(static_cast<std::uint32_t>(i));
  return sequence;
}

std::vector<std::uint32_t> iota(std::size_t start, std::size_t end) {
  std::vector<std::uint32_t> values(end - start);
  std::iota(values.begin(), values.end(), static_cast<std::uint32_t>(start));
  return values;
}

class ChunkBoundary : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ChunkBoundary, SearchSliceRangeAndAccessAgreeWithPlainVector) {
  const std::size_t len = GetParam();
  const auto sequence = counting(len);
  EXPECT_EQ(sequence.len(), len);
  EXPECT_EQ(sequence.chunk_count(), (len + 127) / 128);
  EXPECT_EQ(sequence.get(len), nullptr);
  if (len == 0)
    EXPECT_EQ(sequence.last(), nullptr);
  else
    EXPECT_EQ(*sequence.last(), len - 1);
  EXPECT_EQ(std::vector<std::uint32_t>(sequence.begin(), sequence.end()), iota(0, len));
  for (std::size_t start = 0; start <= len; ++start) {
    EXPECT_EQ(sequence.partition_point([&](std::uint32_t v) { return v < start; }), start);
    for (std::size_t end = start; end <= len; ++end) {
      const auto slice = sequence.slice(start, end);
      ASSERT_EQ(slice.to_vec(), iota(start, end)) << start << ".." << end;
      const bool one_chunk = start == end || start / 128 == (end - 1) / 128;
      EXPECT_EQ(slice.is_borrowed(), one_chunk) << start << ".." << end;
      const auto part = sequence.range(start, end);
      ASSERT_EQ(std::vector<std::uint32_t>(part.begin(), part.end()), iota(start, end));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, ChunkBoundary,
                         ::testing::Values(0, 1, 127, 128, 129, 255, 256, 257));

TEST(Chunked, ChunksAppearAndDisappearAtTheBoundary) {
  auto sequence = counting(127);
  sequence.push(127);
  EXPECT_EQ(sequence.chunk_count(), 1u);
  sequence.push(128);
  EXPECT_EQ(sequence.chunk_count(), 2u);
  sequence.remove(0);
  EXPECT_EQ(sequence.chunk_count(), 1u);
  EXPECT_EQ(sequence.to_vec(), iota(1, 129));

  auto longer = counting(300);
  longer.truncate(128);
  EXPECT_EQ(longer.chunk_count(), 1u);
  EXPECT_EQ(longer.chunk(0).size(), 128u);
  longer.truncate(0);
  EXPECT_EQ(longer.chunk_count(), 0u);
  EXPECT_TRUE(longer.empty());

  // Inserting into full chunks ripples one element into a new last chunk.
  auto full = counting(256);
  full.insert(0, 1000);
  EXPECT_EQ(full.chunk_count(), 3u);
  EXPECT_EQ(full[128], 127u);
  EXPECT_EQ(full[256], 255u);
}

TEST(Chunked, CloneNeverObservesEditsAndUntouchedChunksStayShared) {
  const auto original = counting(3 * 128 + 5);
  const auto before = original.to_vec();
  const auto chunk_address = [](const Chunked<std::uint32_t>& s, std::size_t c) {
    return s.chunk(c).data();
  };

  auto pushed = original;
  EXPECT_EQ(pushed.chunk_use_count(0), 2);
  pushed.push(7);
  for (std::size_t c = 0; c < 3; ++c)
    EXPECT_EQ(chunk_address(pushed, c), chunk_address(original, c));
  EXPECT_NE(chunk_address(pushed, 3), chunk_address(original, 3));

  auto inserted = original;
  inserted.insert(200, 9);  // chunk 1 onwards is copied
  EXPECT_EQ(chunk_address(inserted, 0), chunk_address(original, 0));
  for (std::size_t c = 1; c < 4; ++c)
    EXPECT_NE(chunk_address(inserted, c), chunk_address(original, c));

  auto removed = original;
  removed.remove(300);  // only chunks 2 and 3 are copied
  EXPECT_EQ(chunk_address(removed, 0), chunk_address(original, 0));
  EXPECT_EQ(chunk_address(removed, 1), chunk_address(original, 1));
  EXPECT_NE(chunk_address(removed, 2), chunk_address(original, 2));

  auto truncated = original;
  truncated.truncate(130);  // the new last chunk is copied, the first stays shared
  EXPECT_EQ(chunk_address(truncated, 0), chunk_address(original, 0));
  EXPECT_NE(chunk_address(truncated, 1), chunk_address(original, 1));
  EXPECT_EQ(original.chunk_use_count(0), 5);

  EXPECT_EQ(original.to_vec(), before);
  EXPECT_EQ(inserted[200], 9u);
  EXPECT_EQ(removed.len(), before.size() - 1);

  // A sole holder edits in place.
  auto sole = counting(10);
  const auto* address = chunk_address(sole, 0);
  sole.insert(3, 1);
  sole.remove(0);
  EXPECT_EQ(chunk_address(sole, 0), address);
}

TEST(Chunked, BorrowedSliceSurvivesLaterEdits) {
  auto sequence = counting(10);
  const auto slice = sequence.slice(2, 5);
  ASSERT_TRUE(slice.is_borrowed());
  sequence.remove(0);
  sequence.truncate(1);
  EXPECT_EQ(slice.to_vec(), iota(2, 5));
  const auto copied = slice;
  EXPECT_EQ(copied.to_vec(), iota(2, 5));
  auto owned = counting(200).slice(100, 150);
  ASSERT_FALSE(owned.is_borrowed());
  const auto moved = std::move(owned);
  EXPECT_EQ(moved.to_vec(), iota(100, 150));
}

TEST(Chunked, EqualityIgnoresEditHistoryAndDebugFormShowsChunks) {
  auto built = counting(130);
  Chunked<std::uint32_t> edited;
  edited.extend(iota(1, 130));
  edited.insert(0, 0);
  edited.push(999);
  edited.remove(edited.len() - 1);
  EXPECT_EQ(built, edited);
  edited.truncate(129);
  EXPECT_NE(built, edited);
  edited.push(7);
  EXPECT_NE(built, edited);

  EXPECT_EQ(to_string(Chunked<std::uint32_t>{}), "Chunked { chunks: [], len: 0 }");
  EXPECT_EQ(to_string(Chunked<std::uint32_t>{4, 5}), "Chunked { chunks: [[4, 5]], len: 2 }");
  const std::string text = to_string(counting(129));
  EXPECT_TRUE(text.ends_with("126, 127], [128]], len: 129 }")) << text;
}

TEST(ChunkedDeathTest, ContractViolationsStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto sequence = counting(5);
  EXPECT_DEATH((void)sequence.range(3, 2), "start <= end");
  EXPECT_DEATH((void)sequence.slice(0, 6), "end <= len_");
  EXPECT_DEATH(sequence.insert(6, 0), "index <= len_");
  EXPECT_DEATH(sequence.remove(5), "index < len_");
  EXPECT_DEATH(sequence.truncate(6), "new_len <= len_");
  EXPECT_DEATH((void)sequence[5], "index < len_");
}

}  // namespace
}  // namespace vessik_exchange
