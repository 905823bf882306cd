#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/event_log.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/tile_schedule.hpp"

namespace vessik_exchange::diagnostic {
namespace {

using Words = std::vector<std::uint32_t>;

constexpr std::uint32_t OUTGOING_BASE_WRITE = 0x433080A7;  // register 3 to the outgoing base
constexpr std::uint32_t INCOMING_BASE_WRITE = 0x433080A4;  // register 3 to the incoming base
constexpr std::uint32_t POINTER_VALUE = 0x15000;

// Program words, each lasting the given number of cycles.
constexpr std::uint32_t wait(std::uint32_t cycles) {
  return delay(cycles - 1);
}
constexpr std::uint32_t xpic_delay(std::uint32_t cycles, std::uint32_t value) {
  return delay_xpic(cycles - 1, value >> 13, value);
}
constexpr std::uint32_t pic_delay(std::uint32_t cycles, std::uint32_t value) {
  return delay_pic(cycles - 1, value >> 18, value);
}
constexpr std::uint32_t send(std::uint32_t words, std::uint32_t direction) {
  return SEND_OPCODE | (words - 1) << 21 | 0x100u << 3 | direction;
}
constexpr std::uint32_t send_more(std::uint32_t words, std::uint32_t direction) {
  return send_off(words - 1, direction, 0);
}
// SENDPIC carrying an XPIC control (value of at most 14 bits).
constexpr std::uint32_t send_with_xpic(std::uint32_t words, std::uint32_t value) {
  return 0x70100000u | (words - 1) << 21 | (value >> 13) << 18 | (value & 0x1FFFu);
}
// SENDPICP carrying a mux teardown and the pointer, both taking effect one cycle in.
Words send_with_pair(std::uint32_t words, std::uint32_t send_control) {
  return {0xF0000000u | (words - 1) << 21 | 0x100u << 3 | send_control,
          TILE_MUX_EXCHANGE << 18 | POINTER_VALUE};
}

ReceiveEvent neutral(std::uint32_t cycles) {
  return {cycles, delay_xpic(0, 0, TILE_MUX_EXCHANGE), ReceiveEventKind::OrdinaryNeutral};
}
ReceiveEvent pointer(std::uint32_t cycles) {
  return {cycles, delay_pic(0, 0, POINTER_VALUE), ReceiveEventKind::Pointer};
}
ReceiveEvent outgoing_base(std::uint32_t cycles, std::uint32_t word) {
  return {cycles, word, ReceiveEventKind::OutgoingBase};
}
ScheduledSenderRow sender(std::uint32_t start, std::uint32_t end) {
  return {PlanRow{}, start, end};
}

Words concat(std::initializer_list<Words> parts) {
  Words all;
  for (const Words& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct Case {
  std::string_view name;
  std::vector<ScheduledSenderRow> senders;
  std::vector<ReceiveEvent> events;
  std::uint32_t horizon;
  Words words;
  std::string_view error;  // empty when the program validates
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  std::string name(info.param.name);
  for (char& ch : name)
    if (std::isalnum(static_cast<unsigned char>(ch)) == 0) ch = '_';
  return name;
}

class TileProgramValidation : public ::testing::TestWithParam<Case> {};

TEST_P(TileProgramValidation, ReportsTheFirstFailingCheck) {
  const Case& c = GetParam();
  const auto schedule = TileProgramSchedule::from_parts(c.senders, c.events, c.horizon);
  const auto result = validate_tile_program(0, schedule, c.words);
  if (c.error.empty()) {
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->event_cycles, c.horizon);
    EXPECT_EQ(result->row_words, c.words.size());
    EXPECT_EQ(*result, diagnose_plan_program(c.words, std::nullopt).value());
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), ExchangeError::schedule(c.error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Matching, TileProgramValidation,
    ::testing::Values(
        Case{"empty program and schedule", {}, {}, 0, {}, {}},
        // Delay advances differ from the scheduled instructions; only the carried bits count,
        // selector bits included.
        Case{"timed delays end on their events",
             {},
             {ReceiveEvent{10, delay_xpic(4095, 0, 0x123), ReceiveEventKind::OrdinarySource},
              ReceiveEvent{20, delay_xpic(7, 1, 0x640), ReceiveEventKind::PairedNeutral},
              ReceiveEvent{30, delay_pic(0, 1, POINTER_VALUE), ReceiveEventKind::Format}},
             30,
             {wait(7), xpic_delay(3, 0x123), xpic_delay(10, 0x2640),
              pic_delay(10, 1u << 18 | POINTER_VALUE), RET_WORD},
             {}},
        Case{"pair carrier one cycle after its start",
             {},
             {pointer(11), neutral(11)},
             14,
             concat({{wait(10)}, send_with_pair(4, 0), {RET_WORD}}),
             {}},
        Case{"pair carrier with the events in the other order",
             {},
             {neutral(11), pointer(11)},
             14,
             concat({{wait(10)}, send_with_pair(4, 0)}),
             {}},
        Case{"incoming base write is ignored", {}, {}, 20, {wait(7), INCOMING_BASE_WRITE}, {}},
        Case{"outgoing base write at its end cycle",
             {},
             {outgoing_base(20, OUTGOING_BASE_WRITE)},
             25,
             {wait(7), OUTGOING_BASE_WRITE, wait(5)},
             {}},
        Case{"row carried by back-to-back sends",
             {sender(10, 18)},
             {},
             18,
             {wait(10), send(4, 1), send_more(4, 1), RET_WORD},
             {}},
        Case{"row continued by a send with a fused control",
             {sender(10, 16)},
             {neutral(13)},
             16,
             {wait(10), send(2, 1), send_with_xpic(4, TILE_MUX_EXCHANGE)},
             {}},
        Case{"sends with send control 0 move nothing off the tile",
             {},
             {},
             18,
             {wait(10), send(4, 0), send_more(4, 0)},
             {}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Failing, TileProgramValidation,
    ::testing::Values(Case{"truncated pair",
                           {},
                           {},
                           14,
                           {wait(10), send_with_pair(4, 0)[0]},
                           "truncated SENDPICP payload"},
                      Case{"program one cycle longer",
                           {},
                           {neutral(10)},
                           10,
                           {wait(7), xpic_delay(3, TILE_MUX_EXCHANGE), wait(1)},
                           "encoded tile horizon mismatch"},
                      Case{"program one cycle shorter",
                           {},
                           {neutral(10)},
                           11,
                           {wait(7), xpic_delay(3, TILE_MUX_EXCHANGE)},
                           "encoded tile horizon mismatch"},
                      Case{"horizon is checked before unknown words",
                           {},
                           {},
                           4,
                           {0x12345678, wait(5)},
                           "encoded tile horizon mismatch"},
                      Case{"unknown word",
                           {},
                           {},
                           5,
                           {0x12345678, wait(5)},
                           "unknown encoded exchange instruction"},
                      Case{"outgoing base write one cycle late",
                           {},
                           {outgoing_base(20, OUTGOING_BASE_WRITE)},
                           21,
                           {wait(8), OUTGOING_BASE_WRITE},
                           "encoded outgoing base mismatch"},
                      Case{"outgoing base write from another register",
                           {},
                           {outgoing_base(20, OUTGOING_BASE_WRITE)},
                           20,
                           {wait(7), 0x434080A7},
                           "encoded outgoing base mismatch"},
                      Case{"scheduled outgoing base write missing",
                           {},
                           {outgoing_base(20, OUTGOING_BASE_WRITE)},
                           20,
                           {wait(20)},
                           "encoded outgoing base mismatch"},
                      Case{"incoming base write in place of the outgoing one",
                           {},
                           {outgoing_base(20, OUTGOING_BASE_WRITE)},
                           20,
                           {wait(7), INCOMING_BASE_WRITE},
                           "encoded outgoing base mismatch"},
                      Case{"unscheduled outgoing base write",
                           {},
                           {},
                           20,
                           {wait(7), OUTGOING_BASE_WRITE},
                           "encoded outgoing base mismatch"},
                      Case{"control one cycle late",
                           {},
                           {neutral(10)},
                           11,
                           {wait(8), xpic_delay(3, TILE_MUX_EXCHANGE)},
                           "encoded incoming-control mismatch"},
                      Case{"control value differs",
                           {},
                           {ReceiveEvent{10, delay_xpic(0, 0, 0x123),
                                         ReceiveEventKind::OrdinarySource}},
                           10,
                           {wait(7), xpic_delay(3, 0x124)},
                           "encoded incoming-control mismatch"},
                      Case{"control on the other stream",
                           {},
                           {ReceiveEvent{10, delay_pic(0, 0, 0x640), ReceiveEventKind::Pointer}},
                           10,
                           {wait(7), xpic_delay(3, 0x640)},
                           "encoded incoming-control mismatch"},
                      Case{"pair carrier scheduled on its start cycle",
                           {},
                           {pointer(10), neutral(10)},
                           14,
                           concat({{wait(10)}, send_with_pair(4, 0)}),
                           "encoded incoming-control mismatch"},
                      Case{"controls are compared before sender rows",
                           {sender(10, 14)},
                           {},
                           14,
                           {wait(7), xpic_delay(3, TILE_MUX_EXCHANGE), wait(4)},
                           "encoded incoming-control mismatch"},
                      Case{"row without a send",
                           {sender(10, 14)},
                           {},
                           14,
                           {wait(14)},
                           "encoded sender interval mismatch"},
                      Case{"row send starting one cycle late",
                           {sender(10, 14)},
                           {},
                           14,
                           {wait(11), send(3, 1)},
                           "encoded sender interval mismatch"},
                      Case{"row send ending one cycle early",
                           {sender(10, 14)},
                           {},
                           14,
                           {wait(10), send(3, 1), wait(1)},
                           "encoded sender interval mismatch"},
                      Case{"row send running past the row",
                           {sender(10, 14)},
                           {},
                           15,
                           {wait(10), send(5, 1)},
                           "encoded sender interval mismatch"},
                      Case{"row chain with a one-cycle gap",
                           {sender(10, 19)},
                           {},
                           19,
                           {wait(10), send(4, 1), wait(1), send_more(4, 1)},
                           "encoded sender interval mismatch"},
                      Case{"send outside every row",
                           {},
                           {},
                           14,
                           {wait(10), send(4, 1)},
                           "unexpected encoded outgoing interval"},
                      Case{"send after a covered row",
                           {sender(10, 14)},
                           {},
                           20,
                           {wait(10), send(4, 1), wait(2), send_more(4, 1)},
                           "unexpected encoded outgoing interval"},
                      Case{"SENDPIC outside every row",
                           {},
                           {neutral(11)},
                           14,
                           {wait(10), send_with_xpic(4, TILE_MUX_EXCHANGE)},
                           "unexpected encoded outgoing interval"},
                      Case{"pair carrier with a direction outside every row",
                           {},
                           {pointer(11), neutral(11)},
                           14,
                           concat({{wait(10)}, send_with_pair(4, 1)}),
                           "unexpected encoded outgoing interval"}),
    case_name);

std::string entry(std::uint32_t cycles, std::uint32_t value) {
  return "(" + std::to_string(cycles) +
         ", IncomingControl { stream: Xpic, value: " + std::to_string(value) + " })";
}

EventField number(const char* name, std::uint64_t value) {
  return {name, value};
}
EventField text(const char* name, std::string value) {
  return {name, std::move(value)};
}

TEST(TileProgramValidation, ControlMismatchIsReportedWithAWindowAroundIt) {
  // Six XPIC controls every ten cycles; the fifth is scheduled one cycle later, and a seventh
  // only in the schedule makes the actual list a prefix of the expected one.
  Words words;
  std::vector<ReceiveEvent> shifted;
  std::vector<ReceiveEvent> extended;
  for (std::uint32_t k = 1; k <= 6; ++k) {
    words.push_back(xpic_delay(10, k));
    const ReceiveEvent event{10 * k, delay_xpic(0, 0, k), ReceiveEventKind::OrdinarySource};
    shifted.push_back(k == 5 ? ReceiveEvent{51, event.instruction, event.kind} : event);
    extended.push_back(event);
  }
  extended.push_back({70, delay_xpic(0, 0, 7), ReceiveEventKind::OrdinarySource});

  struct Expectation {
    std::vector<ReceiveEvent> events;
    std::uint32_t horizon;
    Words words;
    std::vector<EventField> fields;
  };
  const std::string tail = entry(40, 4) + ", " + entry(50, 5) + ", " + entry(60, 6);
  Words longer = words;
  longer.push_back(wait(10));
  const Expectation expectations[] = {
      {shifted,
       60,
       words,
       {number("tile", 7), number("first_mismatch", 4), number("actual_len", 6),
        number("expected_len", 6), text("actual", "Some(" + entry(50, 5) + ")"),
        text("expected", "Some(" + entry(51, 5) + ")"),
        text("actual_window", "[" + entry(20, 2) + ", " + entry(30, 3) + ", " + tail + "]"),
        text("expected_window", "[" + entry(20, 2) + ", " + entry(30, 3) + ", " + entry(40, 4) +
                                    ", " + entry(51, 5) + ", " + entry(60, 6) + "]")}},
      {extended,
       70,
       longer,
       {number("tile", 7), number("first_mismatch", 6), number("actual_len", 6),
        number("expected_len", 7), text("actual", "None"),
        text("expected", "Some(" + entry(70, 7) + ")"), text("actual_window", "[" + tail + "]"),
        text("expected_window", "[" + tail + ", " + entry(70, 7) + "]")}},
  };
  for (const auto& expectation : expectations) {
    const auto schedule =
        TileProgramSchedule::from_parts({}, expectation.events, expectation.horizon);
    CapturingEventSink sink;
    const auto result = validate_tile_program(7, schedule, expectation.words);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), ExchangeError::schedule("encoded incoming-control mismatch"));
    const auto events = sink.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].target, "vessik_exchange::diagnostic");
    EXPECT_EQ(events[0].message, "encoded incoming controls differ from the phase schedule");
    EXPECT_EQ(events[0].fields, expectation.fields);
  }
}

}  // namespace
}  // namespace vessik_exchange::diagnostic
