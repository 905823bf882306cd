// The constant registry of self-checks, in registry order (sorted by full name).
#pragma once

#include <span>

#include "harness/harness.hpp"

namespace vessik_exchange {

/// Every registered check, sorted by full name.
[[nodiscard]] std::span<const harness::CheckDescriptor> check_registry();

}  // namespace vessik_exchange
