// Checks of the tile program schedule: placement searches, receive stream cutovers and the
// programs of tiles that both send and receive.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

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

}  // namespace

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
