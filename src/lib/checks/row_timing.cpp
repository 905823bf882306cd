// Checks of receiver row timing.
#include "vessik_exchange/row_timing.hpp"

#include <array>
#include <cstdint>

#include "harness/harness.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::tests {

VX_CHECK_DEFINE(ordinary_pointer_setup_matches_payload_arrival_at_count_boundaries) {
  const auto topology = Topology::arvel();
  // Receivers on different physical rows; counts on both sides of the receiver tail's change of
  // form (51/52), of the teardown field's start (53), of the offset SEND (64/65) and the maximum.
  constexpr std::array<std::uint16_t, 5> RECEIVERS{2, 46, 100, 736, 1286};
  constexpr std::array<std::uint32_t, 7> COUNTS{1, 51, 52, 53, 64, 65, 4148};
  for (const std::uint16_t receiver : RECEIVERS) {
    const std::uint32_t physical = VX_OK(topology.physical(receiver));
    const std::uint32_t expected = 52 + 2 * (physical / 64);
    for (const std::uint32_t count : COUNTS) {
      const std::array<std::uint16_t, 1> receivers{receiver};
      const auto plan = VX_OK(topology.multicast(0, receivers, count, 0));
      const auto timing = VX_OK(receive_row_timing(plan.receivers[0], 0));
      VX_CHECK(timing.source_cycles && timing.pointer_cycles);
      VX_CHECK_EQ(*timing.pointer_cycles - *timing.source_cycles, expected);
    }
  }
}

}  // namespace vessik_exchange::tests
