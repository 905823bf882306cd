// Shared by the benchmark programs: a benchmark has no way to report a library error but to stop.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "vessik_exchange/error.hpp"

namespace vessik_exchange::bench {

/// The value of `result`, or a message naming `what` and an abort.
template <typename T>
T must(Result<T> result, const char* what) {
  if (!result) {
    std::fprintf(stderr, "%s failed: %s\n", what, to_string(result.error()).c_str());
    std::abort();
  }
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace vessik_exchange::bench
