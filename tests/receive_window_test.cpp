#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/row_timing.hpp"

namespace vessik_exchange {
namespace {

using Kind = ReceiveEventKind;
constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

// Ordinary row: source 113, pointer 173 (address 0), teardown 174, horizon 231.
constexpr PlanRow ORDINARY_ROW{0x41800003, 0x641c0000, 0x61d80000, 0x64000640, 0x40a00038,
                               0x43a00000, 0,          0,          0};
// Early tile of a 176-item paired receive: source 1, format 54, pointer 56 (address 0x90000),
// teardown 177, format end 230, horizon 237.
constexpr PlanRow PAIRED_ROW{0x41800003,
                             delay_xpic(0, 1, 0),
                             delay_pic(52, 1, 1),
                             delay_pic(1, 0, 0x90000 / 4),
                             delay_xpic(120, 1, TILE_MUX_EXCHANGE),
                             delay_pic(52, 1, 0),
                             delay(6),
                             0x43A00000,
                             0};

ReceiveRowTiming base_of(const PlanRow& row) {
  auto timing = receive_row_timing(row, 0);
  EXPECT_TRUE(timing.has_value()) << timing.error();
  return timing.value_or(ReceiveRowTiming{});
}

void expect_schedule_error(const auto& result, std::string_view text) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), ExchangeError::schedule(text));
}

// The stream a receive leaves behind on its tile.
ReceiveStream stream_after(const ReceiveRowTiming& base, std::uint32_t offset,
                           const ScheduledReceiverWindow& window, std::uint32_t words) {
  const std::uint32_t item = base.mode == ReceiveMode::Paired64 ? 8 : 4;
  return ReceiveStream{
      .mode = base.mode,
      .paired_format = base.paired_format(),
      .format_end_cycles =
          base.format_end_cycles ? std::optional(*base.format_end_cycles + offset) : std::nullopt,
      .source_end_cycles = window.source_end,
      .pointer_end_cycles = window.payload_end,
      .next_address = window.pointer_address ? std::optional(*window.pointer_address + words * item)
                                             : std::nullopt,
  };
}

// A tile's receive controls, replaced and extended the way a tile schedule does it.
struct ReceiveTile {
  std::vector<ReceiveEvent> events;
  std::optional<ReceiveStream> stream;

  ScheduledReceiverWindow receive(const ReceiveRowTiming& base, std::uint32_t offset,
                                  std::uint32_t words) {
    auto window = scheduled_receive_window(base, offset, words, stream ? &*stream : nullptr);
    EXPECT_TRUE(window.has_value()) << window.error();
    if (!window) return {};
    if (stream) {
      const std::uint32_t from =
          std::min(stream->source_end_cycles, stream->format_end_cycles.value_or(U32_MAX));
      std::erase_if(events, [&](const ReceiveEvent& event) {
        return event.cycles >= from && replaces_receive_event(event, base.mode, *window, *stream);
      });
    }
    events.insert(events.end(), window->events.begin(), window->events.end());
    std::ranges::stable_sort(events, {}, &ReceiveEvent::cycles);
    stream = stream_after(base, offset, *window, words);
    return *window;
  }

  std::vector<std::uint32_t> cycles_of(Kind kind) const {
    std::vector<std::uint32_t> cycles;
    for (const ReceiveEvent& event : events)
      if (event.kind == kind) cycles.push_back(event.cycles);
    return cycles;
  }
};

TEST(ScheduledReceiveWindow, FirstReceiveKeepsEveryControl) {
  const ReceiveRowTiming base = base_of(ORDINARY_ROW);
  const auto window = scheduled_receive_window(base, 100, 52, nullptr);
  ASSERT_TRUE(window.has_value()) << window.error();
  const ScheduledReceiverWindow expected{
      .continues_format = false,
      .events = {{213, 0x641c0000, Kind::OrdinarySource},
                 {265, 0x64000640, Kind::OrdinaryNeutral},
                 {273, 0x61d80000, Kind::Pointer}},
      .source_start = 213,
      .source_end = 265,
      .payload_start = 273,
      .payload_end = 325,
      // The row's own tail reaches 6 cycles beyond the payload.
      .horizon = 331,
      .pointer_address = 0,
  };
  EXPECT_EQ(*window, expected);

  // The ordinary teardown follows the words received, and the horizon the longer of data and row.
  const auto long_window = scheduled_receive_window(base, 0, 4000, nullptr);
  ASSERT_TRUE(long_window.has_value());
  EXPECT_EQ(long_window->events[2], (ReceiveEvent{4113, 0x64000640, Kind::OrdinaryNeutral}));
  EXPECT_EQ(long_window->payload_end, 4173u);
  EXPECT_EQ(long_window->horizon, 4173u);
}

TEST(ScheduledReceiveWindow, TeardownMayShareOnlyThePointerCycle) {
  const ReceiveRowTiming base = base_of(ORDINARY_ROW);
  // 60 words end the source stream on the pointer cycle: one fused pair carries both.
  const auto shared = scheduled_receive_window(base, 0, 60, nullptr);
  ASSERT_TRUE(shared.has_value()) << shared.error();
  EXPECT_EQ(shared->events[1].cycles, 173u);
  EXPECT_EQ(shared->events[2].cycles, 173u);
  // No words at all put the teardown on the source setup's cycle.
  expect_schedule_error(scheduled_receive_window(base, 0, 0, nullptr),
                        "incompatible simultaneous receive controls");
}

TEST(ScheduledReceiveWindow, PointerCarriesOverWhenTheAddressContinues) {
  const ReceiveRowTiming base = base_of(ORDINARY_ROW);
  struct Case {
    ReceiveMode mode;
    std::optional<std::uint32_t> next_address;
    bool dropped;
  };
  const Case cases[] = {
      {ReceiveMode::Ordinary, 0, true},
      {ReceiveMode::Ordinary, 4, false},
      {ReceiveMode::Ordinary, std::nullopt, false},
      {ReceiveMode::Paired64, 0, false},
  };
  for (const Case& c : cases) {
    ReceiveStream previous;
    previous.mode = c.mode;
    previous.next_address = c.next_address;
    const auto window = scheduled_receive_window(base, 500, 52, &previous);
    ASSERT_TRUE(window.has_value()) << window.error();
    const bool has_pointer = std::ranges::any_of(
        window->events, [](const ReceiveEvent& e) { return e.kind == Kind::Pointer; });
    EXPECT_EQ(has_pointer, !c.dropped) << previous;
    // The payload still starts at the pointer cycle.
    EXPECT_EQ(window->payload_start, 673u);
    EXPECT_EQ(window->pointer_address, 0u);
  }
}

TEST(ScheduledReceiveWindow, ConsecutiveOrdinaryReceivesDropContinuedPointers) {
  const ReceiveRowTiming base = base_of(ORDINARY_ROW);
  PlanRow continued = ORDINARY_ROW;
  continued[2] = delay_pic(59, 0, 52);  // the word right after the first receive's 52 words
  PlanRow jumped = ORDINARY_ROW;
  jumped[2] = delay_pic(59, 0, 53);

  for (const auto& [row, pointers] : {std::pair{continued, 1u}, std::pair{jumped, 2u}}) {
    ReceiveTile tile;
    const auto first = tile.receive(base, 0, 52);
    // The second stream starts exactly where the first one ends.
    const auto second = tile.receive(base_of(row), first.source_end - 113, 52);
    EXPECT_EQ(second.source_start, first.source_end);
    EXPECT_EQ(tile.cycles_of(Kind::Pointer).size(), pointers);
    // The first teardown is handed over to the second source.
    EXPECT_EQ(tile.cycles_of(Kind::OrdinaryNeutral), std::vector<std::uint32_t>{second.source_end});
    EXPECT_EQ(tile.cycles_of(Kind::OrdinarySource),
              (std::vector<std::uint32_t>{first.source_start, second.source_start}));
  }
}

TEST(ScheduledReceiveWindow, BackToBackPairedReceivesContinueTheFormat) {
  const ReceiveRowTiming base = base_of(PAIRED_ROW);
  ASSERT_EQ(base.paired_format(), 1u);
  EXPECT_EQ(base_of(ORDINARY_ROW).paired_format(), std::nullopt);

  ReceiveTile tile;
  for (std::uint32_t i = 0; i < 4; ++i) {
    const auto window = tile.receive(base, 176 * i, 176);
    EXPECT_EQ(window.continues_format, i > 0);
  }
  using Cycles = std::vector<std::uint32_t>;
  EXPECT_EQ(tile.cycles_of(Kind::PairedSource), (Cycles{1, 177, 353, 529}));
  EXPECT_EQ(tile.cycles_of(Kind::PairedPointer), (Cycles{56, 232, 408, 584}));
  EXPECT_EQ(tile.cycles_of(Kind::Format), (Cycles{54, 758}));
  EXPECT_EQ(tile.cycles_of(Kind::PairedNeutral), (Cycles{705}));
  // Every control is left on a cycle of its own.
  EXPECT_TRUE(validate_receive_events(tile.events).has_value());
  EXPECT_EQ(tile.stream->next_address, 0x90000u + 176u * 8u);
}

TEST(ScheduledReceiveWindow, FormatContinuesOnlyOnTheSameValueAndCycle) {
  const ReceiveRowTiming base = base_of(PAIRED_ROW);
  struct Case {
    std::optional<std::uint32_t> format;
    std::optional<std::uint32_t> format_end;
    bool continues;
  };
  // Placed at 1000, the format setup falls on cycle 1054.
  const Case cases[] = {
      {1, 1054, true},
      {2, 1054, false},
      {1, 1053, false},
      {std::nullopt, std::nullopt, false},
  };
  for (const Case& c : cases) {
    ReceiveStream previous;
    previous.mode = ReceiveMode::Paired64;
    previous.paired_format = c.format;
    previous.format_end_cycles = c.format_end;
    previous.source_end_cycles = 1001;
    const auto window = scheduled_receive_window(base, 1000, 176, &previous);
    ASSERT_TRUE(window.has_value()) << window.error();
    EXPECT_EQ(window->continues_format, c.continues) << previous;
    // The format teardown is always kept; the setup only when the format starts anew.
    std::vector<std::uint32_t> formats;
    for (const ReceiveEvent& event : window->events)
      if (event.kind == Kind::Format) formats.push_back(event.cycles);
    const std::vector<std::uint32_t> expected =
        c.continues ? std::vector<std::uint32_t>{1230} : std::vector<std::uint32_t>{1054, 1230};
    EXPECT_EQ(formats, expected);
  }
}

TEST(ScheduledReceiveWindow, RejectsUnusableTimings) {
  const ReceiveRowTiming ordinary = base_of(ORDINARY_ROW);
  expect_schedule_error(scheduled_receive_window(ordinary, U32_MAX - 230, 1, nullptr),
                        "receive offset overflow");
  expect_schedule_error(scheduled_receive_window(ReceiveRowTiming{}, 0, 1, nullptr),
                        "receive source timing");
  expect_schedule_error(scheduled_receive_window(ordinary, 0, U32_MAX - 112, nullptr),
                        "receive source timing overflow");
  expect_schedule_error(scheduled_receive_window(ordinary, 0, U32_MAX - 113, nullptr),
                        "receive payload timing overflow");
  const ReceiveRowTiming no_pointer =
      base_of(PlanRow{0x41800003, 0x641c0000, 0x64000640, 0x43a00000});
  expect_schedule_error(scheduled_receive_window(no_pointer, 0, 1, nullptr),
                        "receive pointer event");
  // The largest offset the row allows still gives a window that ends at the last cycle.
  const auto last = scheduled_receive_window(ordinary, U32_MAX - 231, 1, nullptr);
  ASSERT_TRUE(last.has_value()) << last.error();
  EXPECT_EQ(last->horizon, U32_MAX);
}

TEST(ScheduledReceiveWindowDeathTest, BaseWriteInARowTimingIsABrokenInvariant) {
  // Base writes come from the schedule, never from a row analysis.
  ReceiveRowTiming base = base_of(ORDINARY_ROW);
  base.events.push_back({200, 0x438080A7, Kind::OutgoingBase});
  EXPECT_DEATH((void)scheduled_receive_window(base, 0, 52, nullptr), "OutgoingBase");
}

TEST(ReplacesReceiveEvent, HandsTheMuxOverOnlyAtTheStreamEnd) {
  ReceiveStream ordinary;
  ordinary.source_end_cycles = 300;
  ReceiveStream paired;
  paired.mode = ReceiveMode::Paired64;
  paired.paired_format = 1;
  paired.format_end_cycles = 353;
  paired.source_end_cycles = 300;
  ScheduledReceiverWindow at_end;
  at_end.source_start = 300;
  ScheduledReceiverWindow continuing = at_end;
  continuing.continues_format = true;
  ScheduledReceiverWindow later;
  later.source_start = 301;

  struct Case {
    ReceiveEvent event;
    ReceiveMode mode;
    const ScheduledReceiverWindow* window;
    const ReceiveStream* previous;
    bool replaced;
  };
  const Case cases[] = {
      {{300, 0, Kind::OrdinaryNeutral}, ReceiveMode::Ordinary, &at_end, &ordinary, true},
      {{301, 0, Kind::OrdinaryNeutral}, ReceiveMode::Ordinary, &at_end, &ordinary, false},
      {{300, 0, Kind::OrdinaryNeutral}, ReceiveMode::Ordinary, &later, &ordinary, false},
      {{300, 0, Kind::Pointer}, ReceiveMode::Ordinary, &at_end, &ordinary, false},
      {{300, 0, Kind::OrdinaryNeutral}, ReceiveMode::Paired64, &at_end, &ordinary, false},
      {{300, 0, Kind::PairedNeutral}, ReceiveMode::Paired64, &continuing, &paired, true},
      {{300, 0, Kind::PairedNeutral}, ReceiveMode::Paired64, &at_end, &paired, false},
      {{300, 0, Kind::PairedNeutral}, ReceiveMode::Ordinary, &continuing, &paired, false},
      {{300, 0, Kind::OrdinaryNeutral}, ReceiveMode::Paired64, &continuing, &paired, false},
      // The previous format teardown gives way to a continued format, wherever the mux is.
      {{353, 0, Kind::Format}, ReceiveMode::Paired64, &continuing, &paired, true},
      {{353, 0, Kind::Format}, ReceiveMode::Paired64, &at_end, &paired, false},
      {{354, 0, Kind::Format}, ReceiveMode::Paired64, &continuing, &paired, false},
      {{353, 0, Kind::PairedPointer}, ReceiveMode::Paired64, &continuing, &paired, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(replaces_receive_event(c.event, c.mode, *c.window, *c.previous), c.replaced)
        << c.event << " in " << c.mode << " after " << *c.previous << " by " << *c.window;
  }
}

TEST(ReceiveWindowTextForms, RenderEveryField) {
  EXPECT_EQ(to_string(ReceiveStream{.mode = ReceiveMode::Paired64,
                                    .paired_format = 2,
                                    .format_end_cycles = 758,
                                    .source_end_cycles = 705,
                                    .pointer_end_cycles = 760,
                                    .next_address = std::nullopt}),
            "ReceiveStream { mode: Paired64, paired_format: Some(2), format_end_cycles: Some(758), "
            "source_end_cycles: 705, pointer_end_cycles: 760, next_address: None }");
  EXPECT_EQ(to_string(ScheduledReceiverWindow{.events = {{5, 7, Kind::Pointer}},
                                              .source_start = 1,
                                              .source_end = 2,
                                              .payload_start = 5,
                                              .payload_end = 6,
                                              .horizon = 9,
                                              .pointer_address = 28}),
            "ScheduledReceiverWindow { continues_format: false, events: [ReceiveEvent { cycles: 5, "
            "instruction: 7, kind: Pointer }], source_start: 1, source_end: 2, payload_start: 5, "
            "payload_end: 6, horizon: 9, pointer_address: Some(28) }");
}

}  // namespace
}  // namespace vessik_exchange
