#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "support.hpp"
#include "vessik_exchange/vessik_exchange.hpp"

namespace vessik_exchange {
namespace {

using testing_support::arvel;

MulticastPlan multicast(std::uint16_t sender, std::uint16_t receiver, std::uint32_t count) {
  const std::uint16_t receivers[] = {receiver};
  auto plan = arvel().multicast(sender, receivers, count, 0);
  EXPECT_TRUE(plan) << to_string(plan.error());
  return *plan;
}

std::uint32_t base_write() {
  const auto word = encode_put_special_m(0xA7, 1);
  EXPECT_TRUE(word);
  return *word;
}

template <typename T>
Chunked<T> chunked(const std::vector<T>& values) {
  Chunked<T> sequence;
  sequence.extend(values);
  return sequence;
}

ReceiveEvent xpic(std::uint32_t cycles, std::uint32_t value) {
  return {cycles, delay_xpic(0, 0, value),
          value == TILE_MUX_EXCHANGE ? ReceiveEventKind::OrdinaryNeutral
                                     : ReceiveEventKind::OrdinarySource};
}
ReceiveEvent pointer(std::uint32_t cycles, std::uint32_t word_address) {
  return {cycles, delay_pic(0, 0, word_address), ReceiveEventKind::Pointer};
}
ReceiveEvent outgoing_base(std::uint32_t cycles) {
  return {cycles, base_write(), ReceiveEventKind::OutgoingBase};
}

// A 64-word send from tile 0 to tile 2 and its timing at offset 0.
struct SenderFixture {
  PlanRow row = multicast(0, 2, 64).sender;
  ScheduledPayloadTiming base = *scheduled_sender_timing(row, 0);
};

TEST(TileProgramSchedule, SenderOrderDoesNotChangeTheProgramAndOverlapsChangeNothing) {
  const SenderFixture sender;
  TileProgramSchedule shuffled;
  TileProgramSchedule ordered;
  for (const std::uint32_t offset : {3000u, 1000u, 2000u})
    ASSERT_TRUE(shuffled.append_sender_at(sender.row, sender.base, offset));
  for (const std::uint32_t offset : {1000u, 2000u, 3000u})
    ASSERT_TRUE(ordered.append_sender_at(sender.row, sender.base, offset));
  const auto words = shuffled.finish();
  ASSERT_TRUE(words) << to_string(words.error());
  EXPECT_EQ(*words, *ordered.finish());

  const auto cached = *shuffled.encoded();
  for (const std::uint32_t offset : {1999u, 2000u, 2001u}) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(shuffled.append_sender_at(sender.row, sender.base, offset).error(),
              ExchangeError::schedule("overlapping outgoing messages"));
    EXPECT_EQ(*shuffled.encoded(), cached);
    EXPECT_EQ(*shuffled.finish(), *words);
  }
}

TEST(TileProgramSchedule, OnlyReceiveControlsBlockASendStart) {
  const SenderFixture sender;
  const std::uint32_t start = sender.base.payload_start + 1000;

  // A base switch ending on the payload start leaves the send where it was asked for.
  TileProgramSchedule switched;
  switched.insert_base_switch(0, start, base_write());
  EXPECT_FALSE(switched.receive_control_at_send_start(start));
  EXPECT_EQ(*switched.earliest_sender_offset(sender.base, 1000), 1000u);
  ASSERT_TRUE(switched.append_sender_at(sender.row, sender.base, 1000));
  EXPECT_TRUE(switched.finish());

  // A pointer setup on the payload start or the cycle after it blocks; one cycle either side
  // of those does not.
  const PlanRow row = multicast(4, 0, 64).receivers[0];
  const ReceiveRowTiming receive = *receive_row_timing(row, 0);
  const struct {
    std::int32_t pointer_after_start;
    bool blocks;
  } cases[] = {{-1, false}, {0, true}, {1, true}, {2, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pointer_after_start);
    TileProgramSchedule schedule;
    const auto offset =
        static_cast<std::uint32_t>(static_cast<std::int64_t>(start) + c.pointer_after_start -
                                   static_cast<std::int64_t>(*receive.pointer_cycles));
    ASSERT_TRUE(schedule.append_receiver_at(receive, offset, 64));
    EXPECT_EQ(schedule.receive_control_at_send_start(start), c.blocks);
    const auto earliest = schedule.earliest_sender_offset(sender.base, 1000);
    ASSERT_TRUE(earliest);
    const auto appended = schedule.append_sender_at(sender.row, sender.base, 1000);
    if (c.blocks) {
      EXPECT_GT(*earliest, 1000u);
      EXPECT_EQ(appended.error(), ExchangeError::schedule("unencodable initial send control"));
    } else {
      EXPECT_EQ(*earliest, 1000u);
      EXPECT_TRUE(appended);
    }
  }
}

TEST(TileProgramSchedule, ReceiveControlsMoveOutOfBaseSwitchWindows) {
  const PlanRow row = multicast(0, 2, 64).receivers[0];
  const ReceiveRowTiming receive = *receive_row_timing(row, 0);
  const std::uint32_t source = *receive.source_cycles;
  constexpr std::uint32_t SWITCH_END = 2000;
  // Offsets putting the source setup `lead` cycles before the switch end.
  for (std::uint32_t lead = 0; lead <= 14; ++lead) {
    SCOPED_TRACE(lead);
    TileProgramSchedule schedule;
    schedule.insert_base_switch(0, SWITCH_END, base_write());
    const std::uint32_t requested = SWITCH_END - lead - source;
    const auto offset = schedule.earliest_receiver_offset(receive, 64, requested);
    ASSERT_TRUE(offset);
    // Inside (end - 13, end] the source moves to the cycle after the switch.
    EXPECT_EQ(*offset, lead < 13 ? requested + lead + 1 : requested);
  }
  // No switch, no sends: a first receive stays where it was asked for.
  TileProgramSchedule empty;
  EXPECT_EQ(*empty.earliest_receiver_offset(receive, 64, 1234), 1234u);
}

TEST(TileProgramSchedule, EncodingIsSharedUntilAnEdit) {
  const SenderFixture sender;
  TileProgramSchedule schedule;
  ASSERT_TRUE(schedule.append_sender_at(sender.row, sender.base, 100));
  const auto first = schedule.encoded();
  ASSERT_TRUE(first);
  EXPECT_EQ(*schedule.encoded(), *first);

  TileProgramSchedule clone = schedule;
  EXPECT_EQ(*clone.encoded(), *first);
  ASSERT_TRUE(clone.append_sender_at(sender.row, sender.base, 500));
  const auto edited = clone.encoded();
  ASSERT_TRUE(edited);
  EXPECT_NE(*edited, *first);
  EXPECT_GT((*edited)->resumed_words(), 0u);
  // The original keeps its own encoding.
  EXPECT_EQ(*schedule.encoded(), *first);
}

TEST(TileProgramSchedule, EmptyScheduleEncodesItsHorizonOnly) {
  TileProgramSchedule schedule;
  EXPECT_EQ(schedule.event_cycles(), 0u);
  EXPECT_EQ(*schedule.finish(), std::vector<std::uint32_t>{RET_WORD});
  schedule.reserve_senders_until(100);
  EXPECT_EQ(schedule.event_cycles(), 100u);
  EXPECT_EQ(*schedule.finish(), (std::vector<std::uint32_t>{delay(99), RET_WORD}));

  // A horizon past one delay's reach takes two delays.
  const auto long_wait = build_scheduled_program({}, {}, MAX_DELAY_ADVANCE + 1, std::nullopt);
  ASSERT_TRUE(long_wait);
  EXPECT_EQ(long_wait->words(),
            (std::vector<std::uint32_t>{delay(MAX_DELAY_ADVANCE - 1), delay(0), RET_WORD}));
  EXPECT_EQ(long_wait->resumed_words(), 0u);
}

// Length of the common prefix of two sequences.
template <typename T>
std::size_t common_prefix(const std::vector<T>& a, const std::vector<T>& b) {
  std::size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

TEST(IncrementalEncoder, ResumedEncodingEqualsFullEncoding) {
  std::mt19937_64 rng(0x726573756D65);
  const auto draw = [&rng](std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(rng);
  };
  std::size_t resumed = 0;
  for (int round = 0; round < 40; ++round) {
    TileProgramSchedule schedule;
    auto previous = build_scheduled_program({}, {}, 0, std::nullopt);
    ASSERT_TRUE(previous);
    for (int edit = 0; edit < 24; ++edit) {
      const std::vector<ScheduledSenderRow> old_senders = schedule.senders().to_vec();
      const std::vector<ReceiveEvent> old_events = schedule.receive_events().to_vec();
      const auto other = static_cast<std::uint16_t>(draw(1, 300));
      const std::uint32_t count = draw(1, 200);
      const std::uint32_t requested = draw(0, 6000);
      if (draw(0, 1) == 0) {
        const PlanRow row = multicast(0, other, count).sender;
        const ScheduledPayloadTiming timing = *scheduled_sender_timing(row, 0);
        const auto offset = schedule.earliest_sender_offset(timing, requested);
        ASSERT_TRUE(offset);
        ASSERT_TRUE(schedule.append_sender_at(row, timing, *offset));
      } else {
        const PlanRow row = multicast(other, 0, count).receivers[0];
        const ReceiveRowTiming receive = *receive_row_timing(row, 0);
        const auto offset = schedule.earliest_receiver_offset(receive, count, requested);
        ASSERT_TRUE(offset);
        ASSERT_TRUE(schedule.append_receiver_at(receive, *offset, count));
      }
      const auto senders = chunked(schedule.senders().to_vec());
      const auto events = chunked(schedule.receive_events().to_vec());
      const auto full = build_scheduled_program(senders, events, schedule.event_cycles(), {});
      const std::size_t same_senders = common_prefix(old_senders, senders.to_vec());
      const std::size_t same_events = common_prefix(old_events, events.to_vec());
      // Any claim up to the true common prefix must give the same words.
      for (const auto& [s, e] :
           {std::pair{same_senders, same_events}, std::pair{same_senders / 2, same_events},
            std::pair{same_senders, same_events / 2}}) {
        const auto incremental = build_scheduled_program(senders, events, schedule.event_cycles(),
                                                         EncodingPrefix{*previous, s, e});
        ASSERT_EQ(incremental.has_value(), full.has_value());
        if (!full) {
          EXPECT_EQ(incremental.error(), full.error());
          continue;
        }
        EXPECT_EQ(incremental->words(), full->words());
        if (incremental->resumed_words() > 0) ++resumed;
      }
      if (full) previous = full;
    }
  }
  EXPECT_GT(resumed, 0u);
}

TEST(IncrementalEncoder, CarrierCheckpointIsDroppedWhenItsBoundaryMoves) {
  // A neutral-and-pointer pair outside any send is carried by a SENDPICP that runs up to the
  // next control's issue, at most 64 cycles.
  const std::vector<ReceiveEvent> before{xpic(100, TILE_MUX_EXCHANGE), pointer(100, 0x14000),
                                         outgoing_base(200)};
  const auto first = build_scheduled_program({}, chunked(before), 200, std::nullopt);
  ASSERT_TRUE(first) << to_string(first.error());
  const auto checkpoints = first->checkpoints().to_vec();
  ASSERT_TRUE(std::any_of(checkpoints.begin(), checkpoints.end(),
                          [](const Checkpoint& c) { return c.lookahead == 187u; }));

  // A base write inserted after the carrier's end but before its boundary shortens it.
  const std::vector<ReceiveEvent> after{before[0], before[1], outgoing_base(170), before[2]};
  const auto events = chunked(after);
  const auto full = build_scheduled_program({}, events, 200, std::nullopt);
  ASSERT_TRUE(full) << to_string(full.error());
  const auto resumed = build_scheduled_program({}, events, 200, EncodingPrefix{*first, 0, 2});
  ASSERT_TRUE(resumed) << to_string(resumed.error());
  EXPECT_EQ(resumed->words(), full->words());
  EXPECT_NE(resumed->words(), first->words());
}

TEST(IncrementalEncoder, SameCycleGroupIsValidatedAcrossTheChangedSuffix) {
  const std::vector<ReceiveEvent> before{xpic(50, 3), xpic(100, TILE_MUX_EXCHANGE),
                                         pointer(100, 0x14000)};
  const auto first = build_scheduled_program({}, chunked(before), 300, std::nullopt);
  ASSERT_TRUE(first) << to_string(first.error());
  // A third control on cycle 100. The claimed unchanged prefix ends inside that cycle, and
  // the pointer and the new source alone could share one instruction.
  std::vector<ReceiveEvent> after = before;
  after.push_back(xpic(100, 5));
  const auto error = build_scheduled_program({}, chunked(after), 300, EncodingPrefix{*first, 0, 2});
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error(), ExchangeError::schedule("incompatible simultaneous receive controls"));
}

// Clones of one encoded schedule, edited, encoded and dropped on two threads at once; the
// shared chunks and encodings are released from both sides.
TEST(ConcurrentTileSchedule, ClonesEncodeAndDropOnTwoThreads) {
  const SenderFixture sender;
  const PlanRow receive_row = multicast(4, 0, 64).receivers[0];
  const ReceiveRowTiming receive = *receive_row_timing(receive_row, 0);
  TileProgramSchedule shared;
  for (std::uint32_t i = 0; i < 40; ++i)
    ASSERT_TRUE(shared.append_sender_at(sender.row, sender.base, 200 * i));
  for (std::uint32_t i = 0; i < 8; ++i) {
    const auto offset = shared.earliest_receiver_offset(receive, 64, 0);
    ASSERT_TRUE(offset);
    ASSERT_TRUE(shared.append_receiver_at(receive, *offset, 64));
  }
  const auto encoding = shared.encoded();
  ASSERT_TRUE(encoding) << to_string(encoding.error());
  const std::vector<std::uint32_t> words = (*encoding)->words();

  std::array<std::size_t, 2> good{};
  const auto work = [&](std::size_t thread) {
    for (std::uint32_t round = 0; round < 30; ++round) {
      TileProgramSchedule clone = shared;
      if (clone.encoded().value() == *encoding && clone.finish().value() == words) ++good[thread];
      const auto offset = clone.earliest_sender_offset(sender.base, 8000 + 100 * round);
      if (offset && clone.append_sender_at(sender.row, sender.base, *offset) && clone.encoded())
        ++good[thread];
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  EXPECT_EQ(good[0], 60u);
  EXPECT_EQ(good[1], 60u);
  EXPECT_EQ(*shared.encoded(), *encoding);
}

// Two threads encode the same stale schedule: both get the one stored encoding.
TEST(ConcurrentTileSchedule, StaleScheduleStoresOneEncoding) {
  const SenderFixture sender;
  for (int round = 0; round < 20; ++round) {
    TileProgramSchedule schedule;
    for (std::uint32_t i = 0; i < 30; ++i)
      ASSERT_TRUE(schedule.append_sender_at(sender.row, sender.base, 100 * i));
    const TileProgramSchedule& view = schedule;
    std::shared_ptr<const EncodedSchedule> mine;
    std::shared_ptr<const EncodedSchedule> theirs;
    std::thread other([&] { theirs = view.encoded().value(); });
    mine = view.encoded().value();
    other.join();
    EXPECT_EQ(mine, theirs);
    EXPECT_EQ(*schedule.encoded(), mine);
  }
}

}  // namespace
}  // namespace vessik_exchange
