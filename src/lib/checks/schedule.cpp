// Checks of the tile program schedule: placement searches, receive stream cutovers and the
// programs of tiles that both send and receive.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/cycle_math.hpp"
#include "harness/harness.hpp"
#include "harness/rng.hpp"
#include "support.hpp"
#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/phase_builder.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"
#include "vessik_exchange/tile_schedule.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::tests {
namespace {

MulticastPlan one_receiver(const Topology& topology, std::uint16_t sender, std::uint16_t receiver,
                           std::uint32_t count) {
  const std::uint16_t receivers[] = {receiver};
  return VX_OK(topology.multicast(sender, receivers, count, 0));
}

// Incoming controls a program issues, from delays and from send-control words alike.
struct ControlCounts {
  std::size_t xpic = 0;
  std::size_t neutral = 0;
  std::size_t pic = 0;
};

ControlCounts count_controls(std::span<const std::uint32_t> words) {
  ControlCounts counts;
  const auto tally = [&counts](const diagnostic::IncomingControl& control) {
    if (control.stream == diagnostic::IncomingControlStream::Xpic) {
      ++counts.xpic;
      if ((control.value & 0x1FFFu) == TILE_MUX_EXCHANGE) ++counts.neutral;
    } else {
      ++counts.pic;
    }
  };
  for (std::size_t i = 0; i < words.size();) {
    const diagnostic::DecodedOperation decoded = VX_OK(diagnostic::decode_operation(words, i));
    if (const auto* control = decoded.operation.get_if<diagnostic::IncomingControl>())
      tally(*control);
    if (const auto* send = decoded.operation.get_if<diagnostic::PlanOperation::Send>())
      for (const auto& control : send->controls) tally(control);
    i += decoded.consumed;
  }
  return counts;
}

// True when a send of the program carries a receive control (SENDPIC, or a SENDPICP that
// sends payload rather than only timing a control pair).
bool fuses_controls_into_sends(std::span<const std::uint32_t> words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (is_send_control(words[i])) return true;
    if (is_send_control_pair(words[i])) {
      if ((words[i] & 7u) != 0) return true;
      ++i;
    }
  }
  return false;
}

// Receiver row of `tile` in a paired multicast from `sender` to the pair of `tile`.
Result<PlanRow> paired_row(const Topology& topology, std::uint16_t sender, std::uint16_t tile,
                           std::uint32_t count) {
  const auto partner = topology.paired_logical(tile);
  if (!partner) return fail(partner.error());
  const std::uint16_t pair[] = {tile, *partner};
  auto plan = topology.paired_multicast(sender, pair, count);
  if (!plan) return fail(plan.error());
  return plan->receivers[0];
}

struct Placed {
  ReceiveRowTiming base;
  std::uint32_t offset = 0;
  ScheduledReceiverWindow window;
};

// Places a receive at its earliest offset from cycle 0.
Placed place_receive(TileProgramSchedule& schedule, const PlanRow& row, std::uint32_t words) {
  Placed placed{VX_OK(receive_row_timing(row, 0)), 0, {}};
  placed.offset = VX_OK(schedule.earliest_receiver_offset(placed.base, words, 0));
  placed.window = VX_OK(schedule.append_receiver_at(placed.base, placed.offset, words));
  return placed;
}

// Every receive control of the schedule as (cycles, kind).
std::vector<std::pair<std::uint32_t, ReceiveEventKind>> timeline(
    const TileProgramSchedule& schedule) {
  std::vector<std::pair<std::uint32_t, ReceiveEventKind>> events;
  for (const ReceiveEvent& event : schedule.receive_events().to_vec())
    events.emplace_back(event.cycles, event.kind);
  return events;
}

using cycles::saturating_sub;

// Cycle at which the row's pointer setup lands when placed at `offset`.
std::uint32_t pointer_at(const Placed& placed) {
  return *placed.base.pointer_cycles + placed.offset;
}

}  // namespace

VX_CHECK_DEFINE(consecutive_paired_receives_match_the_sdks_continuous_format_stream) {
  const Topology topology = Topology::arvel();
  TileProgramSchedule schedule;
  const std::uint16_t senders[] = {0, 4, 6, 8};
  for (std::uint32_t i = 0; i < 4; ++i) {
    PlanRow row = VX_OK(paired_row(topology, senders[i], 2, 176));
    VX_OK(patch_receiver_address(row, 0x90000u + 4096u * i));
    place_receive(schedule, row, 176);
  }
  // Each source takes over on the cycle the previous stream ends, so only the first format
  // start, the last format end and the last teardown survive.
  using K = ReceiveEventKind;
  const std::vector<std::pair<std::uint32_t, ReceiveEventKind>> expected{
      {1, K::PairedSource},    {54, K::Format},         {56, K::PairedPointer},
      {177, K::PairedSource},  {232, K::PairedPointer}, {353, K::PairedSource},
      {408, K::PairedPointer}, {529, K::PairedSource},  {584, K::PairedPointer},
      {705, K::PairedNeutral}, {758, K::Format},
  };
  VX_CHECK_EQ(timeline(schedule), expected);
  const std::vector<std::uint32_t> words = VX_OK(schedule.finish());
  VX_OK(diagnostic::validate_tile_program(2, schedule, words));
  const ControlCounts counts = count_controls(words);
  VX_CHECK_EQ(counts.xpic, 5u);
  VX_CHECK_EQ(counts.pic, 6u);
}

VX_CHECK_DEFINE(consecutive_paired_receives_separate_format_teardown_from_next_source) {
  const Topology topology = Topology::arvel();
  // Both tiles of the pair: the early one drives the mux, the late one only sets its format.
  for (const std::uint16_t tile : std::array<std::uint16_t, 2>{2, 3}) {
    TileProgramSchedule schedule;
    for (const std::uint16_t sender : std::array<std::uint16_t, 2>{0, 4}) {
      const PlanRow row = VX_OK(paired_row(topology, sender, tile, 176));
      place_receive(schedule, row, 176);
    }
    const auto events = schedule.receive_events().to_vec();
    for (const ReceiveEvent& format : events) {
      if (format.kind != ReceiveEventKind::Format) continue;
      for (const ReceiveEvent& other : events)
        VX_CHECK(!(is_xpic(other.kind) && other.cycles == format.cycles));
    }
    const std::vector<std::uint32_t> words = VX_OK(schedule.finish());
    VX_OK(diagnostic::validate_tile_program(tile, schedule, words));
  }
}

VX_CHECK_DEFINE(encoder_places_receive_then_send_on_one_event_timeline) {
  const Topology topology = Topology::arvel();
  const MulticastPlan incoming = one_receiver(topology, 0, 2, 64);
  const MulticastPlan relay = one_receiver(topology, 2, 4, 64);

  TileProgramSchedule schedule;
  const ReceiveRowTiming receive = VX_OK(receive_row_timing(incoming.receivers[0], 0));
  const std::uint32_t receive_offset = VX_OK(schedule.earliest_receiver_offset(receive, 64, 0));
  const ScheduledReceiverWindow window =
      VX_OK(schedule.append_receiver_at(receive, receive_offset, 64));

  // The relay starts once the last word has been written.
  const ScheduledPayloadTiming send = VX_OK(scheduled_sender_timing(relay.sender, 0));
  const std::uint32_t requested =
      window.payload_end > send.payload_start ? window.payload_end - send.payload_start : 0;
  const std::uint32_t send_offset = VX_OK(schedule.earliest_sender_offset(send, requested));
  VX_OK(schedule.append_sender_at(relay.sender, send, send_offset));
  const ScheduledSenderRow placed = schedule.senders()[0];
  VX_CHECK(placed.start_cycles >= window.payload_end);

  const std::vector<std::uint32_t> words = VX_OK(schedule.finish());
  VX_CHECK_EQ(words.back(), RET_WORD);
  const std::uint32_t cycles = VX_OK(plan_event_cycles(words));
  VX_CHECK_EQ(cycles, schedule.event_cycles());
  VX_CHECK(placed.end_cycles <= cycles);
  VX_CHECK_EQ(schedule.event_cycles(),
              std::max(window.horizon, VX_OK(send.at(send_offset)).horizon));

  // The listing places the receive controls before the relayed payload, which ends where the
  // schedule put it.
  const diagnostic::PlanProgramDiagnostic listing =
      VX_OK(diagnostic::validate_tile_program(2, schedule, words));
  std::optional<std::uint32_t> send_end;
  std::uint32_t last_control = 0;
  for (const auto& instruction : listing.instructions) {
    if (instruction.operation.is<diagnostic::PlanOperation::Send>())
      send_end = instruction.end_cycle;
    if (instruction.operation.is<diagnostic::IncomingControl>())
      last_control = instruction.end_cycle;
  }
  VX_CHECK(send_end.has_value());
  VX_CHECK_EQ(*send_end, placed.end_cycles);
  VX_CHECK(last_control <= placed.start_cycles);
  VX_CHECK_EQ(count_controls(words).xpic, 2u);
}

VX_CHECK_DEFINE(ordinary_source_setup_does_not_merge_with_a_paired_pointer) {
  const Topology topology = Topology::arvel();
  std::size_t contested = 0;
  for (std::uint16_t tile = 1206; tile <= 1223; ++tile) {
    const PlanRow ordinary = one_receiver(topology, 0, tile, 4148).receivers[0];
    const ReceiveRowTiming ordinary_base = VX_OK(receive_row_timing(ordinary, 0));
    for (std::uint32_t count = 1; count <= 90; ++count) {
      const auto paired = paired_row(topology, 0, tile, count);
      if (!paired) {
        // Some counts put two of the pair's own controls on one cycle.
        VX_CHECK_EQ(paired.error(), ExchangeError::schedule("paired receive coincident controls"));
        continue;
      }
      TileProgramSchedule schedule;
      const Placed first = place_receive(schedule, *paired, count);
      // Where the continuity bounds alone would put the ordinary source.
      const std::uint32_t source = *ordinary_base.source_cycles;
      const std::uint32_t bound =
          std::max(saturating_sub(first.window.source_end, source),
                   saturating_sub(first.window.payload_end, *ordinary_base.pointer_cycles));
      if (bound + source == pointer_at(first)) ++contested;
      const Placed second = place_receive(schedule, ordinary, 4148);
      VX_CHECK(second.window.source_start != pointer_at(first));
      VX_OK(schedule.finish());
    }
  }
  VX_CHECK(contested > 0);
}

VX_CHECK_DEFINE(paired_format_waits_for_the_previous_ordinary_payload_to_drain) {
  const Topology topology = Topology::arvel();
  for (const std::uint16_t tile : std::array<std::uint16_t, 4>{2, 3, 46, 47}) {
    TileProgramSchedule schedule;
    const Placed ordinary =
        place_receive(schedule, one_receiver(topology, 0, tile, 972).receivers[0], 972);
    const Placed paired = place_receive(schedule, VX_OK(paired_row(topology, 0, tile, 176)), 176);
    const std::uint32_t format_start = *paired.base.format_start_cycles + paired.offset;
    VX_CHECK(format_start >= ordinary.window.payload_end);
    VX_CHECK(paired.window.payload_start >= ordinary.window.payload_end);
    const std::vector<std::uint32_t> words = VX_OK(schedule.finish());
    VX_OK(diagnostic::validate_tile_program(tile, schedule, words));
  }
}

VX_CHECK_DEFINE(paired_source_setup_does_not_merge_with_an_ordinary_pointer) {
  const Topology topology = Topology::arvel();
  std::size_t contested = 0;
  for (std::uint16_t tile = 1206; tile <= 1223; ++tile) {
    const PlanRow paired = VX_OK(paired_row(topology, 0, tile, 4148));
    const ReceiveRowTiming paired_base = VX_OK(receive_row_timing(paired, 0));
    const std::uint32_t source =
        paired_base.source_cycles.value_or(*paired_base.format_start_cycles);
    for (std::uint32_t count = 1; count <= 90; ++count) {
      TileProgramSchedule schedule;
      const Placed first =
          place_receive(schedule, one_receiver(topology, 0, tile, count).receivers[0], count);
      // Where the continuity bounds alone would put the paired source setup.
      const std::uint32_t bound =
          std::max({saturating_sub(first.window.source_end, source),
                    saturating_sub(first.window.payload_end, *paired_base.format_start_cycles),
                    saturating_sub(first.window.payload_end, *paired_base.pointer_cycles)});
      if (bound + source == pointer_at(first)) ++contested;
      const Placed second = place_receive(schedule, paired, 4148);
      VX_CHECK(second.window.source_start != pointer_at(first));
      VX_OK(schedule.finish());
    }
  }
  VX_CHECK(contested > 0);
}

VX_CHECK_DEFINE(randomized_mixed_role_programs_fuse_receive_controls_into_sends) {
  const Topology topology = Topology::arvel();
  harness::SeededRng rng(0x73656E64706963);
  constexpr std::uint16_t TILES = 8;
  bool fused_somewhere = false;
  for (int round = 0; round < 12; ++round) {
    PhaseProgramBuilder builder(TILES);
    std::vector<bool> sends(TILES, false);
    std::vector<bool> receives(TILES, false);
    std::vector<MulticastPlan> plans;
    const int transfers = rng.range(4, 16);
    for (int t = 0; t < transfers; ++t) {
      const auto source = rng.below<std::uint16_t>(0, TILES);
      std::vector<std::uint16_t> receivers;
      const int receiver_count = rng.range(1, 2);
      while (static_cast<int>(receivers.size()) < receiver_count) {
        const auto tile = rng.below<std::uint16_t>(0, TILES);
        if (tile != source &&
            std::find(receivers.begin(), receivers.end(), tile) == receivers.end())
          receivers.push_back(tile);
      }
      const auto count = rng.range<std::uint32_t>(1, 400);
      const MulticastPlan plan = VX_OK(topology.multicast(source, receivers, count, 0));
      const PreparedTransfer prepared = VX_OK(plan.prepare());
      const auto requested = rng.range<std::uint32_t>(0, 600);
      const std::uint32_t offset = VX_OK(
          builder.earliest_transfer_offset(source, {}, receivers, prepared, count, requested));
      VX_CHECK(offset >= requested);
      VX_OK(builder.append_transfer_at(source, {}, receivers, prepared, offset, count));
      sends[source] = true;
      for (const std::uint16_t tile : receivers) receives[tile] = true;
    }
    const PhasePrograms programs = VX_OK(builder.finish());
    for (std::uint16_t tile = 0; tile < TILES; ++tile) {
      const auto& program = programs.programs[tile];
      VX_CHECK_EQ(program.has_value(), sends[tile] || receives[tile]);
      if (!program) continue;
      VX_CHECK_EQ(program->back(), RET_WORD);
      VX_CHECK_EQ(VX_OK(plan_event_cycles(*program)), programs.tile_event_cycles[tile]);
      if (fuses_controls_into_sends(*program)) {
        // Only a tile that receives has controls to fuse, and only one that sends can fuse them.
        VX_CHECK(sends[tile] && receives[tile]);
        fused_somewhere = true;
      }
    }
  }
  VX_CHECK(fused_somewhere);
}

VX_CHECK_DEFINE(randomized_receiver_streams_schedule_source_and_pointer_cutovers) {
  const Topology topology = Topology::arvel();
  harness::SeededRng rng(0x6D75785F6375746F);
  for (int round = 0; round < 48; ++round) {
    const auto receiver = rng.range<std::uint16_t>(0, 1471);
    TileProgramSchedule schedule;
    std::uint32_t address = 0x50000;
    const int receives = rng.range(1, 24);
    std::size_t jumps = 0;
    for (int r = 0; r < receives; ++r) {
      std::uint16_t sender = rng.range<std::uint16_t>(0, 1471);
      while (sender == receiver) sender = rng.range<std::uint16_t>(0, 1471);
      const auto count = rng.range<std::uint32_t>(1, 300);
      if (r > 0 && rng.boolean()) {
        // Jump to a fresh address away from where the pointer stands.
        const auto target = rng.range<std::uint32_t>(0x10000, 0x30000) * 4u;
        if (target != address) {
          address = target;
          ++jumps;
        }
      }
      MulticastPlan plan = one_receiver(topology, sender, receiver, count);
      VX_OK(patch_receiver_address(plan.receivers[0], address));
      const ReceiveRowTiming base = VX_OK(receive_row_timing(plan.receivers[0], 0));
      const auto requested = rng.range<std::uint32_t>(0, 40);
      const std::uint32_t offset = VX_OK(schedule.earliest_receiver_offset(base, count, requested));
      VX_OK(schedule.append_receiver_at(base, offset, count));
      address += count * 4;
    }
    const std::vector<std::uint32_t> words = VX_OK(schedule.finish());
    VX_CHECK_EQ(VX_OK(plan_event_cycles(words)), schedule.event_cycles());
    VX_OK(diagnostic::validate_tile_program(receiver, schedule, words));
    const ControlCounts counts = count_controls(words);
    VX_CHECK_EQ(counts.neutral, 1u);
    VX_CHECK_EQ(counts.xpic, static_cast<std::size_t>(receives) + 1);
    VX_CHECK_EQ(counts.pic, 1 + jumps);
  }
}

VX_CHECK_DEFINE(sender_cursor_matches_exhaustive_offset_search) {
  const Topology topology = Topology::arvel();
  harness::SeededRng rng(0x637572736F72);
  constexpr std::uint16_t TILE = 0;
  for (int round = 0; round < 160; ++round) {
    TileProgramSchedule schedule;
    // Receives first, so that their controls are known before senders avoid them.
    const int receives = rng.range(0, 5);
    for (int r = 0; r < receives; ++r) {
      const auto sender = rng.range<std::uint16_t>(1, 200);
      const auto count = rng.range<std::uint32_t>(1, 200);
      const MulticastPlan plan = one_receiver(topology, sender, TILE, count);
      const ReceiveRowTiming base = VX_OK(receive_row_timing(plan.receivers[0], 0));
      const auto requested = rng.range<std::uint32_t>(0, 3000);
      const std::uint32_t offset = VX_OK(schedule.earliest_receiver_offset(base, count, requested));
      VX_OK(schedule.append_receiver_at(base, offset, count));
    }
    const int senders = rng.range(0, 8);
    for (int s = 0; s < senders; ++s) {
      const MulticastPlan plan =
          one_receiver(topology, TILE, rng.range<std::uint16_t>(1, 200), rng.range(1u, 150u));
      const ScheduledPayloadTiming base = VX_OK(scheduled_sender_timing(plan.sender, 0));
      // Random offsets; the refused ones simply leave a gap.
      static_cast<void>(schedule.append_sender_at(plan.sender, base, rng.range(0u, 4000u)));
    }
    if (rng.boolean()) schedule.reserve_senders_until(rng.range(0u, 3000u));

    const auto senders_now = schedule.senders().to_vec();
    const auto events_now = schedule.receive_events().to_vec();
    const std::uint32_t bound = schedule.reserved_sender_end();
    const auto fits = [&](const ScheduledPayloadTiming& base, std::uint32_t offset) {
      const std::uint32_t start = base.payload_start + offset;
      const std::uint32_t end = base.payload_end + offset;
      if (start < bound) return false;
      for (const ScheduledSenderRow& sender : senders_now)
        if (start < sender.end_cycles && sender.start_cycles < end) return false;
      for (const ReceiveEvent& event : events_now)
        if (event.kind != ReceiveEventKind::OutgoingBase &&
            (event.cycles == start || event.cycles == start + 1))
          return false;
      return true;
    };
    for (int query = 0; query < 6; ++query) {
      const MulticastPlan plan =
          one_receiver(topology, TILE, rng.range<std::uint16_t>(1, 1471), rng.range(1u, 300u));
      const ScheduledPayloadTiming base = VX_OK(scheduled_sender_timing(plan.sender, 0));
      const auto requested = rng.range<std::uint32_t>(0, 5000);
      std::uint32_t expected = requested;
      while (!fits(base, expected)) ++expected;
      VX_CHECK_EQ(VX_OK(schedule.earliest_sender_offset(base, requested)), expected);
      // What the search returns, the append accepts.
      TileProgramSchedule trial = schedule;
      VX_OK(trial.append_sender_at(plan.sender, base, expected));
    }
  }
}

}  // namespace vessik_exchange::tests
