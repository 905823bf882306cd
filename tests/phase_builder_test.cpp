#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "support.hpp"
#include "vessik_exchange/vessik_exchange.hpp"

namespace vessik_exchange {
namespace {

using testing_support::arvel;

MulticastPlan multicast(std::uint16_t sender, std::vector<std::uint16_t> receivers,
                        std::uint32_t count) {
  auto plan = arvel().multicast(sender, receivers, count, 0);
  EXPECT_TRUE(plan) << to_string(plan.error());
  return *plan;
}

TEST(PhaseProgramBuilder, StagedTrialIsCommittedWithItsEncodings) {
  PhaseProgramBuilder builder(4);
  const auto plan = multicast(0, {2}, 64);
  const auto prepared = plan.prepare();
  ASSERT_TRUE(prepared);
  const std::uint16_t receivers[] = {2};
  const auto offset = builder.earliest_transfer_offset(0, {}, receivers, *prepared, 64, 0);
  ASSERT_TRUE(offset) << to_string(offset.error());
  ASSERT_TRUE(builder.staged().has_value());
  std::vector<std::pair<std::uint16_t, const EncodedSchedule*>> trial;
  for (const auto& [tile, schedule] : builder.staged()->updates)
    trial.emplace_back(tile, schedule.encoded()->get());
  const auto timing = builder.append_transfer_at(0, {}, receivers, *prepared, *offset, 64);
  ASSERT_TRUE(timing) << to_string(timing.error());
  EXPECT_FALSE(builder.staged().has_value());
  for (const auto& [tile, encoding] : trial)
    EXPECT_EQ(builder.tile_schedule(tile)->get().encoded()->get(), encoding);
  const auto programs = builder.finish();
  ASSERT_TRUE(programs) << to_string(programs.error());
  EXPECT_TRUE(programs->programs[0].has_value());
  EXPECT_TRUE(programs->programs[2].has_value());
  EXPECT_FALSE(programs->programs[1].has_value());
  std::cout << to_string(*programs) << "\n";
}

/// A plan with its analysis; the analysis borrows the plan, so the plan lives on the heap.
struct Transfer {
  std::unique_ptr<MulticastPlan> plan;
  PreparedTransfer prepared;
};

Transfer transfer(std::uint16_t sender, std::vector<std::uint16_t> receivers, std::uint32_t count) {
  auto plan = std::make_unique<MulticastPlan>(multicast(sender, std::move(receivers), count));
  auto prepared = plan->prepare();
  EXPECT_TRUE(prepared) << to_string(prepared.error());
  return {std::move(plan), std::move(*prepared)};
}

PhasePrograms finished(const PhaseProgramBuilder& builder) {
  auto programs = builder.finish();
  EXPECT_TRUE(programs) << to_string(programs.error());
  return programs ? *programs : PhasePrograms{};
}

/// Every tile's (possibly resumed) encoding equals a from-scratch encoding of its schedule.
void expect_encodings_match_full(const PhaseProgramBuilder& builder) {
  for (std::uint16_t tile = 0; tile < builder.tile_count(); ++tile) {
    const auto& schedule = builder.tile_schedule(tile)->get();
    const auto encoded = schedule.encoded();
    ASSERT_TRUE(encoded) << "tile " << tile << ": " << to_string(encoded.error());
    const auto full = build_scheduled_program(schedule.senders(), schedule.receive_events(),
                                              schedule.event_cycles(), std::nullopt);
    ASSERT_TRUE(full) << to_string(full.error());
    EXPECT_EQ((*encoded)->words(), full->words()) << "tile " << tile;
  }
}

/// Places a transfer at its earliest validated offset and returns its timing.
PhaseTransferTiming place(PhaseProgramBuilder& builder, std::uint16_t source,
                          std::span<const std::uint16_t> reserved,
                          std::span<const std::uint16_t> receivers, const Transfer& t,
                          std::uint32_t words, std::uint32_t requested = 0) {
  const auto offset =
      builder.earliest_transfer_offset(source, reserved, receivers, t.prepared, words, requested);
  EXPECT_TRUE(offset) << to_string(offset.error());
  if (!offset) return {};
  const auto timing =
      builder.append_transfer_at(source, reserved, receivers, t.prepared, *offset, words);
  EXPECT_TRUE(timing) << to_string(timing.error());
  return timing ? *timing : PhaseTransferTiming{};
}

constexpr std::array<std::uint16_t, 1> TO_TWO{2};
constexpr std::array<std::uint16_t, 1> TO_THREE{3};

TEST(PhaseProgramBuilder, FailedAppendLeavesTilesAsTheyWere) {
  const auto first = transfer(0, {2}, 64);
  PhaseProgramBuilder builder(4);
  place(builder, 0, {}, TO_TWO, first, 64);
  const auto offset = builder.earliest_transfer_offset(0, {}, TO_TWO, first.prepared, 64, 0);
  ASSERT_TRUE(offset) << to_string(offset.error());
  const auto before = finished(builder);

  // A receiver out of range fails while timing the transfer: the trial survives.
  const std::array<std::uint16_t, 1> outside{4};
  EXPECT_EQ(builder.append_transfer_at(0, {}, outside, first.prepared, *offset, 64).error(),
            ExchangeError::tile(4));
  EXPECT_TRUE(builder.staged().has_value());

  // A reserved tile listed twice fails after the trial was taken: the trial is gone, but no
  // tile state changed.
  const std::array<std::uint16_t, 2> twice{2, 2};
  EXPECT_EQ(builder.append_transfer_at(0, twice, TO_TWO, first.prepared, *offset, 64).error(),
            ExchangeError::duplicate_tile());
  EXPECT_FALSE(builder.staged().has_value());
  EXPECT_EQ(finished(builder), before);
}

TEST(PhaseProgramBuilder, StaleTrialIsNeverCommitted) {
  const auto first = transfer(0, {2}, 64);
  const auto shorter = transfer(0, {2}, 32);
  struct Case {
    std::string_view name;
    const Transfer* appended;
    std::uint32_t words;
    std::uint32_t extra_offset;
  };
  // Each differs from the staged 64-word transfer in one respect.
  const Case cases[] = {
      {"later offset", &first, 64, 100},
      {"other rows and word count", &shorter, 32, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PhaseProgramBuilder builder(4);
    const PhaseProgramBuilder without_trial = builder;
    const auto offset = builder.earliest_transfer_offset(0, {}, TO_TWO, first.prepared, 64, 0);
    ASSERT_TRUE(offset) << to_string(offset.error());
    PhaseProgramBuilder reference = without_trial;
    const auto timing = builder.append_transfer_at(0, {}, TO_TWO, c.appended->prepared,
                                                   *offset + c.extra_offset, c.words);
    ASSERT_TRUE(timing) << to_string(timing.error());
    const auto expected = reference.append_transfer_at(0, {}, TO_TWO, c.appended->prepared,
                                                       *offset + c.extra_offset, c.words);
    ASSERT_TRUE(expected) << to_string(expected.error());
    EXPECT_EQ(*timing, *expected);
    EXPECT_EQ(finished(builder), finished(reference));
  }
}

TEST(PhaseProgramBuilder, ReservedTilesWaitForTheSenderRow) {
  const auto own = transfer(1, {3}, 128);
  const auto first = transfer(0, {2}, 64);
  PhaseProgramBuilder builder(4);
  const auto own_timing = place(builder, 1, {}, TO_THREE, own, 128);

  // The transfer may not begin before the reserved tile's own payload is over.
  const std::array<std::uint16_t, 1> reserved{1};
  const auto timing = place(builder, 0, reserved, TO_TWO, first, 64);
  const auto& tile = builder.tile_schedule(1)->get();
  EXPECT_EQ(tile.reserved_sender_end(), timing.sender_horizon);
  EXPECT_GE(timing.payload_start, own_timing.payload_end);

  // An idle reserved tile still gets a program lasting the reservation.
  PhaseProgramBuilder idle(4);
  const auto idle_timing = place(idle, 0, reserved, TO_TWO, first, 64);
  const auto programs = finished(idle);
  ASSERT_EQ(programs.tile_event_cycles,
            (std::vector<std::uint32_t>{idle_timing.sender_horizon, idle_timing.sender_horizon,
                                        idle_timing.receivers[0].horizon, 0}));
  const auto empty = build_scheduled_program({}, {}, idle_timing.sender_horizon, std::nullopt);
  ASSERT_TRUE(empty) << to_string(empty.error());
  EXPECT_EQ(programs.programs[1], std::optional(empty->words()));
  EXPECT_FALSE(programs.programs[3].has_value());

  // Its next send starts after the reservation.
  const auto later = transfer(1, {3}, 16);
  const auto later_timing = place(idle, 1, {}, TO_THREE, later, 16);
  EXPECT_GE(later_timing.payload_start, idle_timing.sender_horizon);
}

TEST(PhaseProgramBuilder, EmptyBuildersFinishWithoutPrograms) {
  const auto none = finished(PhaseProgramBuilder(2));
  EXPECT_EQ(none, (PhasePrograms{{std::nullopt, std::nullopt}, {0, 0}, 0}));
  EXPECT_EQ(to_string(none),
            "PhasePrograms { programs: [None, None], tile_event_cycles: [0, 0], event_cycles: 0 }");

  const PhaseProgramBuilder zero(0);
  EXPECT_EQ(finished(zero), PhasePrograms{});
  EXPECT_EQ(to_string(PhasePrograms{}),
            "PhasePrograms { programs: [], tile_event_cycles: [], event_cycles: 0 }");
  EXPECT_EQ(zero.tile_event_cycles(0).error(), ExchangeError::tile(0));

  const PhasePrograms one{
      {std::vector<std::uint32_t>{1084227614, 1134559232}, std::nullopt}, {31, 0}, 31};
  std::ostringstream out;
  out << one;
  EXPECT_EQ(out.str(),
            "PhasePrograms { programs: [Some([1084227614, 1134559232]), None], "
            "tile_event_cycles: [31, 0], event_cycles: 31 }");
}

TEST(PhaseProgramBuilder, TileNumbersAndReceiverCountsAreChecked) {
  const auto first = transfer(0, {2}, 64);
  const std::array<std::uint16_t, 1> outside{4};
  const std::array<std::uint16_t, 2> two_receivers{2, 3};
  const auto row_count = ExchangeError::schedule("receiver row count");
  struct Case {
    std::string_view name;
    std::uint16_t source;
    std::span<const std::uint16_t> reserved;
    std::span<const std::uint16_t> receivers;
    ExchangeError error;
  };
  const Case cases[] = {
      {"source", 4, {}, TO_TWO, ExchangeError::tile(4)},
      {"reserved", 0, outside, TO_TWO, ExchangeError::tile(4)},
      {"receiver", 0, {}, outside, ExchangeError::tile(4)},
      {"row count", 0, {}, two_receivers, row_count},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PhaseProgramBuilder builder(4);
    const auto offset = builder.earliest_transfer_offset(0, {}, TO_TWO, first.prepared, 64, 0);
    ASSERT_TRUE(offset);
    EXPECT_EQ(
        builder.earliest_transfer_offset(c.source, c.reserved, c.receivers, first.prepared, 64, 0)
            .error(),
        c.error);
    EXPECT_EQ(builder
                  .earliest_transfer_offset_deferred(c.source, c.reserved, c.receivers,
                                                     first.prepared, 64, 0)
                  .error(),
              c.error);
    // A refused search keeps the staged trial.
    EXPECT_TRUE(builder.staged().has_value());
    EXPECT_EQ(
        builder.append_transfer_at(c.source, c.reserved, c.receivers, first.prepared, *offset, 64)
            .error(),
        c.error);
    EXPECT_EQ(finished(builder), PhaseProgramBuilder(4).finish());
  }
  const PhaseProgramBuilder builder(4);
  EXPECT_EQ(builder.transfer_timing_at(0, two_receivers, first.prepared, 0, 64).error(), row_count);
  EXPECT_EQ(builder.tile_event_cycles(4).error(), ExchangeError::tile(4));
}

TEST(OutgoingBaseSwitch, RepeatedSwitchesDoNotOverlap) {
  const auto receive = transfer(1, {0}, 256);
  const std::array<std::uint16_t, 1> to_zero{0};
  PhaseProgramBuilder builder(4);
  place(builder, 1, {}, to_zero, receive, 256);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(builder.switch_outgoing_base(0, 6));
  const auto switches = builder.tile_schedule(0)->get().base_switches();
  ASSERT_EQ(switches.size(), 4u);
  for (std::size_t i = 1; i < switches.size(); ++i) EXPECT_GE(switches[i], switches[i - 1] + 13);
  // No receive control falls into a switch window.
  for (const ReceiveEvent& event : builder.tile_schedule(0)->get().receive_events()) {
    if (event.kind == ReceiveEventKind::OutgoingBase) continue;
    for (const std::uint32_t end : switches)
      EXPECT_FALSE(event.cycles > end - 13 && event.cycles <= end) << event.cycles << " " << end;
  }
  expect_encodings_match_full(builder);
  finished(builder);

  // On an idle tile the switches simply follow each other.
  PhaseProgramBuilder idle(1);
  ASSERT_TRUE(idle.switch_outgoing_base(0, 1));
  ASSERT_TRUE(idle.switch_outgoing_base(0, 2));
  EXPECT_EQ(idle.tile_schedule(0)->get().base_switches()[0], 13u);
  EXPECT_EQ(idle.tile_schedule(0)->get().base_switches()[1], 26u);
  EXPECT_EQ(idle.tile_event_cycles(0), 26u);
  finished(idle);
}

TEST(OutgoingBaseSwitch, AlternatingWithTransfersKeepsIncrementalEncoding) {
  const auto a = transfer(0, {1}, 48);
  const auto b = transfer(0, {2, 3}, 20);
  const auto in = transfer(3, {0}, 40);
  const std::array<std::uint16_t, 1> to_one{1};
  const std::array<std::uint16_t, 2> to_two_three{2, 3};
  const std::array<std::uint16_t, 1> to_zero{0};
  PhaseProgramBuilder builder(4);
  std::uint32_t last_switch = 0;
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE(i);
    PhaseTransferTiming timing;
    switch (i % 3) {
      case 0:
        timing = place(builder, 0, {}, to_one, a, 48);
        break;
      case 1:
        timing = place(builder, 0, {}, to_two_three, b, 20);
        break;
      default:
        place(builder, 3, {}, to_zero, in, 40);
        break;
    }
    if (i % 3 != 2) {
      EXPECT_GE(timing.payload_start, last_switch);
    }
    ASSERT_TRUE(builder.switch_outgoing_base(0, i % 2 == 0 ? 6 : 15));
    last_switch = builder.tile_schedule(0)->get().base_switches().back();
    expect_encodings_match_full(builder);
  }
  const auto programs = finished(builder);
  EXPECT_TRUE(programs.programs[0].has_value());
}

TEST(OutgoingBaseSwitch, RefusedSwitchesChangeNoTile) {
  const auto first = transfer(0, {2}, 64);
  PhaseProgramBuilder builder(4);
  place(builder, 0, {}, TO_TWO, first, 64);
  ASSERT_TRUE(builder.earliest_transfer_offset(0, {}, TO_TWO, first.prepared, 64, 0));
  const auto before = finished(builder);

  // A bad register fails before anything changes, the trial included.
  EXPECT_EQ(builder.switch_outgoing_base(0, 16).error(),
            ExchangeError::schedule("put source register"));
  EXPECT_TRUE(builder.staged().has_value());
  // A tile out of range drops the trial but changes no tile.
  EXPECT_EQ(builder.switch_outgoing_base(4, 1).error(), ExchangeError::tile(4));
  EXPECT_FALSE(builder.staged().has_value());
  EXPECT_EQ(finished(builder), before);
  EXPECT_TRUE(builder.tile_schedule(0)->get().base_switches().empty());
}

TEST(ConcurrentValidation, ClonesShareTheBudgetWithoutOvercharging) {
  // Validations on empty tiles cost one unit per listed tile.
  const auto a0 = transfer(0, {2}, 16);
  const auto a1 = transfer(1, {3}, 16);
  const auto b0 = transfer(0, {2, 3}, 16);
  const auto b1 = transfer(1, {2, 3}, 16);
  const std::array<std::uint16_t, 2> both{2, 3};
  constexpr std::uint64_t BUDGET = 5001;
  const auto builder = PhaseProgramBuilder(4).with_validation_budget(BUDGET);

  // Alternating two transfers makes every validation a new one that must be charged.
  const auto run = [](PhaseProgramBuilder clone, const Transfer& x, std::uint16_t x_source,
                      const Transfer& y, std::uint16_t y_source,
                      std::span<const std::uint16_t> x_receivers,
                      std::span<const std::uint16_t> y_receivers, std::uint64_t& successes,
                      std::optional<ExchangeError>& stop) {
    for (std::uint64_t i = 0;; ++i) {
      const bool first = i % 2 == 0;
      const auto offset = clone.earliest_transfer_offset(first ? x_source : y_source, {},
                                                         first ? x_receivers : y_receivers,
                                                         first ? x.prepared : y.prepared, 16, 0);
      if (!offset) {
        stop = offset.error();
        return;
      }
      ++successes;
    }
  };
  std::uint64_t two_unit = 0;
  std::uint64_t three_unit = 0;
  std::optional<ExchangeError> two_stop;
  std::optional<ExchangeError> three_stop;
  std::thread first(run, builder, std::cref(a0), std::uint16_t{0}, std::cref(a1), std::uint16_t{1},
                    std::span<const std::uint16_t>(TO_TWO),
                    std::span<const std::uint16_t>(TO_THREE), std::ref(two_unit),
                    std::ref(two_stop));
  std::thread second(run, builder, std::cref(b0), std::uint16_t{0}, std::cref(b1), std::uint16_t{1},
                     std::span<const std::uint16_t>(both), std::span<const std::uint16_t>(both),
                     std::ref(three_unit), std::ref(three_stop));
  first.join();
  second.join();

  EXPECT_EQ(two_stop, ExchangeError::validation_budget_exceeded());
  EXPECT_EQ(three_stop, ExchangeError::validation_budget_exceeded());
  const auto remaining = builder.remaining_validation_budget();
  ASSERT_TRUE(remaining.has_value());
  // Every validation charged its whole work or nothing, and the counter never wrapped.
  EXPECT_EQ(*remaining + 2 * two_unit + 3 * three_unit, BUDGET);
  EXPECT_LT(*remaining, 2u);
  // How the budget splits between the threads depends on scheduling, so only the sum is fixed.
}

}  // namespace
}  // namespace vessik_exchange
