// Fixtures shared by the unit tests.
#pragma once

#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::testing_support {

/// The `arvel` topology, built once for the whole test binary.
inline const Topology& arvel() {
  static const Topology topology = Topology::arvel();
  return topology;
}

}  // namespace vessik_exchange::testing_support
