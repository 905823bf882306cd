// Checks of transfers placed through the phase builder: loopback multicasts and paired 64-bit
// multicasts.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "harness/harness.hpp"
#include "vessik_exchange/phase_builder.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"
#include "vessik_exchange/tile_schedule.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::tests {

namespace {

constexpr std::uint16_t TILE_COUNT = 1472;

/// The analysed event of `kind` in a receiver row timing; fails the check when there is none.
const ReceiveEvent& event_of(const ReceiveRowTiming& timing, ReceiveEventKind kind) {
  const auto found = std::ranges::find(timing.events, kind, &ReceiveEvent::kind);
  VX_CHECK(found != timing.events.end());
  return *found;
}

/// Places a paired multicast with the source's pair partner reserved, finishes the phase and
/// checks that the source, the partner and every receiver get a program.
void place_paired(const Topology& topology, std::uint16_t source, const MulticastPlan& plan,
                  std::span<const std::uint16_t> receivers, std::uint32_t count) {
  const auto prepared = VX_OK(plan.prepare());
  for (const ReceiveRowTiming& row : prepared.receivers)
    VX_CHECK(row.mode == ReceiveMode::Paired64);
  const std::array<std::uint16_t, 1> reserved{VX_OK(topology.paired_logical(source))};
  PhaseProgramBuilder builder(TILE_COUNT);
  const auto offset =
      VX_OK(builder.earliest_transfer_offset(source, reserved, receivers, prepared, count, 0));
  const auto timing =
      VX_OK(builder.append_transfer_at(source, reserved, receivers, prepared, offset, count));
  // The partner sends nothing while the paired sender row runs.
  const auto& partner = VX_OK(builder.tile_schedule(reserved[0])).get();
  VX_CHECK_EQ(partner.reserved_sender_end(), timing.sender_horizon);
  VX_CHECK_EQ(partner.event_cycles(), timing.sender_horizon);

  const auto programs = VX_OK(builder.finish());
  VX_CHECK(programs.programs[source].has_value());
  VX_CHECK(programs.programs[reserved[0]].has_value());
  for (const std::uint16_t receiver : receivers) VX_CHECK(programs.programs[receiver].has_value());
  VX_CHECK_EQ(programs.event_cycles, timing.horizon);
}

}  // namespace

VX_CHECK_DEFINE(multicast_loopback_preserves_both_roles) {
  const auto topology = Topology::arvel();
  const std::array<std::uint16_t, 3> receivers{0, 274, 1286};
  const auto plan = VX_OK(topology.multicast(0, receivers, 64, 0));
  const auto prepared = VX_OK(plan.prepare());
  PhaseProgramBuilder builder(TILE_COUNT);
  const auto offset = VX_OK(builder.earliest_transfer_offset(0, {}, receivers, prepared, 64, 0));
  (void)VX_OK(builder.append_transfer_at(0, {}, receivers, prepared, offset, 64));
  const auto programs = VX_OK(builder.finish());

  // Tile 0 runs the sender row and its own receiver row on one timeline.
  TileProgramSchedule both;
  VX_OK(both.append_sender_at(plan.sender, prepared.sender, offset));
  (void)VX_OK(both.append_receiver_at(prepared.receivers[0], offset, 64));
  TileProgramSchedule sender_only;
  VX_OK(sender_only.append_sender_at(plan.sender, prepared.sender, offset));
  VX_CHECK(programs.programs[0].has_value());
  VX_CHECK_EQ(*programs.programs[0], VX_OK(both.finish()));
  VX_CHECK(*programs.programs[0] != VX_OK(sender_only.finish()));
  VX_CHECK(programs.programs[274].has_value());
  VX_CHECK(programs.programs[1286].has_value());
  VX_CHECK_EQ(std::ranges::count_if(programs.programs, [](const auto& p) { return p.has_value(); }),
              3);

  // The plan refuses a duplicated or sender-only receiver list; the builder refuses a receiver
  // listed twice, the loopback tile included.
  const std::array<std::uint16_t, 3> loopback_twice{0, 0, 274};
  const std::array<std::uint16_t, 1> sender_only_list{0};
  VX_CHECK_EQ(VX_ERR(topology.multicast(0, loopback_twice, 64, 0)), ExchangeError::receiver_set());
  VX_CHECK_EQ(VX_ERR(topology.multicast(0, sender_only_list, 64, 0)),
              ExchangeError::receiver_set());
  PhaseProgramBuilder fresh(TILE_COUNT);
  for (const auto& duplicated :
       {std::array<std::uint16_t, 3>{0, 274, 274}, std::array<std::uint16_t, 3>{0, 0, 1286}}) {
    VX_CHECK_EQ(VX_ERR(fresh.earliest_transfer_offset(0, {}, duplicated, prepared, 64, 0)),
                ExchangeError::duplicate_tile());
    VX_CHECK_EQ(VX_ERR(fresh.append_transfer_at(0, {}, duplicated, prepared, offset, 64)),
                ExchangeError::duplicate_tile());
  }
  VX_CHECK_EQ(VX_OK(fresh.finish()).event_cycles, 0u);
}

VX_CHECK_DEFINE(paired_multicast64_matches_near_reverse_and_far_sdk_rows) {
  const auto topology = Topology::arvel();

  // Near pair: both receivers one row below the sender.
  const std::array<std::uint16_t, 2> near{2, 3};
  auto near_plan = VX_OK(topology.paired_multicast(0, near, 64));
  VX_OK(patch_sender_address(near_plan.sender, 0x50000));
  for (PlanRow& row : near_plan.receivers) VX_OK(patch_receiver_address(row, 0x60000));
  VX_CHECK_EQ(near_plan.sender,
              (PlanRow{0x41800003, 0x40A0001E, 0x7FE50005, 0x43A00000, 0, 0, 0, 0, 0}));
  VX_CHECK_EQ(near_plan.receivers.size(), std::size_t{2});
  VX_CHECK_EQ(near_plan.receivers[0], (PlanRow{0x41800003, 0x64002000, 0x61A40001, 0x60098000,
                                               0x64022640, 0x61A40000, 0x40A00006, 0x43A00000, 0}));
  VX_CHECK_EQ(near_plan.receivers[1], (PlanRow{0x41800003, 0x61AC0001, 0x60098000, 0x61EC0000,
                                               0x40A00006, 0x43A00000, 0, 0, 0}));
  VX_CHECK(VX_OK(topology.paired_receiver_is_early(2, 0)));
  VX_CHECK(!VX_OK(topology.paired_receiver_is_early(3, 0)));
  place_paired(topology, 0, near_plan, near, 64);

  // Reverse: the sender of the near pair receives from one of its receivers.
  const std::array<std::uint16_t, 2> reverse{0, 1};
  const auto reverse_plan = VX_OK(topology.paired_multicast(2, reverse, 64));
  VX_CHECK(VX_OK(topology.paired_receiver_is_early(0, 2)));
  VX_CHECK(!VX_OK(topology.paired_receiver_is_early(1, 2)));
  const auto reverse_timing = VX_OK(reverse_plan.prepare());
  VX_CHECK_EQ(
      event_of(reverse_timing.receivers[0], ReceiveEventKind::PairedSource).instruction & 0x1FFFu,
      64u);
  VX_CHECK(std::ranges::none_of(reverse_timing.receivers[1].events, [](const ReceiveEvent& e) {
    return e.kind == ReceiveEventKind::PairedSource;
  }));
  place_paired(topology, 2, reverse_plan, reverse, 64);

  // Far pair: physical 1409 and 1411, where the second listed tile is the early one.
  const std::array<std::uint16_t, 2> far{46, 47};
  const auto far_plan = VX_OK(topology.paired_multicast(0, far, 64));
  VX_CHECK(!VX_OK(topology.paired_receiver_is_early(46, 0)));
  VX_CHECK(VX_OK(topology.paired_receiver_is_early(47, 0)));
  const auto far_timing = VX_OK(far_plan.prepare());
  VX_CHECK_EQ(
      event_of(far_timing.receivers[1], ReceiveEventKind::PairedSource).instruction & 0x1FFFu, 2u);
  VX_CHECK_EQ(far_timing.receivers[1].format_start_cycles, std::optional<std::uint32_t>{96});
  place_paired(topology, 0, far_plan, far, 64);
}

}  // namespace vessik_exchange::tests
