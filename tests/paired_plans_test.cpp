#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "support.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange {
namespace {

constexpr std::uint32_t SYNC = 0x41800003u;
constexpr std::uint32_t RET = 0x43A00000u;

using testing_support::arvel;

Result<MulticastPlan> paired(std::uint16_t sender, std::vector<std::uint16_t> receivers,
                             std::uint32_t count) {
  return arvel().paired_multicast(sender, receivers, count);
}

/// Send controls of every payload-carrying word of a sender row.
std::vector<std::uint32_t> send_controls(const PlanRow& row) {
  std::vector<std::uint32_t> controls;
  for (const std::uint32_t word : row)
    if (is_payload_send(word)) controls.push_back(word & 7u);
  return controls;
}

TEST(PairedMulticast, NearPairRowsAfterPatching) {
  auto plan = paired(0, {2, 3}, 64);
  ASSERT_TRUE(plan.has_value()) << plan.error();
  ASSERT_TRUE(patch_sender_address(plan->sender, 0x50000).has_value());
  for (PlanRow& row : plan->receivers) ASSERT_TRUE(patch_receiver_address(row, 0x60000));

  EXPECT_EQ(plan->sender, (PlanRow{SYNC, 0x40A0001E, 0x7FE50005, RET, 0, 0, 0, 0, 0}));
  ASSERT_EQ(plan->receivers.size(), 2u);
  // Early tile: source 1, format 54, pointer 56, teardown 65, format end 118, horizon 125.
  EXPECT_EQ(plan->receivers[0], (PlanRow{SYNC, 0x64002000, 0x61A40001, 0x60098000, 0x64022640,
                                         0x61A40000, 0x40A00006, RET, 0}));
  // Late tile: format and pointer only.
  EXPECT_EQ(plan->receivers[1],
            (PlanRow{SYNC, 0x61AC0001, 0x60098000, 0x61EC0000, 0x40A00006, RET, 0, 0, 0}));
  EXPECT_EQ(plan_event_cycles(plan->receivers[0]), 125u);
  EXPECT_EQ(plan_event_cycles(plan->receivers[1]), 125u);

  // The single-row builder gives the same (unpatched) rows.
  const auto early = arvel().paired_receiver_row(0, 2, 64, -30);
  ASSERT_TRUE(early.has_value()) << early.error();
  EXPECT_EQ(*early, (PlanRow{SYNC, 0x64002000, 0x61A40001, 0x60080000, 0x64022640, 0x61A40000,
                             0x40A00006, RET, 0}));
}

TEST(PairedMulticast, EarlyTileOfAPair) {
  struct Case {
    std::uint16_t receiver;
    std::uint16_t sender;
    bool early;
  };
  const Case cases[] = {{2, 0, true},  {3, 0, false}, {0, 2, true},
                        {1, 2, false}, {47, 0, true}, {46, 0, false}};
  for (const Case& c : cases) {
    const auto early = arvel().paired_receiver_is_early(c.receiver, c.sender);
    ASSERT_TRUE(early.has_value()) << early.error();
    EXPECT_EQ(*early, c.early) << "receiver " << c.receiver << " sender " << c.sender;
  }
  // The receiver is looked up first.
  EXPECT_EQ(arvel().paired_receiver_is_early(2000, 3000).error(), ExchangeError::tile(2000));
  EXPECT_EQ(arvel().paired_receiver_is_early(2, 3000).error(), ExchangeError::tile(3000));
}

TEST(PairedMulticast, EarlyTileSelectsTheSenderSeenFromItsPair) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> pair;
    std::size_t early_index;
    std::uint32_t source_value;
    std::uint32_t format_start;
  };
  const Case cases[] = {
      // Sender physical 64; tile 0 is physical 0.
      {2, {0, 1}, 0, 64, 52},
      // The far pair, physical 1409 and 1411 on row 22.
      {0, {46, 47}, 1, 2, 96},
  };
  for (const Case& c : cases) {
    const auto plan = paired(c.sender, c.pair, 64);
    ASSERT_TRUE(plan.has_value()) << plan.error();
    for (std::size_t i = 0; i < 2; ++i) {
      const auto timing = receive_row_timing(plan->receivers[i], 0);
      ASSERT_TRUE(timing.has_value()) << timing.error();
      EXPECT_EQ(timing->mode, ReceiveMode::Paired64);
      EXPECT_EQ(timing->format_start_cycles, c.format_start);
      if (i == c.early_index) {
        ASSERT_TRUE(is_delay_xpic(plan->receivers[i][1]));
        EXPECT_EQ(plan->receivers[i][1] & 0x3FFFu, 0x2000u | c.source_value);
        EXPECT_EQ(timing->source_cycles, 1u);
      } else {
        EXPECT_EQ(timing->source_cycles, std::nullopt);
        EXPECT_EQ(timing->neutral_cycles, std::nullopt);
      }
    }
  }
}

TEST(PairedMulticast, SendControlIsDirectionalOnlyForOneForeignPair) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t control;
  };
  const Case cases[] = {
      {0, {2, 3}, 5},
      {0, {3, 2}, 5},
      {736, {100, 101}, 6},
      {0, {2, 3, 46, 47}, 7},
      // The sender's own pair.
      {0, {0, 1}, 7},
      {0, {1, 0}, 7},
  };
  for (const Case& c : cases) {
    const auto plan = paired(c.sender, c.receivers, 65);
    ASSERT_TRUE(plan.has_value()) << plan.error();
    EXPECT_EQ(send_controls(plan->sender), (std::vector<std::uint32_t>{c.control, c.control}))
        << "sender " << c.sender;
  }
}

TEST(PairedMulticast, RejectsBadRequestsInOrder) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    ExchangeError error;
  };
  const Case cases[] = {
      {0, {2, 3}, 0, ExchangeError::count(0)},
      {0, {}, 4149, ExchangeError::count(4149)},
      {0, {2}, 1, ExchangeError::receiver_set()},
      {0, {2, 2}, 1, ExchangeError::receiver_set()},
      {0, {2, 5}, 1, ExchangeError::receiver_set()},
      {0, {}, 1, ExchangeError::receiver_set()},
      {0, {2, 3, 2000, 2001}, 1, ExchangeError::receiver_set()},
      {2000, {2}, 1, ExchangeError::receiver_set()},
      // The multicast's own checks come after the receiver set.
      {2000, {2, 3}, 1, ExchangeError::tile(2000)},
      // Pointer write and format end on one cycle, on every tile.
      {0, {2, 3}, 2, ExchangeError::schedule("paired receive coincident controls")},
      // Teardown of the early tile (physical row 1) on its format start, then on its pointer.
      {0, {2, 3}, 53, ExchangeError::schedule("paired receive coincident controls")},
      {0, {2, 3}, 55, ExchangeError::schedule("paired receive coincident controls")},
      // The far pair's early tile lies on row 22.
      {0, {46, 47}, 95, ExchangeError::schedule("paired receive coincident controls")},
  };
  for (const Case& c : cases) {
    const auto plan = paired(c.sender, c.receivers, c.count);
    ASSERT_FALSE(plan.has_value()) << "sender " << c.sender << " count " << c.count;
    EXPECT_EQ(plan.error(), c.error) << "sender " << c.sender << " count " << c.count;
  }
  // Between the two clashes the teardown has a cycle of its own.
  EXPECT_TRUE(paired(0, {2, 3}, 54).has_value());
  EXPECT_TRUE(paired(0, {2, 3}, 1).has_value());
}

ExchangeError row_error(std::uint16_t sender, std::uint16_t receiver, std::uint32_t count,
                        std::int32_t minimum_double_mux) {
  const auto row = arvel().paired_receiver_row(sender, receiver, count, minimum_double_mux);
  if (row.has_value()) {
    ADD_FAILURE() << "accepted: " << row_to_string(*row);
    return ExchangeError::duplicate_tile();
  }
  return row.error();
}

TEST(PairedReceiverRow, RejectsUnplaceableTiming) {
  constexpr auto I32_MIN = std::numeric_limits<std::int32_t>::min();
  constexpr auto I32_MAX = std::numeric_limits<std::int32_t>::max();
  constexpr auto U32_MAX = std::numeric_limits<std::uint32_t>::max();
  // The sender is looked up first.
  EXPECT_EQ(row_error(2000, 3000, 64, 0), ExchangeError::tile(2000));
  EXPECT_EQ(row_error(0, 3000, 64, 0), ExchangeError::tile(3000));
  // A minimum above this receiver's own time to mux would put its source before cycle 0.
  EXPECT_EQ(row_error(0, 2, 64, I32_MAX), ExchangeError::schedule("paired source timing"));
  EXPECT_EQ(row_error(0, 2, 64, -28), ExchangeError::schedule("paired source timing"));
  // Events past the cycle range.
  EXPECT_EQ(row_error(0, 2, U32_MAX, -30),
            ExchangeError::schedule("paired receive horizon overflow"));
  // A late source needs plain delays first: three of them still fit the late tile's row, four
  // do not; the most negative minimum is handled without overflow.
  const auto full = arvel().paired_receiver_row(0, 3, 64, -0x180000);
  ASSERT_TRUE(full.has_value()) << full.error();
  EXPECT_EQ(full->back(), RET);
  EXPECT_EQ(row_error(0, 3, 64, -0x200000), ExchangeError::schedule("paired receive row capacity"));
  EXPECT_EQ(row_error(0, 2, 64, I32_MIN), ExchangeError::schedule("paired receive row capacity"));
}

}  // namespace
}  // namespace vessik_exchange
