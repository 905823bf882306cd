#include "vessik_exchange/row_timing.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vessik_exchange {
namespace {

using Kind = ReceiveEventKind;
constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

// Ordinary receiver row of a 52-word transfer: source, pointer, teardown, closing delay.
constexpr PlanRow ORDINARY_ROW{0x41800003, 0x641c0000, 0x61d80000, 0x64000640, 0x40a00038,
                               0x43a00000, 0,          0,          0};
// Early tile of a 64-item paired receive: source 1, format 54, pointer 56, teardown 65, end 118.
constexpr PlanRow PAIRED_EARLY_ROW{0x41800003, 0x64002000, 0x61A40001, 0x60098000, 0x64022640,
                                   0x61A40000, 0x40A00006, 0x43A00000, 0};
// Late tile of the same pair: no mux controls of its own.
constexpr PlanRow PAIRED_LATE_ROW{0x41800003, 0x61AC0001, 0x60098000, 0x61EC0000, 0x40A00006,
                                  0x43A00000, 0,          0,          0};
// Ordinary source, then a fused send-control pair carrying the teardown and a pointer.
constexpr PlanRow FUSED_PAIR_ROW{0x41800003, 0x641c0000, 0xf54a0109, 0x19015000, 0x43a00000,
                                 0,          0,          0,          0};
// Multicast receiver row with the default receive address 0x50000.
constexpr PlanRow MULTICAST_ROW{0x41800003, 0x64000000, 0x64008640, 0x61814000, 0x40A00007,
                                0x43A00000, 0,          0,          0};

void expect_schedule_error(const auto& result, std::string_view text) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), ExchangeError::schedule(text));
}

TEST(ReceiveRowTiming, AnalysesOrdinaryRowAtAnyOffset) {
  for (const std::uint32_t offset : {0u, 1000u}) {
    const ReceiveRowTiming expected{
        .mode = ReceiveMode::Ordinary,
        .events = {{113 + offset, 0x641c0000, Kind::OrdinarySource},
                   {173 + offset, 0x61d80000, Kind::Pointer},
                   {174 + offset, 0x64000640, Kind::OrdinaryNeutral}},
        .neutral_cycles = 174 + offset,
        .source_cycles = 113 + offset,
        .format_start_cycles = std::nullopt,
        .format_end_cycles = std::nullopt,
        .pointer_cycles = 173 + offset,
        .horizon_cycles = 231 + offset,
        .pointer_address = 0,
    };
    EXPECT_EQ(receive_row_timing(ORDINARY_ROW, offset), expected) << "offset " << offset;
  }
}

TEST(ReceiveRowTiming, FusedSendControlPairTakesEffectOneCycleAfterItStarts) {
  const auto timing = receive_row_timing(FUSED_PAIR_ROW, 0);
  ASSERT_TRUE(timing.has_value()) << timing.error();
  const std::vector<ReceiveEvent> expected{{113, 0x641c0000, Kind::OrdinarySource},
                                           {114, 0x64000640, Kind::OrdinaryNeutral},
                                           {114, 0x60015000, Kind::Pointer}};
  EXPECT_EQ(timing->events, expected);
  EXPECT_EQ(timing->pointer_address, 0x54000u);
  EXPECT_EQ(timing->horizon_cycles, 113u + 43u);
  EXPECT_EQ(timing->mode, ReceiveMode::Ordinary);
}

TEST(ReceiveRowTiming, AnalysesPairedRows) {
  const auto early = receive_row_timing(PAIRED_EARLY_ROW, 0);
  ASSERT_TRUE(early.has_value()) << early.error();
  const std::vector<ReceiveEvent> early_events{{1, 0x64002000, Kind::PairedSource},
                                               {54, 0x61A40001, Kind::Format},
                                               {56, 0x60098000, Kind::PairedPointer},
                                               {65, 0x64022640, Kind::PairedNeutral},
                                               {118, 0x61A40000, Kind::Format}};
  EXPECT_EQ(early->mode, ReceiveMode::Paired64);
  EXPECT_EQ(early->events, early_events);
  EXPECT_EQ(early->source_cycles, 1u);
  EXPECT_EQ(early->neutral_cycles, 65u);
  EXPECT_EQ(early->format_start_cycles, 54u);
  EXPECT_EQ(early->format_end_cycles, 118u);
  EXPECT_EQ(early->pointer_cycles, 56u);
  EXPECT_EQ(early->pointer_address, 0x60000u);
  EXPECT_EQ(early->horizon_cycles, 125u);
  EXPECT_EQ(early->paired_format(), 1u);

  // A paired row without a mux source of its own is still accepted.
  const auto late = receive_row_timing(PAIRED_LATE_ROW, 0);
  ASSERT_TRUE(late.has_value()) << late.error();
  EXPECT_EQ(late->mode, ReceiveMode::Paired64);
  EXPECT_EQ(late->source_cycles, std::nullopt);
  EXPECT_EQ(late->neutral_cycles, std::nullopt);
  EXPECT_EQ(late->format_start_cycles, 54u);
  EXPECT_EQ(late->pointer_cycles, 56u);
  EXPECT_EQ(late->format_end_cycles, 118u);
  EXPECT_EQ(late->events[1].kind, Kind::PairedPointer);
}

TEST(ReceiveRowTiming, FusedPairSelectorChoosesFormatOrPointer) {
  // Paired source at 1, fused pair at 1 (controls at 2), format end 1 cycle after the pair.
  constexpr std::uint32_t PAIRED_TEARDOWN = 0x2640u << 18;
  constexpr PlanRow FORMAT_BY_PAIR{0x41800003,           0x64002000, 0xF8000000,
                                   PAIRED_TEARDOWN | 1u, 0x60040000, 0x43A00000};
  const auto format = receive_row_timing(FORMAT_BY_PAIR, 0);
  ASSERT_TRUE(format.has_value()) << format.error();
  EXPECT_EQ(format->mode, ReceiveMode::Paired64);
  EXPECT_EQ(format->events[1], (ReceiveEvent{2, 0x64002640, Kind::PairedNeutral}));
  EXPECT_EQ(format->events[2], (ReceiveEvent{2, 0x60040001, Kind::Format}));
  EXPECT_EQ(format->format_start_cycles, 2u);
  EXPECT_EQ(format->format_end_cycles, 3u);

  // Selector clear in a paired row: a pointer, relabelled as the paired one.
  constexpr PlanRow POINTER_BY_PAIR{
      0x41800003, 0x64002000, 0x60040001, 0xF0000000, PAIRED_TEARDOWN | 0x20u,
      0x60040000, 0x43A00000};
  const auto pointer = receive_row_timing(POINTER_BY_PAIR, 0);
  ASSERT_TRUE(pointer.has_value()) << pointer.error();
  EXPECT_EQ(pointer->mode, ReceiveMode::Paired64);
  EXPECT_EQ(pointer->events[3], (ReceiveEvent{3, 0x60000020, Kind::PairedPointer}));
  EXPECT_EQ(pointer->pointer_address, 0x80u);
}

struct MalformedRow {
  PlanRow row;
  std::string_view text;
};

TEST(ReceiveRowTiming, RejectsMalformedRows) {
  const MalformedRow cases[] = {
      {{0x41800002, 0x641c0000, 0x64000640, 0x43a00000}, "receive row entry"},
      {{0x41800003, 0x641c0000, 0x64000640, 0x40a00038}, "receive row return"},
      {{0x41800003, 0x641c0000, 0x64000001, 0x64000640, 0x43a00000}, "multiple receive sources"},
      {{0x41800003, 0x641c0000, 0x64000640, 0x64000640, 0x43a00000}, "multiple receive teardowns"},
      {{0x41800003, 0x641c0000, 0x60000000, 0x60000010, 0x64000640, 0x43a00000},
       "multiple receive pointers"},
      {{0x41800003, 0x60040001, 0x60040002, 0x60040000, 0x43a00000},
       "multiple paired format starts"},
      {{0x41800003, 0x60040001, 0x60040000, 0x60040000, 0x43a00000}, "multiple paired format ends"},
      {{0x41800003, 0x60040003, 0x43a00000}, "paired receive format value"},
      {{0x41800003, 0x64002000, 0x61A40001, 0x60098000, 0x64022640, 0x43A00000},
       "incomplete paired receive format"},
      {{0x41800003, 0x64002000, 0x64022640, 0x43A00000}, "incomplete paired receive format"},
      {{0x41800003, 0x641c0000, 0x61d80000, 0x40a00038, 0x43a00000},
       "incomplete ordinary receive mux"},
      {{0x41800003, 0x61d80000, 0x64000640, 0x43a00000}, "incomplete ordinary receive mux"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    expect_schedule_error(receive_row_timing(c.row, 0), c.text);
  }
  // An ordinary row without a pointer is accepted.
  const auto no_pointer =
      receive_row_timing(PlanRow{0x41800003, 0x641c0000, 0x64000640, 0x43a00000}, 0);
  ASSERT_TRUE(no_pointer.has_value()) << no_pointer.error();
  EXPECT_EQ(no_pointer->pointer_cycles, std::nullopt);
  EXPECT_EQ(no_pointer->pointer_address, std::nullopt);
}

TEST(ReceiveRowTiming, ShiftedBaseEqualsDirectAnalysis) {
  const PlanRow rows[] = {ORDINARY_ROW, PAIRED_EARLY_ROW, PAIRED_LATE_ROW, FUSED_PAIR_ROW,
                          MULTICAST_ROW};
  const std::uint32_t offsets[] = {0, 1, 113, 4095, 524288, U32_MAX - 231, U32_MAX - 125};
  for (const PlanRow& row : rows) {
    const auto base = receive_row_timing(row, 0);
    ASSERT_TRUE(base.has_value()) << base.error();
    for (const std::uint32_t offset : offsets) {
      const auto direct = receive_row_timing(row, offset);
      const auto shifted = receive_row_timing_from_base(*base, offset);
      ASSERT_EQ(direct.has_value(), shifted.has_value()) << "offset " << offset;
      if (direct) {
        EXPECT_EQ(*shifted, *direct) << "offset " << offset;
      }
    }
  }
}

TEST(ReceiveRowTiming, ReportsCycleOverflow) {
  // The ordinary row ends 231 cycles after its offset.
  const auto last = receive_row_timing(ORDINARY_ROW, U32_MAX - 231);
  ASSERT_TRUE(last.has_value()) << last.error();
  EXPECT_EQ(last->horizon_cycles, U32_MAX);
  expect_schedule_error(receive_row_timing(ORDINARY_ROW, U32_MAX - 230),
                        "receive event horizon overflow");
  // The fused pair's controls fall one cycle after the pair starts, before its advance counts.
  constexpr PlanRow PAIR_FIRST{0x41800003, 0xf54a0109, 0x19015000, 0x43a00000};
  expect_schedule_error(receive_row_timing(PAIR_FIRST, U32_MAX), "receive event horizon overflow");
  expect_schedule_error(receive_row_timing(PAIR_FIRST, U32_MAX - 1),
                        "receive event horizon overflow");

  const auto base = receive_row_timing(ORDINARY_ROW, 0);
  ASSERT_TRUE(base.has_value());
  EXPECT_TRUE(receive_row_timing_from_base(*base, U32_MAX - 231).has_value());
  expect_schedule_error(receive_row_timing_from_base(*base, U32_MAX - 230),
                        "receive offset overflow");
}

struct SenderCase {
  PlanRow row;
  ScheduledPayloadTiming timing;
};

TEST(ScheduledSenderTiming, FindsPayloadInterval) {
  const SenderCase cases[] = {
      // Delay of advance 10, then a three-word SEND.
      {{0x41800003, 0x40A00009, 0x78400001, 0x43A00000}, {10, 13, 13}},
      // 64-word SEND plus a one-word offset SEND after a delay of 126.
      {{0x41800003, 0x40A0007D, 0x7FE00002, 0x70000002, 0x43A00000}, {126, 191, 191}},
      // No leading delay and a closing delay after the payload.
      {{0x41800003, 0x78000002, 0x40A00004, 0x43A00000}, {0, 1, 6}},
      // A SENDPIC before the payload moves time but starts no payload.
      {{0x41800003, 0x70794000, 0x78000002, 0x43A00000}, {4, 5, 5}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(scheduled_sender_timing(c.row, 0), c.timing);
    EXPECT_EQ(scheduled_sender_timing(c.row, 7000), *c.timing.at(7000));
  }
}

TEST(ScheduledSenderTiming, RejectsMalformedRows) {
  expect_schedule_error(scheduled_sender_timing(PlanRow{0x41800000, 0x78000002, 0x43A00000}, 0),
                        "sender row entry");
  expect_schedule_error(scheduled_sender_timing(PlanRow{0x41800003, 0x78000002}, 0),
                        "sender row return");
  expect_schedule_error(
      scheduled_sender_timing(PlanRow{0x41800003, 0x40A00009, 0x70794000, 0x43A00000}, 0),
      "sender payload");
  // Words after the return are never read.
  expect_schedule_error(
      scheduled_sender_timing(PlanRow{0x41800003, 0x40A00009, 0x43A00000, 0x78000002}, 0),
      "sender payload");
  constexpr PlanRow ROW{0x41800003, 0x78000002, 0x40A00004, 0x43A00000};
  EXPECT_EQ(scheduled_sender_timing(ROW, U32_MAX - 6)->horizon, U32_MAX);
  expect_schedule_error(scheduled_sender_timing(ROW, U32_MAX - 5), "sender event horizon overflow");
}

TEST(ScheduledPayloadTiming, ShiftIsChecked) {
  const ScheduledPayloadTiming timing{10, 13, 20};
  EXPECT_EQ(timing.at(5), (ScheduledPayloadTiming{15, 18, 25}));
  EXPECT_EQ(timing.at(U32_MAX - 20), (ScheduledPayloadTiming{U32_MAX - 10, U32_MAX - 7, U32_MAX}));
  expect_schedule_error(timing.at(U32_MAX - 19), "sender event horizon overflow");
}

TEST(MulticastPlan, PrepareAnalysesEveryRowAtOffsetZero) {
  const MulticastPlan plan{{0x41800003, 0x40A00016, 0x78400003, 0x43A00000},
                           {MULTICAST_ROW, ORDINARY_ROW}};
  const auto prepared = plan.prepare();
  ASSERT_TRUE(prepared.has_value()) << prepared.error();
  EXPECT_EQ(&prepared->rows.get(), &plan);
  EXPECT_EQ(prepared->sender, (ScheduledPayloadTiming{23, 26, 26}));
  ASSERT_EQ(prepared->receivers.size(), 2u);
  EXPECT_EQ(prepared->receivers[0].source_cycles, 1u);
  EXPECT_EQ(prepared->receivers[0].neutral_cycles, 4u);
  EXPECT_EQ(prepared->receivers[0].pointer_cycles, 53u);
  EXPECT_EQ(prepared->receivers[0].pointer_address, 0x50000u);
  EXPECT_EQ(prepared->receivers[0].horizon_cycles, 61u);
  EXPECT_EQ(prepared->receivers[1], *receive_row_timing(ORDINARY_ROW, 0));

  // The first failing row decides the error: sender first, then receivers in order.
  MulticastPlan broken = plan;
  broken.receivers.push_back({0x41800003, 0x641c0000});
  broken.receivers.push_back({0x41800000});
  expect_schedule_error(broken.prepare(), "receive row return");
  broken.sender[0] = 0;
  expect_schedule_error(broken.prepare(), "sender row entry");
}

struct SharingCase {
  Kind first;
  Kind second;
  bool accepted;
};

TEST(ReceiveEvents, OnlyOrdinaryMuxAndPointerShareACycle) {
  const SharingCase cases[] = {
      {Kind::OrdinarySource, Kind::Pointer, true},
      {Kind::Pointer, Kind::OrdinarySource, true},
      {Kind::OrdinaryNeutral, Kind::Pointer, true},
      {Kind::Pointer, Kind::OrdinaryNeutral, true},
      {Kind::PairedSource, Kind::PairedPointer, false},
      {Kind::Format, Kind::PairedNeutral, false},
      {Kind::OrdinarySource, Kind::OrdinaryNeutral, false},
      {Kind::Pointer, Kind::Pointer, false},
      {Kind::PairedSource, Kind::Pointer, false},
      {Kind::OrdinarySource, Kind::PairedPointer, false},
      {Kind::OrdinaryNeutral, Kind::Format, false},
      {Kind::OutgoingBase, Kind::Pointer, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(to_string(c.first) + " with " + to_string(c.second));
    const ReceiveEvent first{40, 0, c.first};
    const ReceiveEvent second{40, 0, c.second};
    EXPECT_EQ(receive_events_can_share_instruction(first, second), c.accepted);
    const std::vector<ReceiveEvent> events{
        {10, 0, Kind::Format}, first, second, {41, 0, Kind::PairedNeutral}};
    const auto valid = validate_receive_events(events);
    if (c.accepted) {
      EXPECT_TRUE(valid.has_value());
    } else {
      expect_schedule_error(valid, "incompatible simultaneous receive controls");
    }
    // On different cycles any two controls are fine.
    EXPECT_FALSE(receive_events_can_share_instruction(first, {41, 0, c.second}));
    const std::vector<ReceiveEvent> apart{first, {41, 0, c.second}};
    EXPECT_TRUE(validate_receive_events(apart).has_value());
  }
  const std::vector<ReceiveEvent> three{
      {5, 0, Kind::OrdinarySource}, {5, 0, Kind::Pointer}, {5, 0, Kind::OrdinaryNeutral}};
  expect_schedule_error(validate_receive_events(three),
                        "incompatible simultaneous receive controls");
  EXPECT_TRUE(validate_receive_events({}).has_value());
}

TEST(ReceiveEvents, IssueStartLeadsTheControl) {
  EXPECT_EQ((ReceiveEvent{0, 0, Kind::Pointer}.issue_start()), 0u);
  EXPECT_EQ((ReceiveEvent{0, 0, Kind::OutgoingBase}.issue_start()), 0u);
  EXPECT_EQ((ReceiveEvent{10, 0, Kind::OutgoingBase}.issue_start()), 0u);
  EXPECT_EQ((ReceiveEvent{13, 0, Kind::OutgoingBase}.issue_start()), 0u);
  EXPECT_EQ((ReceiveEvent{20, 0, Kind::OutgoingBase}.issue_start()), 7u);
  EXPECT_EQ((ReceiveEvent{20, 0, Kind::Pointer}.issue_start()), 19u);
  EXPECT_EQ((ReceiveEvent{1, 0, Kind::Format}.issue_start()), 0u);
}

TEST(ReceiveEvents, KindClassesAndTextForms) {
  EXPECT_TRUE(is_xpic(Kind::PairedNeutral));
  EXPECT_FALSE(is_pic(Kind::PairedNeutral));
  EXPECT_TRUE(is_pic(Kind::PairedPointer));
  EXPECT_TRUE(is_pic(Kind::Format));
  EXPECT_FALSE(is_xpic(Kind::OutgoingBase) || is_pic(Kind::OutgoingBase));

  EXPECT_EQ(to_string(ReceiveEvent{113, 1679556608, Kind::OrdinarySource}),
            "ReceiveEvent { cycles: 113, instruction: 1679556608, kind: OrdinarySource }");
  EXPECT_EQ(to_string(ReceiveMode::Paired64), "Paired64");
  EXPECT_EQ(to_string(Kind::OutgoingBase), "OutgoingBase");
  EXPECT_EQ(to_string(ScheduledPayloadTiming{10, 13, 20}),
            "ScheduledPayloadTiming { payload_start: 10, payload_end: 13, horizon: 20 }");
  const auto timing =
      receive_row_timing(PlanRow{0x41800003, 0x641c0000, 0x64000640, 0x43a00000}, 0);
  ASSERT_TRUE(timing.has_value());
  std::ostringstream out;
  out << *timing;
  EXPECT_EQ(out.str(),
            "ReceiveRowTiming { mode: Ordinary, events: [ReceiveEvent { cycles: 113, instruction: "
            "1679556608, kind: OrdinarySource }, ReceiveEvent { cycles: 114, instruction: "
            "1677723200, kind: OrdinaryNeutral }], neutral_cycles: Some(114), source_cycles: "
            "Some(113), format_start_cycles: None, format_end_cycles: None, pointer_cycles: None, "
            "horizon_cycles: 114, pointer_address: None }");
}

TEST(MulticastPlan, PreparedTransferPrintsItsPlan) {
  const MulticastPlan plan{{0x41800003, 0x78000002, 0x40A00004, 0x43A00000},
                           {{0x41800003, 0x641c0000, 0x64000640, 0x43a00000}}};
  const auto prepared = plan.prepare();
  ASSERT_TRUE(prepared.has_value()) << prepared.error();
  const std::string expected =
      "PreparedTransfer { rows: MulticastPlan { sender: [1098907651, 2013265922, 1084227588, "
      "1134559232, 0, 0, 0, 0, 0], receivers: [[1098907651, 1679556608, 1677723200, 1134559232, "
      "0, 0, 0, 0, 0]] }, sender: ScheduledPayloadTiming { payload_start: 0, payload_end: 1, "
      "horizon: 6 }, receivers: [ReceiveRowTiming { mode: Ordinary, events: [ReceiveEvent { "
      "cycles: 113, instruction: 1679556608, kind: OrdinarySource }, ReceiveEvent { cycles: 114, "
      "instruction: 1677723200, kind: OrdinaryNeutral }], neutral_cycles: Some(114), "
      "source_cycles: Some(113), format_start_cycles: None, format_end_cycles: None, "
      "pointer_cycles: None, horizon_cycles: 114, pointer_address: None }] }";
  EXPECT_EQ(to_string(*prepared), expected);
  std::ostringstream out;
  out << *prepared;
  EXPECT_EQ(out.str(), expected);
}

}  // namespace
}  // namespace vessik_exchange
