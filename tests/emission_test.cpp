#include "vessik_exchange/emission.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <vector>

#include "vessik_exchange/exchange_words.hpp"

namespace vessik_exchange {
namespace {

using Words = std::vector<std::uint32_t>;

constexpr std::uint32_t NEUTRAL = 0x64000640;  // XPIC delay tearing the mux down
constexpr std::uint32_t POINTER = 0x60015000;  // PIC delay setting the pointer to 0x15000

std::array<ReceiveEvent, 2> pair_at(std::uint32_t cycles) {
  return {ReceiveEvent{cycles, NEUTRAL, ReceiveEventKind::OrdinaryNeutral},
          ReceiveEvent{cycles, POINTER, ReceiveEventKind::Pointer}};
}

ReceiveEvent source_at(std::uint32_t cycles, std::uint32_t tile = 37) {
  return {cycles, delay_xpic(0, 0, tile), ReceiveEventKind::OrdinarySource};
}

ReceiveEvent base_write_at(std::uint32_t cycles) {
  return {cycles, 0x438080A7, ReceiveEventKind::OutgoingBase};
}

// SYNC, SEND of `first` words from word address 0x100 towards direction 1, offset SENDs for
// the rest, RET.
PlanRow sender_row(std::uint32_t words) {
  PlanRow row{SYNC_ENTRY};
  const std::uint32_t first = std::min(words, 64u);
  row[1] = 0x78000000u | (first - 1) << 21 | 0x100u << 3 | 1u;
  std::size_t at = 2;
  for (std::uint32_t rest = words - first; rest > 0;) {
    const std::uint32_t chunk = std::min(rest, 4096u);
    row[at++] = send_off(chunk - 1, 1, 0);
    rest -= chunk;
  }
  row[at] = RET_WORD;
  return row;
}

ExchangeError schedule(std::string_view text) {
  return ExchangeError::schedule(text);
}

std::uint32_t total_advance(const std::vector<std::uint32_t>& words) {
  std::uint32_t cycles = 0;
  for (const std::uint32_t w : words) cycles += instruction_advance(w);
  return cycles;
}

template <typename Sink>
class EmissionSink : public ::testing::Test {};
using Sinks = ::testing::Types<std::vector<std::uint32_t>, Chunked<std::uint32_t>>;
TYPED_TEST_SUITE(EmissionSink, Sinks);

// Events on the sender's start cycle go out before its payload; a long lead-in is split into a
// plain delay and the control delay stretched to its maximum.
TYPED_TEST(EmissionSink, ControlAtSenderStartIsIssuedBeforeThePayload) {
  const ScheduledSenderRow sender{
      {SYNC_ENTRY, 0x40a0001c, 0x7b6b8003, RET_WORD, 0, 0, 0, 0, 0}, 5354, 5382};
  const std::array events{ReceiveEvent{5354, 0x6406c640, ReceiveEventKind::OrdinaryNeutral}};
  TypeParam words;
  std::uint32_t cycles = 0;
  std::vector<std::tuple<std::size_t, std::size_t, std::uint32_t, std::optional<std::uint32_t>>>
      records;
  ASSERT_TRUE(append_receive_events_record(
      words, cycles, std::span(events), sender.start_cycles, true,
      [&](std::size_t index, std::size_t len, std::uint32_t at, std::optional<std::uint32_t> next) {
        records.emplace_back(index, len, at, next);
      }));
  ASSERT_TRUE(append_sender_message(words, cycles, sender, {}));
  row_words_push(words, RET_WORD);

  std::vector<std::uint32_t> plain;
  for (const std::uint32_t w : words) plain.push_back(w);
  EXPECT_EQ(plain, (Words{0x40a004e9, 0x67ffc640, 0x7b6b8003, RET_WORD}));
  EXPECT_EQ(cycles, 5382u);
  EXPECT_EQ(total_advance(plain), 5382u);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], std::tuple(1u, 2u, 5354u, std::nullopt));
}

TEST(EncodeSendControl, SelectorsAndOperandsFollowTheEventKind) {
  struct Case {
    ReceiveEvent event;
    std::uint32_t word;
  };
  const Case cases[] = {
      {source_at(9), 0x70700025},  // ordinary XPIC: selector 0
      {{9, delay_xpic(5, 1, 37), ReceiveEventKind::PairedSource}, 0x70740025},
      {{9, delay_pic(0, 0, 0x14000), ReceiveEventKind::Pointer}, 0x70794000},
      {{9, delay_pic(0, 1, 2), ReceiveEventKind::Format}, 0x707C0002},
  };
  for (const auto& c : cases) EXPECT_EQ(encode_send_control(3, c.event), c.word);
  EXPECT_EQ(encode_send_control(63, source_at(9)), 0x77F00025u);
  EXPECT_EQ(encode_send_control(64, base_write_at(20)).error(), schedule("SENDPIC count"));
  EXPECT_EQ(encode_send_control(0, base_write_at(20)).error(), schedule("base switch inside send"));
}

TEST(EncodeSendControlPair, RejectsOperandsAndMismatchedEvents) {
  const auto events = pair_at(189);
  const std::array three{events[0], events[1], events[1]};
  const std::array two_xpic{events[0], source_at(189)};
  const std::array two_pic{events[1], events[1]};
  const std::array apart{events[0], ReceiveEvent{190, POINTER, ReceiveEventKind::Pointer}};
  struct Case {
    std::uint32_t count_minus_one, source, control;
    std::span<const ReceiveEvent> events;
    std::string_view text;
  };
  const Case cases[] = {
      {42, 81953, 1, three, "SENDPICP operand"},
      {64, 81953, 1, events, "SENDPICP operand"},
      {42, 0x40000, 1, events, "SENDPICP operand"},
      {42, 81953, 8, events, "SENDPICP operand"},
      {42, 81953, 1, two_xpic, "SENDPICP PIC control"},
      {42, 81953, 1, two_pic, "SENDPICP XPIC control"},
      {42, 81953, 1, apart, "SENDPICP event time"},
  };
  for (const auto& c : cases) {
    const auto result = encode_send_control_pair(c.count_minus_one, c.source, c.control, c.events);
    ASSERT_FALSE(result) << c.text;
    EXPECT_EQ(result.error(), schedule(c.text));
  }
  EXPECT_TRUE(encode_send_control_pair(63, 0x3FFFF, 7, events));
}

TEST(PlainDelay, SplitsAtTheLongestDelayAndHonoursParity) {
  constexpr std::uint32_t LONG = MAX_DELAY_ADVANCE + 1;
  Words words;
  std::uint32_t cycles = 0;
  ASSERT_TRUE(append_plain_delay(words, cycles, LONG));
  EXPECT_EQ(words, (Words{delay(0x7FFFF), delay(0)}));
  EXPECT_EQ(cycles, LONG);
  ASSERT_TRUE(append_plain_delay(words, cycles, LONG));  // zero distance: nothing
  EXPECT_EQ(words.size(), 2u);

  struct Case {
    std::size_t prefix;  // words already in the sink
    std::uint32_t distance;
    std::size_t parity;
    bool fits;
    Words delays;
  };
  const Case cases[] = {
      {0, LONG, 0, true, {delay(0x7FFFF), delay(0)}},
      {0, LONG, 1, true, {delay(0x7FFFE), delay(0), delay(0)}},
      {1, LONG, 0, true, {delay(0x7FFFE), delay(0), delay(0)}},
      {0, 10, 1, true, {delay(9)}},
      {0, 10, 0, true, {delay(8), delay(0)}},
      {0, 2, 0, true, {delay(0), delay(0)}},
      {0, 0, 0, true, {}},
      {0, 1, 0, false, {}},  // two delays needed, one cycle available
      {0, 0, 1, false, {}},
  };
  for (const auto& c : cases) {
    Words sink(c.prefix, 0);
    std::uint32_t at = 1000;
    const auto result = append_plain_delay_aligned(sink, at, 1000 + c.distance, c.parity);
    if (!c.fits) {
      ASSERT_FALSE(result) << c.distance << " " << c.parity;
      EXPECT_EQ(result.error(), schedule("SENDPICP instruction alignment"));
      continue;
    }
    ASSERT_TRUE(result) << c.distance << " " << c.parity;
    EXPECT_EQ(Words(sink.begin() + static_cast<std::ptrdiff_t>(c.prefix), sink.end()), c.delays);
    EXPECT_EQ(at, 1000 + c.distance);
    EXPECT_EQ(sink.size() % 2, c.parity);
  }

  Words even;
  std::uint32_t late = 10;
  EXPECT_EQ(append_plain_delay(even, late, 9).error(), schedule("plan delay order"));
  EXPECT_EQ(append_plain_delay_aligned(even, late, 9, 0).error(), schedule("plan delay order"));
  EXPECT_TRUE(even.empty());
}

TEST(ReceiveEvents, PairsBecomeTimedCarriersOnEvenPositions) {
  const auto pair = pair_at(100);
  const std::array events{pair[0], pair[1], source_at(200)};
  const std::uint32_t carrier = 0xF7E00000;  // SENDPICP of 64 words, address 0, no direction
  struct Case {
    bool align;
    Words expected;
    std::size_t pair_end;
  };
  const Case cases[] = {
      {true, {delay(97), delay(0), carrier, 0x19015000, delay_xpic(36, 0, 37), delay(49)}, 4},
      {false, {delay(98), carrier, 0x19015000, delay_xpic(36, 0, 37), delay(49)}, 3},
  };
  for (const auto& c : cases) {
    Words words;
    std::uint32_t cycles = 0;
    std::vector<std::tuple<std::size_t, std::size_t, std::uint32_t, std::optional<std::uint32_t>>>
        records;
    ASSERT_TRUE(append_receive_events_record(
        words, cycles, events, 250, c.align,
        [&](std::size_t i, std::size_t len, std::uint32_t at, std::optional<std::uint32_t> next) {
          records.emplace_back(i, len, at, next);
        }));
    EXPECT_EQ(words, c.expected);
    EXPECT_EQ(cycles, 250u);
    // The carrier runs until the next control must be issued, at most 64 cycles.
    EXPECT_EQ(
        records,
        (std::vector<
            std::tuple<std::size_t, std::size_t, std::uint32_t, std::optional<std::uint32_t>>>{
            {2, c.pair_end, 163, 199}, {3, c.pair_end + 1, 200, std::nullopt}}));
  }
}

TEST(ReceiveEvents, BaseWritesAndLongGapsBeforeControls) {
  const std::array events{base_write_at(50),
                          ReceiveEvent{300, delay_pic(0, 0, 0x14000), ReceiveEventKind::Pointer}};
  Words words;
  std::uint32_t cycles = 0;
  ASSERT_TRUE(append_receive_events(words, cycles, events, 300, true));
  // The base write ends on its cycle; the PIC delay holds at most 128 cycles.
  EXPECT_EQ(words, (Words{delay(36), 0x438080A7, delay(121), delay_pic(127, 0, 0x14000)}));
  EXPECT_EQ(total_advance(words), 300u);
}

TEST(ReceiveEvents, FailuresNameTheBrokenTiming) {
  const auto pair = pair_at(10);
  struct Case {
    std::vector<ReceiveEvent> events;
    std::uint32_t start;
    std::string_view text;
  };
  const Case cases[] = {
      {{pair_at(0)[0], pair_at(0)[1]}, 0, "receive control at phase entry"},
      {{source_at(5)}, 5, "receive control issue interval"},
      {{source_at(4)}, 5, "receive event order"},
      {{{8, delay(3), ReceiveEventKind::Pointer}}, 0, "receive timed event"},
      {{pair[0], pair[1], base_write_at(20)}, 0, "receive control order"},
      {{pair[0], pair[1], base_write_at(22)}, 0, "empty SENDPICP interval"},
      {{base_write_at(20), source_at(20)}, 0, "base write overlaps receive control"},
      {{}, 400, "plan delay order"},  // horizon before the current cycle
  };
  for (const auto& c : cases) {
    Words words;
    std::uint32_t cycles = c.start;
    const auto result = append_receive_events(words, cycles, c.events, 300, false);
    ASSERT_FALSE(result) << c.text;
    EXPECT_EQ(result.error(), schedule(c.text));
  }
}

TEST(SenderMessage, PlainSendsSplitToPutThePairOnAnEvenPosition) {
  const ScheduledSenderRow sender{sender_row(200), 0, 200};
  const auto pair = pair_at(31);
  Words words;
  std::uint32_t cycles = 0;
  ASSERT_TRUE(append_sender_message(words, cycles, sender, pair));
  const std::uint32_t initial = sender.row[1];
  const auto carrier = encode_send_control_pair(63, 0x100 + 30, 1, pair);
  ASSERT_TRUE(carrier);
  EXPECT_EQ(words, (Words{*resize_send(initial, 1), send_off(28, 1, 0), carrier->first,
                          carrier->second, send_off(105, 1, 0)}));
  EXPECT_EQ(cycles, 200u);
  EXPECT_EQ(total_advance(words), 200u);

  // With nothing longer than one word to split, the pair cannot be aligned.
  Words tight;
  cycles = 0;
  const auto early = pair_at(2);
  EXPECT_EQ(append_sender_message(tight, cycles, sender, early).error(),
            schedule("SENDPICP instruction alignment"));
}

TEST(SenderMessage, ControlBeforeAPairLeavesRoomToRealign) {
  // One word already in the sink: the SENDPIC would end on an odd position and leave no
  // payload to fix the pair's parity, so it gives up one word.
  const ScheduledSenderRow sender{sender_row(100), 0, 100};
  const auto pair = pair_at(21);
  const std::array controls{source_at(11), pair[0], pair[1]};
  Words words{SYNC_ENTRY};
  std::uint32_t cycles = 0;
  ASSERT_TRUE(append_sender_message(words, cycles, sender, controls));
  ASSERT_EQ(words.size(), 7u);
  EXPECT_EQ(words[2], *encode_send_control(8, controls[0]));
  EXPECT_EQ(words[3], send_off(0, 1, 0));
  EXPECT_TRUE(is_send_control_pair(words[4]));
  EXPECT_EQ(total_advance(words), 100u);
}

TEST(SenderMessage, FailuresNameTheBrokenTiming) {
  const ScheduledSenderRow sender{sender_row(28), 100, 128};
  struct Case {
    ScheduledSenderRow sender;
    std::vector<ReceiveEvent> controls;
    std::uint32_t start;
    std::string_view text;
  };
  PlanRow two_sends = sender.row;
  two_sends[2] = two_sends[1];
  two_sends[3] = RET_WORD;
  const PlanRow no_send{SYNC_ENTRY, delay(3), RET_WORD};
  const Case cases[] = {
      {sender, {source_at(101)}, 0, "unencodable initial send control"},
      {{sender.row, 0, 28}, {source_at(0)}, 0, "send control at phase entry"},
      {sender, {source_at(50)}, 0, "send control order"},
      {sender, {source_at(129)}, 0, "send control beyond payload"},
      {sender, {source_at(111), base_write_at(23 + 100)}, 0, "empty receive-control continuation"},
      {{sender.row, 100, 129}, {}, 0, "sender payload horizon"},
      {{two_sends, 100, 156}, {}, 0, "multiple initial sends"},
      {{no_send, 100, 104}, {}, 0, "sender payload"},
      {sender, {}, 101, "plan delay order"},
      {sender, {pair_at(111)[0], pair_at(111)[0]}, 0, "SENDPICP PIC control"},
  };
  for (const auto& c : cases) {
    Words words;
    std::uint32_t cycles = c.start;
    const auto result = append_sender_message(words, cycles, c.sender, c.controls);
    ASSERT_FALSE(result) << c.text;
    EXPECT_EQ(result.error(), schedule(c.text));
  }
}

TEST(SenderWords, RejectsCountsBeyondThePayload) {
  Words words;
  std::uint32_t cycles = 0, remaining = 5, sent = 0;
  bool started = false;
  EXPECT_EQ(
      emit_sender_words(words, cycles, 0x78000001, 1, remaining, sent, started, 6, std::nullopt)
          .error(),
      schedule("sender payload overflow"));
  ASSERT_TRUE(
      emit_sender_words(words, cycles, 0x78000001, 1, remaining, sent, started, 5, std::nullopt));
  EXPECT_EQ(words, (Words{0x78800001}));
  EXPECT_EQ(std::tuple(cycles, remaining, sent, started), std::tuple(5u, 0u, 5u, true));
}

TEST(ScheduledSenderRow, TextForm) {
  const ScheduledSenderRow sender{{1, 2, 3, 4, 5, 6, 7, 8, 9}, 10, 20};
  EXPECT_EQ(to_string(sender),
            "ScheduledSenderRow { row: [1, 2, 3, 4, 5, 6, 7, 8, 9], start_cycles: 10, "
            "end_cycles: 20 }");
}

}  // namespace
}  // namespace vessik_exchange
