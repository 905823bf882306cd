// Checks of the incremental encoder as the phase builder drives it: speculative placements,
// committed trials, the validation budget and outgoing base switches.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "harness/harness.hpp"
#include "harness/rng.hpp"
#include "vessik_exchange/encoding.hpp"
#include "vessik_exchange/phase_builder.hpp"
#include "vessik_exchange/scalar_words.hpp"
#include "vessik_exchange/tile_schedule.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::encoding::tests {

namespace {

/// A plan together with its analysis; the analysis borrows the plan, so both live on the heap.
struct Transfer {
  std::unique_ptr<MulticastPlan> plan;
  PreparedTransfer prepared;

  explicit Transfer(MulticastPlan rows)
      : plan(std::make_unique<MulticastPlan>(std::move(rows))), prepared(VX_OK(plan->prepare())) {}
};

Transfer multicast(const Topology& topology, std::uint16_t source,
                   std::span<const std::uint16_t> receivers, std::uint32_t count) {
  return Transfer(VX_OK(topology.multicast(source, receivers, count, 0)));
}

/// Words of a from-scratch encoding of the schedule's current contents.
std::vector<std::uint32_t> full_encoding(const TileProgramSchedule& schedule) {
  return VX_OK(build_scheduled_program(schedule.senders(), schedule.receive_events(),
                                       schedule.event_cycles(), std::nullopt))
      .words();
}

/// Checks every tile's cached or resumed encoding against a full one; returns the number of
/// words the encodings took over from earlier ones.
std::size_t check_tiles_match_full_encoding(const PhaseProgramBuilder& builder) {
  std::size_t resumed = 0;
  for (std::size_t tile = 0; tile < builder.tile_count(); ++tile) {
    const auto& schedule = VX_OK(builder.tile_schedule(static_cast<std::uint16_t>(tile))).get();
    const auto encoding = VX_OK(schedule.encoded());
    VX_CHECK_EQ(encoding->words(), full_encoding(schedule));
    resumed += encoding->resumed_words();
  }
  return resumed;
}

}  // namespace

VX_CHECK_DEFINE(benchmark_incremental_encoding) {
  using Clock = std::chrono::steady_clock;
  const auto topology = Topology::arvel();
  const std::uint16_t out[] = {2};
  const std::uint16_t in[] = {0};
  const auto send = multicast(topology, 0, out, 16);
  const auto receive = multicast(topology, 1, in, 16);

  std::printf("transfers,full_ns,incremental_ns,speedup\n");
  for (const std::size_t transfers : {32u, 128u, 512u, 2048u}) {
    // Tile 0 alternately sends and receives, each transfer at its earliest offset.
    TileProgramSchedule schedule;
    std::uint32_t requested = 0;
    for (std::size_t i = 0; i < transfers; ++i) {
      if (i % 2 == 0) {
        requested = VX_OK(schedule.earliest_sender_offset(send.prepared.sender, requested));
        VX_OK(schedule.append_sender_at(send.plan->sender, send.prepared.sender, requested));
      } else {
        requested =
            VX_OK(schedule.earliest_receiver_offset(receive.prepared.receivers[0], 16, requested));
        (void)VX_OK(schedule.append_receiver_at(receive.prepared.receivers[0], requested, 16));
      }
    }
    const auto before = VX_OK(schedule.encoded());
    const std::size_t same_senders = schedule.senders().len();
    const std::size_t same_events = schedule.receive_events().len();
    requested = VX_OK(schedule.earliest_sender_offset(send.prepared.sender, requested));
    VX_OK(schedule.append_sender_at(send.plan->sender, send.prepared.sender, requested));

    const auto& senders = schedule.senders();
    const auto& events = schedule.receive_events();
    const std::uint32_t horizon = schedule.event_cycles();
    constexpr int REPEATS = 5;
    std::optional<EncodedSchedule> full;
    std::optional<EncodedSchedule> incremental;
    const auto full_start = Clock::now();
    for (int i = 0; i < REPEATS; ++i)
      full.emplace(VX_OK(build_scheduled_program(senders, events, horizon, std::nullopt)));
    const auto incremental_start = Clock::now();
    for (int i = 0; i < REPEATS; ++i)
      incremental.emplace(VX_OK(build_scheduled_program(
          senders, events, horizon, EncodingPrefix{*before, same_senders, same_events})));
    const auto incremental_end = Clock::now();
    VX_CHECK(full->same_words(*incremental));

    const auto full_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(incremental_start - full_start)
            .count() /
        REPEATS;
    const auto incremental_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(incremental_end - incremental_start)
            .count() /
        REPEATS;
    const double speedup =
        static_cast<double>(full_ns) / static_cast<double>(std::max<long long>(incremental_ns, 1));
    std::printf("%zu,%lld,%lld,%.2f\n", transfers, static_cast<long long>(full_ns),
                static_cast<long long>(incremental_ns), speedup);
  }
}

VX_CHECK_DEFINE(mixed_speculative_transfers_match_full_encoding) {
  const auto topology = Topology::arvel();
  harness::SeededRng rng(0x656E636F6465);
  constexpr std::uint16_t TILES = 48;
  // Tiles whose pair partner is among the builder's tiles too, so that pairs can be drawn.
  std::vector<std::uint16_t> pool;
  for (std::uint16_t tile = 0; tile < TILES; ++tile)
    if (VX_OK(topology.paired_logical(tile)) < TILES) pool.push_back(tile);
  VX_CHECK(pool.size() >= 8);
  const auto draw = [&] { return pool[rng.below<std::size_t>(0, pool.size())]; };

  PhaseProgramBuilder builder(TILES);
  std::size_t placed = 0;
  std::size_t paired_placed = 0;
  std::size_t resumed = 0;
  std::vector<Transfer> transfers;
  transfers.reserve(200);
  for (int round = 0; round < 160; ++round) {
    const std::uint16_t source = draw();
    const std::uint16_t partner = VX_OK(topology.paired_logical(source));
    const bool paired = rng.boolean();
    std::vector<std::uint16_t> receivers;
    std::vector<std::uint16_t> reserved;
    std::uint32_t words = 0;
    if (paired) {
      const std::size_t pairs = rng.range<std::size_t>(1, 2);
      while (receivers.size() < 2 * pairs) {
        const std::uint16_t tile = draw();
        if (tile == source || tile == partner ||
            std::ranges::find(receivers, tile) != receivers.end())
          continue;
        receivers.push_back(tile);
        receivers.push_back(VX_OK(topology.paired_logical(tile)));
      }
      rng.shuffle(std::span(receivers));
      if (rng.boolean()) reserved.push_back(partner);
      words = rng.range<std::uint32_t>(3, 160);
      auto plan = topology.paired_multicast(source, receivers, words);
      // Some counts put two controls of a row on one cycle; those plans do not exist.
      if (!plan && plan.error() == ExchangeError::schedule("paired receive coincident controls"))
        continue;
      transfers.emplace_back(VX_OK(std::move(plan)));
    } else {
      const std::size_t count = rng.range<std::size_t>(1, 3);
      while (receivers.size() < count) {
        const std::uint16_t tile = draw();
        if (std::ranges::find(receivers, tile) == receivers.end()) receivers.push_back(tile);
      }
      // A lone loopback is no multicast.
      if (receivers.size() == 1 && receivers[0] == source) continue;
      words = rng.range<std::uint32_t>(1, 160);
      transfers.push_back(multicast(topology, source, receivers, words));
    }
    const Transfer& transfer = transfers.back();

    const auto finished = VX_OK(builder.finish());
    const std::uint32_t requested = rng.range<std::uint32_t>(0, finished.event_cycles + 40);
    PhaseProgramBuilder speculative = builder;
    const std::uint32_t offset = VX_OK(speculative.earliest_transfer_offset(
        source, reserved, receivers, transfer.prepared, words, requested));
    VX_CHECK(offset >= requested);
    VX_CHECK(speculative.staged().has_value());
    resumed += check_tiles_match_full_encoding(speculative);

    switch (rng.below<int>(0, 3)) {
      case 0:  // Commit the validated trial on the clone and keep the clone.
        (void)VX_OK(speculative.append_transfer_at(source, reserved, receivers, transfer.prepared,
                                                   offset, words));
        builder = speculative;
        break;
      case 1:  // Place the transfer on the original, which holds no trial.
        (void)VX_OK(builder.append_transfer_at(source, reserved, receivers, transfer.prepared,
                                               offset, words));
        break;
      default:  // Abandon the speculation.
        continue;
    }
    ++placed;
    if (paired) ++paired_placed;
    resumed += check_tiles_match_full_encoding(builder);
  }
  VX_CHECK(placed >= 40);
  VX_CHECK(paired_placed >= 10);
  // The comparison above is only meaningful if encodings really resumed from earlier ones.
  VX_CHECK(resumed > 0);

  const auto programs = VX_OK(builder.finish());
  for (std::uint16_t tile = 0; tile < TILES; ++tile) {
    const auto& schedule = VX_OK(builder.tile_schedule(tile)).get();
    if (schedule.event_cycles() == 0) {
      VX_CHECK(!programs.programs[tile].has_value());
      continue;
    }
    VX_CHECK_EQ(*programs.programs[tile], full_encoding(schedule));
  }
}

VX_CHECK_DEFINE(outgoing_base_uses_control_gaps_and_preserves_incremental_encoding) {
  const auto topology = Topology::arvel();
  const std::uint16_t to_zero[] = {0};
  const auto receive = multicast(topology, 1, to_zero, 256);
  PhaseProgramBuilder builder(4);
  const auto offset =
      VX_OK(builder.earliest_transfer_offset(1, {}, to_zero, receive.prepared, 256, 0));
  (void)VX_OK(builder.append_transfer_at(1, {}, to_zero, receive.prepared, offset, 256));
  const std::uint32_t horizon = VX_OK(builder.tile_event_cycles(0));

  VX_OK(builder.switch_outgoing_base(0, 15));
  const auto& schedule = VX_OK(builder.tile_schedule(0)).get();
  VX_CHECK_EQ(schedule.base_switches().size(), std::size_t{1});
  const std::uint32_t end = schedule.base_switches()[0];
  // The switch sits inside the receive, in a gap of its controls, without lengthening the phase.
  VX_CHECK(end < horizon);
  VX_CHECK_EQ(schedule.event_cycles(), horizon);
  const std::uint32_t write = VX_OK(encode_put_special_m(0xA7, 15));
  std::size_t switches = 0;
  for (const ReceiveEvent& event : schedule.receive_events()) {
    if (event.kind == ReceiveEventKind::OutgoingBase) {
      ++switches;
      VX_CHECK_EQ(event.cycles, end);
      VX_CHECK_EQ(event.instruction, write);
    } else {
      VX_CHECK(event.cycles <= end - 13 || event.cycles > end);
    }
  }
  VX_CHECK_EQ(switches, std::size_t{1});

  // The switch resumed from the receive's encoding and still equals a full encoding.
  const auto encoding = VX_OK(schedule.encoded());
  VX_CHECK(encoding->resumed_words() > 0);
  VX_CHECK_EQ(encoding->words(), full_encoding(schedule));
  const auto words = encoding->words();
  VX_CHECK(std::ranges::find(words, write) != words.end());

  // Sends of the tile now run under the new base only.
  const std::uint16_t to_two[] = {2};
  const auto send = multicast(topology, 0, to_two, 64);
  const auto send_offset =
      VX_OK(builder.earliest_transfer_offset(0, {}, to_two, send.prepared, 64, 0));
  const auto timing =
      VX_OK(builder.append_transfer_at(0, {}, to_two, send.prepared, send_offset, 64));
  VX_CHECK(timing.payload_start >= end);
  check_tiles_match_full_encoding(builder);

  const auto programs = VX_OK(builder.finish());
  VX_CHECK(programs.programs[0].has_value());
  VX_CHECK_EQ(*programs.programs[0], full_encoding(VX_OK(builder.tile_schedule(0)).get()));
}

VX_CHECK_DEFINE(validated_transfer_commits_its_encoded_trial_and_rejects_stale_trials) {
  const auto topology = Topology::arvel();
  const std::uint16_t to_two[] = {2};
  const std::uint16_t to_three[] = {3};
  const auto first = multicast(topology, 0, to_two, 64);
  const auto second = multicast(topology, 1, to_three, 32);

  // A matching trial is committed as it is, encodings included.
  {
    PhaseProgramBuilder builder(4);
    const auto offset =
        VX_OK(builder.earliest_transfer_offset(0, {}, to_two, first.prepared, 64, 0));
    VX_CHECK(builder.staged().has_value());
    std::vector<std::pair<std::uint16_t, std::shared_ptr<const EncodedSchedule>>> trial;
    for (const auto& [tile, schedule] : builder.staged()->updates)
      trial.emplace_back(tile, VX_OK(schedule.encoded()));
    VX_CHECK_EQ(trial.size(), std::size_t{2});
    (void)VX_OK(builder.append_transfer_at(0, {}, to_two, first.prepared, offset, 64));
    VX_CHECK(!builder.staged().has_value());
    for (const auto& [tile, encoding] : trial)
      VX_CHECK(VX_OK(VX_OK(builder.tile_schedule(tile)).get().encoded()) == encoding);
    (void)VX_OK(builder.finish());
  }

  // Appending another transfer drops the staged one: nothing of it reaches the tiles.
  {
    PhaseProgramBuilder builder(4);
    PhaseProgramBuilder without_trial = builder;
    (void)VX_OK(builder.earliest_transfer_offset(0, {}, to_two, first.prepared, 64, 0));
    VX_CHECK(builder.staged().has_value());
    const auto offset =
        VX_OK(builder.earliest_transfer_offset_deferred(1, {}, to_three, second.prepared, 32, 0));
    const auto timing =
        VX_OK(builder.append_transfer_at(1, {}, to_three, second.prepared, offset, 32));
    VX_CHECK(!builder.staged().has_value());
    VX_CHECK_EQ(
        VX_OK(without_trial.append_transfer_at(1, {}, to_three, second.prepared, offset, 32)),
        timing);
    const auto programs = VX_OK(builder.finish());
    VX_CHECK_EQ(programs, VX_OK(without_trial.finish()));
    VX_CHECK(!programs.programs[0].has_value());
    VX_CHECK(!programs.programs[2].has_value());
    VX_CHECK(programs.programs[1].has_value());
    VX_CHECK(programs.programs[3].has_value());
  }
}

VX_CHECK_DEFINE(validation_budget_limits_effort_without_invalidating_the_schedule) {
  const auto topology = Topology::arvel();
  const std::uint16_t to_two[] = {2};
  const std::uint16_t to_three[] = {3};
  const auto first = multicast(topology, 0, to_two, 64);
  const auto second = multicast(topology, 1, to_three, 64);
  const auto exceeded = ExchangeError::validation_budget_exceeded();

  // Two empty tiles cost one unit each.
  auto builder = PhaseProgramBuilder(4).with_validation_budget(2);
  const auto offset = VX_OK(builder.earliest_transfer_offset(0, {}, to_two, first.prepared, 64, 0));
  VX_CHECK_EQ(builder.remaining_validation_budget(), std::optional<std::uint64_t>{0});
  // The staged transfer validates again for free.
  VX_CHECK_EQ(VX_OK(builder.earliest_transfer_offset(0, {}, to_two, first.prepared, 64, 0)),
              offset);
  // A refused validation keeps the staged trial, which is then committed as it is.
  VX_CHECK_EQ(VX_ERR(builder.earliest_transfer_offset(1, {}, to_three, second.prepared, 64, 0)),
              exceeded);
  VX_CHECK(builder.staged().has_value());
  const auto staged_encoding = VX_OK(builder.staged()->updates[0].second.encoded());
  (void)VX_OK(builder.append_transfer_at(0, {}, to_two, first.prepared, offset, 64));
  VX_CHECK(VX_OK(VX_OK(builder.tile_schedule(0)).get().encoded()) == staged_encoding);

  VX_CHECK_EQ(VX_ERR(builder.earliest_transfer_offset(0, {}, to_two, first.prepared, 64, 0)),
              exceeded);
  VX_CHECK_EQ(builder.remaining_validation_budget(), std::optional<std::uint64_t>{0});

  // Placement without validation goes on, and the phase still finishes.
  const auto next =
      VX_OK(builder.earliest_transfer_offset_deferred(0, {}, to_two, first.prepared, 64, 0));
  VX_CHECK(next > offset);
  (void)VX_OK(builder.append_transfer_at(0, {}, to_two, first.prepared, next, 64));
  const auto programs = VX_OK(builder.finish());
  VX_CHECK_EQ(VX_OK(builder.tile_schedule(0)).get().senders().len(), std::size_t{2});
  VX_CHECK(programs.programs[0].has_value());
  VX_CHECK(programs.programs[2].has_value());
  VX_CHECK_EQ(builder.remaining_validation_budget(), std::optional<std::uint64_t>{0});
}

}  // namespace vessik_exchange::encoding::tests
