#include "vessik_exchange/plans.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"
#include "vessik_exchange/event_log.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange {
namespace {

constexpr std::uint32_t SYNC = 0x41800003u;
constexpr std::uint32_t RET = 0x43A00000u;

using testing_support::arvel;

/// Cycle at which word `index` of `row` ends, counting advances from the first word.
std::uint32_t end_cycle(const PlanRow& row, std::size_t index) {
  std::uint32_t cycle = 0;
  for (std::size_t i = 0; i <= index; ++i) cycle += instruction_advance(row[i]);
  return cycle;
}

std::size_t index_of(const PlanRow& row, bool (*pred)(std::uint32_t), std::size_t from = 0) {
  for (std::size_t i = from; i < row.size(); ++i)
    if (pred(row[i])) return i;
  ADD_FAILURE() << "no matching word in " << row_to_string(row);
  return 0;
}

// Counts around the tail switch (51/52), the teardown growth (53) and the offset SEND (64/65).
TEST(MulticastRows, EveryShapeKeepsTheReceiveTiming) {
  const std::array<std::uint16_t, 2> receivers{274, 900};
  for (const std::uint32_t count : {1u, 2u, 51u, 52u, 53u, 54u, 64u, 65u, 128u, 512u, 4148u}) {
    SCOPED_TRACE(count);
    const auto plan = arvel().multicast(0, receivers, count, 7);
    ASSERT_TRUE(plan.has_value());

    // The sender pushes exactly `count` words in at most two payload sends and lasts >= 6 cycles.
    std::uint32_t payload = 0;
    std::size_t sends = 0;
    for (const std::uint32_t word : plan->sender) {
      if (!is_payload_send(word)) continue;
      payload += instruction_advance(word);
      ++sends;
    }
    EXPECT_EQ(payload, count);
    EXPECT_EQ(sends, count > 64 ? 2u : 1u);
    EXPECT_GE(plan_event_cycles(plan->sender).value(), 6u);
    const std::uint32_t send_cycle = end_cycle(plan->sender, index_of(plan->sender, is_send) - 1);

    for (std::size_t r = 0; r < receivers.size(); ++r) {
      const PlanRow& row = plan->receivers[r];
      const std::uint32_t receiver = arvel().physical(receivers[r]).value();
      const std::uint32_t phase = (receiver / 64) * 2;
      const std::uint32_t selected = end_cycle(row, 1);
      // Selection lands mux_time + 1 cycles after the SEND issues.
      EXPECT_EQ(std::int64_t{selected} - send_cycle, std::int64_t{time_to_mux(0, receiver)} + 1);
      // The pointer write ends 52 + phase cycles after the selection, in both tail forms.
      EXPECT_EQ(end_cycle(row, index_of(row, is_delay_pic)), selected + 52 + phase);
      const std::size_t teardown = index_of(row, is_neutral_mux_teardown, 2);
      // The teardown follows the last word: `count` cycles after the selection for short
      // transfers, after the pointer write plus the words beyond 52 for long ones.
      const std::uint32_t torn_down = end_cycle(row, teardown);
      if (count <= 51) {
        EXPECT_EQ(torn_down, selected + count);
      } else {
        EXPECT_EQ(torn_down, selected + 52 + phase + std::max(count, 53u) - 52);
      }
    }
  }
}

TEST(MulticastRows, StartCycleLimits) {
  const std::array<std::uint16_t, 1> one{274};
  const auto latest = arvel().multicast(0, one, 1, 4072);
  ASSERT_TRUE(latest.has_value());
  EXPECT_EQ(latest->sender[1], delay(4094));
  EXPECT_EQ(latest->receivers[0][1] >> 14 & 0xFFFu, 4095u - 23u);

  const auto start = ExchangeError::schedule("multicast start cycle");
  EXPECT_EQ(arvel().multicast(0, one, 1, 4073).error(), start);
  EXPECT_EQ(arvel().multicast(0, one, 1, UINT32_MAX).error(), start);

  // Tile 100 needs its mux 49 cycles after the SEND, tile 900 34 cycles before it.
  const std::array<std::uint16_t, 2> spread{900, 100};
  EXPECT_TRUE(arvel().multicast(736, spread, 1, 4012).has_value());
  EXPECT_EQ(arvel().multicast(736, spread, 1, 4013).error(),
            ExchangeError::schedule("multicast receive cycle"));
}

TEST(PlanErrors, PointToPointReportsInOrder) {
  struct Case {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t count;
    ExchangeError error;
  };
  const Case cases[] = {
      {0, 1, 0, ExchangeError::count(0)},
      {0, 1, 4149, ExchangeError::count(4149)},
      {5, 5, 0, ExchangeError::count(0)},
      {5, 5, 1, ExchangeError::duplicate_tile()},
      {2000, 2000, 1, ExchangeError::duplicate_tile()},
      {2000, 3000, 1, ExchangeError::tile(2000)},
      {0, 3000, 1, ExchangeError::tile(3000)},
  };
  for (const auto& c : cases) {
    const auto plan = arvel().point_to_point(c.sender, c.receiver, c.count);
    ASSERT_FALSE(plan.has_value());
    EXPECT_EQ(plan.error(), c.error) << c.sender << " -> " << c.receiver << " x" << c.count;
  }
  EXPECT_TRUE(arvel().point_to_point(0, 1, 1).has_value());
  EXPECT_TRUE(arvel().point_to_point(0, 1, 4148).has_value());
}

TEST(PlanErrors, MulticastReportsInOrder) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    std::uint32_t offset;
    ExchangeError error;
  };
  const Case cases[] = {
      {2000, {}, 0, 0, ExchangeError::count(0)},
      {0, {1}, 4149, 0, ExchangeError::count(4149)},
      {2000, {}, 1, 0, ExchangeError::tile(2000)},
      {2000, {1}, 1, 0, ExchangeError::tile(2000)},
      {0, {}, 1, 0, ExchangeError::receiver_set()},
      {0, {0}, 64, 0, ExchangeError::receiver_set()},
      {0, {1, 1}, 1, 0, ExchangeError::receiver_set()},
      {0, {0, 0, 274}, 64, 0, ExchangeError::receiver_set()},
      {0, {2000}, 1, 0, ExchangeError::receiver_set()},
      {0, {274, 1472}, 1, 0, ExchangeError::receiver_set()},
      {0, {1, 1}, 1, 5000, ExchangeError::receiver_set()},
      {0, {274}, 1, 5000, ExchangeError::schedule("multicast start cycle")},
  };
  for (const auto& c : cases) {
    const auto plan = arvel().multicast(c.sender, c.receivers, c.count, c.offset);
    ASSERT_FALSE(plan.has_value());
    EXPECT_EQ(plan.error(), c.error) << testing::PrintToString(c.receivers);
  }
}

TEST(SenderControl, SwitchesEveryPayloadSend) {
  PlanRow row{SYNC, 0x40A0001E, 0x7FE00003, 0x77EF8003, 0xF0EA00A0, 0x19015000, RET, 0, 0};
  ASSERT_TRUE(set_sender_control(row, 7).has_value());
  // The SENDPICP with no direction moves no payload and keeps its control.
  EXPECT_EQ(row,
            (PlanRow{SYNC, 0x40A0001E, 0x7FE00007, 0x77EF8007, 0xF0EA00A0, 0x19015000, RET, 0, 0}));
  PlanRow pair{SYNC, 0xF0EA00A1, 0x19015000, RET, 0, 0, 0, 0, 0};
  ASSERT_TRUE(set_sender_control(pair, 6).has_value());
  EXPECT_EQ(pair[1], 0xF0EA00A6u);
  EXPECT_EQ(pair[2], 0x19015000u);
}

TEST(SenderControl, FailuresLeaveTheRowUnchanged) {
  const PlanRow sender{SYNC, 0x78400001, RET, 0, 0, 0, 0, 0, 0};
  for (const std::uint8_t control : {std::uint8_t{0}, std::uint8_t{8}}) {
    PlanRow row = sender;
    EXPECT_EQ(set_sender_control(row, control).error(), ExchangeError::schedule("send control"));
    EXPECT_EQ(row, sender);
  }
  const PlanRow receiver{SYNC, 0x64000000, 0xF0EA00A0, 0x19015000, RET, 0, 0, 0, 0};
  PlanRow row = receiver;
  EXPECT_EQ(set_sender_control(row, 5).error(), ExchangeError::schedule("sender payload"));
  EXPECT_EQ(row, receiver);
}

TEST(PlanEventCycles, CountsPairsOnceAndRejectsOverflow) {
  // SENDPICP of 43 words: its control word adds nothing.
  const std::vector<std::uint32_t> pair{SYNC, 0x40A00004, 0xF54A0109, 0x19015000, RET};
  EXPECT_EQ(plan_event_cycles(pair).value(), 5u + 43u);
  const std::vector<std::uint32_t> patchable{1, SYNC, 0x641C0000, RET};
  EXPECT_EQ(plan_event_cycles(patchable).value(), 113u);
  EXPECT_EQ(plan_event_cycles(std::vector<std::uint32_t>{}).value(), 0u);

  const std::vector<std::uint32_t> longest(8191, delay(0x7FFFF));
  EXPECT_EQ(plan_event_cycles(longest).value(), 8191u * 0x80000u);
  std::vector<std::uint32_t> too_long = longest;
  too_long.push_back(delay(0x7FFFF));
  EXPECT_EQ(plan_event_cycles(too_long).error(),
            ExchangeError::schedule("plan event horizon overflow"));
}

TEST(PrimitiveRows, RejectOperandsTheSendCannotHold) {
  EXPECT_TRUE(validate_count(1).has_value());
  EXPECT_TRUE(validate_count(4148).has_value());
  EXPECT_EQ(validate_count(0).error(), ExchangeError::count(0));
  EXPECT_EQ(validate_count(4149).error(), ExchangeError::count(4149));
  EXPECT_EQ(primitive_sender_row(1, 8, -1).error(),
            ExchangeError::schedule("send instruction operand"));
  // Closing delay only while 4 - delay - count >= 0.
  EXPECT_EQ(primitive_sender_row(4, 2, 0).value(),
            (PlanRow{SYNC, delay(0), 0x78600002, delay(0), RET, 0, 0, 0, 0}));
  EXPECT_EQ(primitive_sender_row(4, 2, 1).value(),
            (PlanRow{SYNC, delay(1), 0x78600002, RET, 0, 0, 0, 0, 0}));
}

TEST(SenderPatching, RejectsAddressesTheFieldCannotHold) {
  const PlanRow narrow{SYNC, 0x78400001, RET, 0, 0, 0, 0, 0, 0};
  const PlanRow wide{SYNC, 0x78400005, RET, 0, 0, 0, 0, 0, 0};
  struct Case {
    const PlanRow* row;
    std::uint32_t address;
    bool accepted;
  };
  const Case cases[] = {
      {&narrow, 0xFFFFC, true}, {&narrow, 0x100000, false}, {&narrow, 0x50002, false},
      {&wide, 0x1FFFF8, true},  {&wide, 0x200000, false},   {&wide, 0x50004, false},
  };
  for (const auto& c : cases) {
    PlanRow row = *c.row;
    const auto patched = patch_sender_address(row, c.address);
    EXPECT_EQ(patched.has_value(), c.accepted) << std::hex << c.address;
    if (c.accepted) {
      EXPECT_EQ(((row[1] >> 3) & 0x3FFFFu) << ((row[1] & 4u) != 0 ? 3 : 2), c.address);
    } else {
      EXPECT_EQ(patched.error(), ExchangeError::address(c.address));
      EXPECT_EQ(row, *c.row);
    }
  }

  PlanRow receiver{SYNC, 0x61994000, RET, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(patch_sender_address(receiver, 0x50000).error(), ExchangeError::address(0x50000));
  // A SENDPICP without a direction has no payload address to patch.
  std::uint32_t idle_pair = 0xF0EA00A0;
  EXPECT_EQ(patch_sender_instruction(idle_pair, 0x50000).error(), ExchangeError::address(0x50000));
  EXPECT_EQ(idle_pair, 0xF0EA00A0u);
}

TEST(ReceiverPatching, PatchesTheFirstReceiveAddressOnly) {
  struct Case {
    PlanRow before;
    PlanRow after;
  };
  const Case cases[] = {
      // The pair's control word takes the address; the later PIC delay keeps its own.
      {{SYNC, 0xF0EA00A1, 0x19015000, 0x61994000, RET, 0, 0, 0, 0},
       {SYNC, 0xF0EA00A1, 0x19014C20, 0x61994000, RET, 0, 0, 0, 0}},
      // A pair carrying a format control (selector 1) is skipped with its control word.
      {{SYNC, 0xF8EA00A1, 0x19015000, 0x61994000, RET, 0, 0, 0, 0},
       {SYNC, 0xF8EA00A1, 0x19015000, 0x61994C20, RET, 0, 0, 0, 0}},
      // Format PIC delays (selector 1) are not addresses.
      {{SYNC, 0x61AC0001, 0x60098000, RET, 0, 0, 0, 0, 0},
       {SYNC, 0x61AC0001, 0x60094C20, RET, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    PlanRow row = c.before;
    ASSERT_TRUE(patch_receiver_address(row, 0x53080).has_value()) << row_to_string(c.before);
    EXPECT_EQ(row, c.after);
  }
}

TEST(ReceiverPatching, FailuresLeaveTheRowUnchanged) {
  struct Case {
    PlanRow row;
    std::uint32_t address;
    ExchangeError error;
  };
  const PlanRow truncated{SYNC,       0x40A00000, 0x40A00000, 0x40A00000, 0x40A00000,
                          0x40A00000, 0x40A00000, RET,        0xF0EA00A1};
  const Case cases[] = {
      {truncated, 0x53080, ExchangeError::schedule("truncated SENDPICP payload")},
      // The address is checked before the row is scanned.
      {truncated, 0x53082, ExchangeError::address(0x53082)},
      {{SYNC, 0x61AC0001, 0x64000640, RET, 0, 0, 0, 0, 0},
       0x53080,
       ExchangeError::address(0x53080)},
      {{SYNC, 0x61994000, RET, 0, 0, 0, 0, 0, 0}, 0x100000, ExchangeError::address(0x100000)},
  };
  for (const auto& c : cases) {
    PlanRow row = c.row;
    EXPECT_EQ(patch_receiver_address(row, c.address).error(), c.error);
    EXPECT_EQ(row, c.row);
  }
}

TEST(SenderAddressGroups, SplitAtEachSendAndRejectMisplacedPairs) {
  const std::vector<std::uint32_t> two_sends{0x782A0003, 0xF0EA00A3, 0x19015000,
                                             0x782A0403, 0xF0000000, 0x19000000,
                                             0xF0EA04A3, 0x19015000, RET};
  const std::vector<SenderAddressGroup> expected{{{0, 0}, {1, 80}}, {{3, 0}, {6, 80}}};
  EXPECT_EQ(sender_address_instruction_groups(two_sends).value(), expected);

  // A pair that moves no payload needs no source.
  const std::vector<std::uint32_t> idle_first{0xF0EA00A0, 0x19015000, 0x782A0003, RET};
  EXPECT_EQ(sender_address_instruction_groups(idle_first).value(),
            (std::vector<SenderAddressGroup>{{{2, 0}}}));

  const std::vector<std::uint32_t> pair_first{0xF0EA00A3, 0x19015000, 0x782A0003, RET};
  EXPECT_EQ(sender_address_instruction_groups(pair_first).error(),
            ExchangeError::schedule("SENDPICP precedes initial outgoing SEND"));
  const std::vector<std::uint32_t> pair_below{0x782A0403, 0xF0EA00A3, 0x19015000, RET};
  EXPECT_EQ(sender_address_instruction_groups(pair_below).error(),
            ExchangeError::schedule("SENDPICP precedes outgoing source"));
}

TEST(OffsetPlan, ErrorsAndBoundaries) {
  const PlanRow sender{SYNC, 0x78400001, RET, 0, 0, 0, 0, 0, 0};
  PlanRow exact = sender;
  ASSERT_TRUE(offset_plan(exact, 0x80000).has_value());
  EXPECT_EQ(exact, (PlanRow{SYNC, 0x40A7FFFF, 0x78400001, RET, 0, 0, 0, 0, 0}));
  PlanRow single = sender;
  ASSERT_TRUE(offset_plan(single, 1).has_value());
  EXPECT_EQ(single, (PlanRow{SYNC, 0x40A00000, 0x78400001, RET, 0, 0, 0, 0, 0}));

  struct Case {
    PlanRow row;
    std::uint32_t cycles;
    ExchangeError error;
  };
  const PlanRow full{SYNC, 1, 2, 3, 4, 5, 6, 7, RET};
  const Case cases[] = {
      {{1, SYNC, 0x641C0000, RET, 0, 0, 0, 0, 0}, 1, ExchangeError::schedule("plan offset entry")},
      {{SYNC, 0x78400001, 0, 0, 0, 0, 0, 0, 0}, 1, ExchangeError::schedule("plan offset return")},
      {full, 1, ExchangeError::plan_offset_range(1, 0)},
      {sender, UINT32_MAX, ExchangeError::plan_offset_range(UINT32_MAX, 6u * 0x80000u)},
  };
  for (const auto& c : cases) {
    PlanRow row = c.row;
    EXPECT_EQ(offset_plan(row, c.cycles).error(), c.error);
    EXPECT_EQ(row, c.row);
    // No shift is always accepted, whatever the row holds.
    EXPECT_TRUE(offset_plan(row, 0).has_value());
    EXPECT_EQ(row, c.row);
  }
}

TEST(PlanText, RendersRowsInDecimal) {
  const auto plan = arvel().point_to_point(0, 1286, 3).value();
  EXPECT_EQ(to_string(plan),
            "Plan { sender: [1098907651, 1084227718, 2017460225, 1134559232, 0, 0, 0, 0, 0], "
            "receiver: [1, 1098907651, 1679556608, 1677755968, 1635778560, 1084227591, "
            "1134559232, 0, 0] }");
  const std::array<std::uint16_t, 1> one{100};
  const auto multicast = arvel().multicast(736, one, 1, 0).value();
  std::ostringstream out;
  out << multicast;
  EXPECT_EQ(out.str(), to_string(multicast));
  EXPECT_EQ(out.str().rfind("MulticastPlan { sender: [1098907651, 2013265922, ", 0), 0u);
  EXPECT_NE(out.str().find(", receivers: [[1098907651, "), std::string::npos);
  EXPECT_EQ(row_to_string(std::vector<std::uint32_t>{1, 2}), "[1, 2]");
}

TEST(PlanEvents, BuildersReportTheirRequest) {
  CapturingEventSink sink;
  ASSERT_TRUE(arvel().point_to_point(0, 1286, 3).has_value());
  const std::array<std::uint16_t, 2> receivers{274, 1286};
  ASSERT_TRUE(arvel().multicast(0, receivers, 64, 5).has_value());
  // Failed requests report nothing.
  EXPECT_FALSE(arvel().point_to_point(0, 0, 3).has_value());
  EXPECT_FALSE(arvel().multicast(0, std::span<const std::uint16_t>{}, 64, 0).has_value());

  const auto events = sink.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].target, "vessik_exchange");
  EXPECT_EQ(events[0].message, "assembled point-to-point exchange");
  EXPECT_EQ(events[0].fields, (std::vector<EventField>{{"sender_logical", std::uint64_t{0}},
                                                       {"receiver_logical", std::uint64_t{1286}},
                                                       {"count", std::uint64_t{3}}}));
  EXPECT_EQ(events[1].target, "vessik_exchange");
  EXPECT_EQ(events[1].message, "assembled multicast exchange");
  EXPECT_EQ(events[1].fields,
            (std::vector<EventField>{{"sender_logical", std::uint64_t{0}},
                                     {"receiver_logical", std::string("[274, 1286]")},
                                     {"count", std::uint64_t{64}},
                                     {"schedule_offset", std::uint64_t{5}}}));
}

}  // namespace
}  // namespace vessik_exchange
