// Placing K transfers into one phase through the builder.
//
// Sixteen tiles exchange 32-word multicasts, each tile sending to two others in turn, so every
// tile's schedule grows with K and mixes sends with receives:
// - Validated: every transfer at its earliest offset proven to encode
//   (`earliest_transfer_offset`, then `append_transfer_at` commits the staged trial);
// - DeferredThenFinish: the same search without the proofs, with `finish` encoding every tile
//   once at the end.
// Planning and preparing the transfers happens once, outside the timed loop.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "bench_support.hpp"
#include "vessik_exchange/vessik_exchange.hpp"

namespace {

using namespace vessik_exchange;

inline constexpr std::uint16_t TILES = 16;
inline constexpr std::uint32_t WORDS = 32;
// Each round of sixteen transfers gets its own pair of receive slots per tile.
inline constexpr std::uint32_t RECEIVE_BASE = 0x50000;
inline constexpr std::uint32_t ROUND_STRIDE = 0x200;
inline constexpr std::uint32_t SECOND_SLOT = 0x100;
inline constexpr std::uint32_t ROUNDS_BEFORE_REUSE = 32;

using vessik_exchange::bench::must;

struct Transfer {
  std::uint16_t source = 0;
  std::array<std::uint16_t, 2> receivers{};
};

/// K planned and prepared transfers. The prepared transfers borrow `plans`, which never moves.
struct Workload {
  std::vector<Transfer> transfers;
  std::vector<MulticastPlan> plans;
  std::vector<PreparedTransfer> prepared;
};

std::unique_ptr<Workload> make_workload(std::size_t count) {
  const Topology topology = Topology::arvel();
  auto workload = std::make_unique<Workload>();
  workload->transfers.reserve(count);
  workload->plans.reserve(count);
  workload->prepared.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const auto source = static_cast<std::uint16_t>(k % TILES);
    const Transfer transfer{source,
                            {static_cast<std::uint16_t>((source + 1) % TILES),
                             static_cast<std::uint16_t>((source + 7) % TILES)}};
    auto plan = must(topology.multicast(source, transfer.receivers, WORDS, 0), "planning");
    const auto slot =
        RECEIVE_BASE + ROUND_STRIDE * static_cast<std::uint32_t>((k / TILES) % ROUNDS_BEFORE_REUSE);
    must(patch_receiver_address(plan.receivers[0], slot), "patching");
    must(patch_receiver_address(plan.receivers[1], slot + SECOND_SLOT), "patching");
    workload->transfers.push_back(transfer);
    workload->plans.push_back(std::move(plan));
    workload->prepared.push_back(must(workload->plans.back().prepare(), "preparing"));
  }
  return workload;
}

const Workload& workload(std::size_t count) {
  static std::map<std::size_t, std::unique_ptr<Workload>> workloads;
  auto& slot = workloads[count];
  if (!slot) slot = make_workload(count);
  return *slot;
}

void BM_PlaceValidated(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  std::uint32_t horizon = 0;
  for (auto _ : state) {
    PhaseProgramBuilder builder(TILES);
    for (std::size_t k = 0; k < w.transfers.size(); ++k) {
      const Transfer& t = w.transfers[k];
      const auto offset =
          must(builder.earliest_transfer_offset(t.source, {}, t.receivers, w.prepared[k], WORDS, 0),
               "search");
      const auto timing =
          must(builder.append_transfer_at(t.source, {}, t.receivers, w.prepared[k], offset, WORDS),
               "placing");
      horizon = std::max(horizon, timing.horizon);
    }
    benchmark::DoNotOptimize(builder);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["horizon"] = horizon;
}

void BM_PlaceDeferredThenFinish(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  std::uint32_t horizon = 0;
  for (auto _ : state) {
    PhaseProgramBuilder builder(TILES);
    for (std::size_t k = 0; k < w.transfers.size(); ++k) {
      const Transfer& t = w.transfers[k];
      const auto offset = must(builder.earliest_transfer_offset_deferred(t.source, {}, t.receivers,
                                                                         w.prepared[k], WORDS, 0),
                               "search");
      must(builder.append_transfer_at(t.source, {}, t.receivers, w.prepared[k], offset, WORDS),
           "placing");
    }
    const auto programs = builder.finish();
    if (!programs) {
      state.SkipWithError(to_string(programs.error()).c_str());
      break;
    }
    horizon = programs->event_cycles;
    benchmark::DoNotOptimize(programs);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["horizon"] = horizon;
}

// Transfer counts 64, 256 and 1024.
void counts(benchmark::internal::Benchmark* b) {
  for (const std::int64_t transfers : {64, 256, 1024}) b->Arg(transfers);
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_PlaceValidated)->Apply(counts);
BENCHMARK(BM_PlaceDeferredThenFinish)->Apply(counts);

}  // namespace

BENCHMARK_MAIN();
