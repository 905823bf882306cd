#include "registry.hpp"

#include <array>
#include <optional>
#include <string_view>

// One line per check, sorted by full name: X(module, name) for ordinary checks and
// B(module, name) for the manual CPU benchmarks, which run only when asked for.
#define VX_CHECK_LIST(X, B)                                             \
  X(chunked::tests, shared_edits_match_vectors_across_chunk_boundaries) \
  X(tests, arvel_mapping_is_a_permutation)                              \
  X(tests, encodes_supervisor_send_fields)                              \
  X(tests, paired_send_matches_sdk_full_duplex_oracle)                  \
  X(tests, scalar_instruction_encoders_preserve_operands_and_reject_overflow)

#define VX_DECLARE(module, name)                                  \
  namespace vessik_exchange::module {                             \
  void name();                                                    \
  extern const ::vessik_exchange::harness::CheckSite name##_site; \
  }
VX_CHECK_LIST(VX_DECLARE, VX_DECLARE)
#undef VX_DECLARE

namespace vessik_exchange {
namespace {

#define VX_ENTRY(module, name)                                                            \
  harness::CheckDescriptor{#module "::" #name, false, std::nullopt, &module::name##_site, \
                           &module::name},
#define VX_BENCH(module, name)                                                                 \
  harness::CheckDescriptor{#module "::" #name, true, std::string_view("manual CPU benchmark"), \
                           &module::name##_site, &module::name},

constexpr std::array kRegistry{VX_CHECK_LIST(VX_ENTRY, VX_BENCH)};

#undef VX_ENTRY
#undef VX_BENCH

}  // namespace

std::span<const harness::CheckDescriptor> check_registry() {
  return kRegistry;
}

}  // namespace vessik_exchange
