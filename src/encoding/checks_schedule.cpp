// Checks of tile schedules driving the incremental encoder: prefix reuse over long receive
// streams, refused edits that must leave the cached encoding alone, and a receive benchmark.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "harness/harness.hpp"
#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/error.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"
#include "vessik_exchange/tile_schedule.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::encoding::tests {
namespace {

// Receiver row of a one-receiver multicast, with its incoming address patched in.
PlanRow receiver_row(const Topology& topology, std::uint16_t sender, std::uint16_t receiver,
                     std::uint32_t count, std::uint32_t address) {
  const std::uint16_t receivers[] = {receiver};
  MulticastPlan plan = VX_OK(topology.multicast(sender, receivers, count, 0));
  VX_OK(patch_receiver_address(plan.receivers[0], address));
  return plan.receivers[0];
}

PlanRow sender_row(const Topology& topology, std::uint16_t sender, std::uint16_t receiver,
                   std::uint32_t count) {
  const std::uint16_t receivers[] = {receiver};
  return VX_OK(topology.multicast(sender, receivers, count, 0)).sender;
}

// Places one receive at its earliest offset from cycle 0 and returns that offset.
std::uint32_t place_receive(TileProgramSchedule& schedule, const PlanRow& row,
                            std::uint32_t words) {
  const ReceiveRowTiming base = VX_OK(receive_row_timing(row, 0));
  const std::uint32_t offset = VX_OK(schedule.earliest_receiver_offset(base, words, 0));
  VX_OK(schedule.append_receiver_at(base, offset, words));
  return offset;
}

std::size_t count_kind(const TileProgramSchedule& schedule, ReceiveEventKind kind) {
  std::size_t count = 0;
  for (const ReceiveEvent& event : schedule.receive_events().to_vec())
    if (event.kind == kind) ++count;
  return count;
}

}  // namespace

VX_CHECK_DEFINE(benchmark_receive_validation) {
  const Topology topology = Topology::arvel();
  std::printf("transfers,elapsed_us,words,checksum\n");
  for (const std::uint32_t transfers : {256u, 1024u, 4096u}) {
    // Rows are built before the clock starts: only placement, encoding and validation count.
    std::vector<PlanRow> rows;
    rows.reserve(transfers);
    for (std::uint32_t i = 0; i < transfers; ++i)
      rows.push_back(receiver_row(topology, static_cast<std::uint16_t>(i % 4 * 2), 1, 64,
                                  0x50000u + 256u * (i % 1024u)));
    const auto started = std::chrono::steady_clock::now();
    TileProgramSchedule schedule;
    for (const PlanRow& row : rows) {
      place_receive(schedule, row, 64);
      VX_OK(schedule.encoded());
    }
    const std::vector<std::uint32_t> words = VX_OK(schedule.finish());
    VX_OK(diagnostic::validate_tile_program(1, schedule, words));
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    std::uint64_t checksum = 0xCBF29CE484222325u;
    for (const std::uint32_t word : words) checksum = (checksum ^ word) * 0x100000001B3u;
    std::printf("%u,%lld,%zu,%llu\n", transfers, static_cast<long long>(elapsed.count()),
                words.size(), static_cast<unsigned long long>(checksum));
  }
}

VX_CHECK_DEFINE(receive_only_rows_reuse_the_prefix_before_a_source_cutover) {
  const Topology topology = Topology::arvel();
  TileProgramSchedule schedule;
  for (std::uint32_t i = 0; i < 128; ++i) {
    place_receive(schedule, receiver_row(topology, 0, 2, 64, 0x50000u + 256u * i), 64);
    VX_OK(schedule.finish());
  }
  // Each receive continues the address and takes over the mux on the previous teardown's
  // cycle, so one pointer setup and one teardown survive.
  VX_CHECK_EQ(count_kind(schedule, ReceiveEventKind::Pointer), 1u);
  VX_CHECK_EQ(count_kind(schedule, ReceiveEventKind::OrdinaryNeutral), 1u);
  VX_CHECK_EQ(count_kind(schedule, ReceiveEventKind::OrdinarySource), 128u);
  const auto encoded = VX_OK(schedule.encoded());
  const std::size_t total = encoded->word_sequence().len();
  VX_CHECK(encoded->resumed_words() * 2 > total);
  // The resumed program is the program.
  VX_OK(diagnostic::validate_tile_program(2, schedule, encoded->words()));
}

VX_CHECK_DEFINE(rejected_receive_preserves_stream_and_encoding) {
  const Topology topology = Topology::arvel();
  const PlanRow row = receiver_row(topology, 0, 2, 64, 0x50000);
  const ReceiveRowTiming base = VX_OK(receive_row_timing(row, 0));
  TileProgramSchedule schedule;
  VX_OK(schedule.append_receiver_at(base, 0, 64));

  const std::shared_ptr<const EncodedSchedule> cached = VX_OK(schedule.encoded());
  const auto stream = schedule.receive_stream();
  const auto events = schedule.receive_events().to_vec();
  const std::uint32_t horizon = schedule.event_cycles();
  const std::uint32_t earliest = VX_OK(schedule.earliest_receiver_offset(base, 64, 0));
  VX_CHECK(earliest > 0);

  const ExchangeError error = VX_ERR(schedule.append_receiver_at(base, 0, 64));
  VX_CHECK_EQ(error, ExchangeError::schedule("overlapping receive streams"));
  VX_CHECK(VX_OK(schedule.encoded()) == cached);
  VX_CHECK_EQ(schedule.receive_stream(), stream);
  VX_CHECK_EQ(schedule.receive_events().to_vec(), events);
  VX_CHECK_EQ(schedule.event_cycles(), horizon);
  VX_CHECK_EQ(VX_OK(schedule.earliest_receiver_offset(base, 64, 0)), earliest);

  VX_OK(schedule.append_receiver_at(base, earliest, 64));
  const std::vector<std::uint32_t> words = VX_OK(schedule.finish());
  VX_OK(diagnostic::validate_tile_program(2, schedule, words));
  // The refused edit did not invalidate the encoding, so the new one still resumes from it.
  VX_CHECK(VX_OK(schedule.encoded())->resumed_words() > 0);
}

VX_CHECK_DEFINE(sender_insertion_checks_both_neighbors_without_changing_failed_history) {
  const Topology topology = Topology::arvel();
  const PlanRow row = sender_row(topology, 0, 2, 64);
  const ScheduledPayloadTiming base = VX_OK(scheduled_sender_timing(row, 0));
  VX_CHECK_EQ(base.payload_end - base.payload_start, 64u);

  // Two payloads with a gap of exactly one payload between them.
  TileProgramSchedule schedule;
  VX_OK(schedule.append_sender_at(row, base, 1128));
  VX_OK(schedule.append_sender_at(row, base, 1000));
  const std::shared_ptr<const EncodedSchedule> cached = VX_OK(schedule.encoded());
  const auto senders = schedule.senders().to_vec();
  const std::uint32_t horizon = schedule.event_cycles();

  // One cycle early overlaps the left neighbour, one cycle late the right one.
  for (const std::uint32_t offset : {1063u, 1065u, 1000u, 1128u, 990u, 1130u}) {
    const ExchangeError error = VX_ERR(schedule.append_sender_at(row, base, offset));
    VX_CHECK_EQ(error, ExchangeError::schedule("overlapping outgoing messages"));
    VX_CHECK(VX_OK(schedule.encoded()) == cached);
    VX_CHECK_EQ(schedule.senders().to_vec(), senders);
    VX_CHECK_EQ(schedule.event_cycles(), horizon);
  }

  // The search from inside the first payload jumps to its end, where the gap fits exactly.
  VX_CHECK_EQ(VX_OK(schedule.earliest_sender_offset(base, 1001)), 1064u);
  VX_OK(schedule.append_sender_at(row, base, 1064));
  const auto encoded = VX_OK(schedule.encoded());
  VX_CHECK(encoded->resumed_words() > 0);

  TileProgramSchedule in_order;
  for (const std::uint32_t offset : {1000u, 1064u, 1128u})
    VX_OK(in_order.append_sender_at(row, base, offset));
  VX_CHECK_EQ(encoded->words(), VX_OK(in_order.finish()));
  VX_CHECK_EQ(schedule.event_cycles(), in_order.event_cycles());
}

}  // namespace vessik_exchange::encoding::tests
