// The one way the library stops on a broken caller contract or internal invariant.
#pragma once

#include <source_location>

namespace vessik_exchange {

/// Reports the violated condition on standard error and aborts, in every build type.
[[noreturn]] void contract_violation(const char* condition,
                                     std::source_location where = std::source_location::current());

/// Stops the program unless `condition` holds.
inline void expects(bool condition, const char* what,
                    std::source_location where = std::source_location::current()) {
  if (!condition) [[unlikely]]
    contract_violation(what, where);
}

}  // namespace vessik_exchange

/// Stops the program unless `cond` holds; never compiled out.
#define VX_ASSERT(cond) ::vessik_exchange::expects(static_cast<bool>(cond), #cond)
