// Checks of the tile topology and route timing.
#include "vessik_exchange/topology.hpp"

#include <cstdint>
#include <vector>

#include "harness/harness.hpp"

namespace vessik_exchange::tests {

VX_CHECK_DEFINE(arvel_mapping_is_a_permutation) {
  const auto topology = Topology::arvel();
  VX_CHECK_EQ(topology.tile_count(), std::size_t{1472});
  std::vector<bool> seen(1472, false);
  for (std::uint16_t logical = 0; logical < 1472; ++logical) {
    const std::uint16_t physical = VX_OK(topology.physical(logical));
    VX_CHECK(physical < 1472);
    VX_CHECK(!seen[physical]);
    seen[physical] = true;
    VX_CHECK_EQ(VX_OK(topology.paired_logical(logical)), static_cast<std::uint16_t>(logical ^ 1u));
  }
  VX_CHECK_EQ(VX_ERR(topology.physical(1472)), ExchangeError::tile(1472));
}

}  // namespace vessik_exchange::tests
