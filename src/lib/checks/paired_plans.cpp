// Checks of paired 64-bit multicast plans.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "harness/harness.hpp"
#include "harness/rng.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::tests {

namespace {

constexpr std::uint16_t TILE_COUNT = 1472;

/// Receivers of `pairs` complete pairs drawn at random, in shuffled order; the pair of
/// `excluded` is never drawn.
std::vector<std::uint16_t> random_pairs(const Topology& topology, harness::SeededRng& rng,
                                        std::size_t pairs, std::optional<std::uint16_t> excluded) {
  std::vector<std::uint16_t> receivers;
  while (receivers.size() < 2 * pairs) {
    const auto tile = rng.below<std::uint16_t>(0, TILE_COUNT);
    if (excluded && (tile == *excluded || tile == VX_OK(topology.paired_logical(*excluded))))
      continue;
    if (std::ranges::find(receivers, tile) != receivers.end()) continue;
    receivers.push_back(tile);
    receivers.push_back(VX_OK(topology.paired_logical(tile)));
  }
  rng.shuffle(std::span(receivers));
  return receivers;
}

/// Whether the sender reaches `receiver` strictly before the other tile of its pair.
bool reaches_first(std::uint32_t sender, std::uint32_t receiver) {
  return time_to_mux(sender, receiver) < time_to_mux(sender, receiver ^ 2u);
}

}  // namespace

VX_CHECK_DEFINE(randomized_coincident_paired_controls_are_rejected) {
  const auto topology = Topology::arvel();
  harness::SeededRng rng(0x636F696E63696465);
  const auto coincident = ExchangeError::schedule("paired receive coincident controls");
  for (int round = 0; round < 300; ++round) {
    const auto sender_logical = rng.below<std::uint16_t>(0, TILE_COUNT);
    const std::uint32_t sender = VX_OK(topology.physical(sender_logical));
    // The sender's own pair may be listed too: it changes nothing about the receive controls.
    const auto receivers = random_pairs(topology, rng, rng.range<std::size_t>(1, 4),
                                        rng.below<std::uint16_t>(0, 1472));

    // A teardown on the format start or on the pointer write of an early tile, or a two-item
    // transfer, puts two controls of one row on one cycle.
    std::vector<std::uint32_t> clashing{2};
    for (const std::uint16_t receiver : receivers) {
      const std::uint32_t physical = VX_OK(topology.physical(receiver));
      if (!reaches_first(sender, physical)) continue;
      clashing.push_back(51 + 2 * (physical / 64));
      clashing.push_back(53 + 2 * (physical / 64));
    }
    const std::uint32_t chosen = clashing[rng.below<std::size_t>(0, clashing.size())];
    VX_CHECK_EQ(VX_ERR(topology.paired_multicast(sender_logical, receivers, chosen)), coincident);

    // Every other count near the clashes is accepted.
    const auto count = rng.range<std::uint32_t>(1, 100);
    const auto plan = topology.paired_multicast(sender_logical, receivers, count);
    if (std::ranges::find(clashing, count) != clashing.end())
      VX_CHECK_EQ(VX_ERR(plan), coincident);
    else
      VX_CHECK_EQ(VX_OK(plan).receivers.size(), receivers.size());
  }
}

VX_CHECK_DEFINE(randomized_paired_multicasts_preserve_route_relative_timing) {
  const auto topology = Topology::arvel();
  harness::SeededRng rng(0x7061697265643634);
  constexpr std::uint32_t COUNT = 512;
  for (int round = 0; round < 200; ++round) {
    const auto sender_logical = rng.below<std::uint16_t>(0, TILE_COUNT);
    const std::uint32_t sender = VX_OK(topology.physical(sender_logical));
    const auto receivers =
        random_pairs(topology, rng, rng.range<std::size_t>(1, 12), sender_logical);
    const auto plan = VX_OK(topology.paired_multicast(sender_logical, receivers, COUNT));
    VX_CHECK_EQ(plan.receivers.size(), receivers.size());

    std::int32_t minimum = paired_time_to_mux(sender, VX_OK(topology.physical(receivers[0])));
    for (const std::uint16_t receiver : receivers)
      minimum = std::min(minimum, paired_time_to_mux(sender, VX_OK(topology.physical(receiver))));
    const std::int32_t epoch_shift = std::max(1 - minimum, 0);

    for (std::size_t i = 0; i < receivers.size(); ++i) {
      const std::uint32_t physical = VX_OK(topology.physical(receivers[i]));
      const auto source_event =
          static_cast<std::uint32_t>(paired_time_to_mux(sender, physical) + epoch_shift);
      const auto timing = VX_OK(receive_row_timing(plan.receivers[i], 0));
      VX_CHECK_EQ(timing.mode, ReceiveMode::Paired64);
      if (reaches_first(sender, physical)) {
        VX_CHECK_EQ(timing.source_cycles, std::optional<std::uint32_t>(source_event));
        VX_CHECK_EQ(timing.neutral_cycles, std::optional<std::uint32_t>(source_event + COUNT));
      } else {
        VX_CHECK(!timing.source_cycles && !timing.neutral_cycles);
      }
      VX_CHECK(timing.format_start_cycles && timing.format_end_cycles && timing.pointer_cycles);
      const std::uint32_t format_start = *timing.format_start_cycles;
      // Both tiles of a pair set their format on the same route-relative cycle.
      VX_CHECK_EQ(format_start, source_event + 51 + 2 * (physical / 64));
      VX_CHECK_EQ(*timing.pointer_cycles, format_start + 2);
      VX_CHECK_EQ(*timing.format_end_cycles, format_start + COUNT);
    }
  }
}

}  // namespace vessik_exchange::tests
