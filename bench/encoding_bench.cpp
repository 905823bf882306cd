// Full against incremental encoding of one tile schedule after a late edit.
//
// A tile with N transfers (alternately sending to and receiving from a peer, so receive controls
// fuse into sends) gets one more receive at its earliest offset, near the end of the phase, and
// is encoded again:
// - Full: the edited schedule encoded from scratch;
// - Incremental: a clone that was encoded before the edit asks for its encoding, which resumes
//   from the clone's previous one. When the library is built with its incremental cross-check
//   (VESSIK_EXCHANGE_VERIFY_INCREMENTAL, on by default) this also pays for one full encoding;
// - Resumed: the encoder alone, resuming from the previous encoding, whatever that option says.
// Every variant includes cloning the schedule and applying the edit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "bench_support.hpp"
#include "vessik_exchange/vessik_exchange.hpp"

namespace {

using namespace vessik_exchange;

inline constexpr std::uint16_t TILE = 0;
inline constexpr std::uint16_t PEER = 1;
inline constexpr std::uint32_t WORDS = 32;
// Receive buffers leave gaps, so every receive sets its own pointer.
inline constexpr std::uint32_t RECEIVE_BASE = 0x50000;
inline constexpr std::uint32_t RECEIVE_STRIDE = 0x200;
inline constexpr std::uint32_t RECEIVE_SLOTS = 64;

using vessik_exchange::bench::must;

MulticastPlan plan_from(std::uint16_t source, std::uint16_t receiver, std::uint32_t address) {
  static const Topology topology = Topology::arvel();
  const std::uint16_t receivers[] = {receiver};
  auto plan = must(topology.multicast(source, receivers, WORDS, 0), "planning");
  must(patch_receiver_address(plan.receivers[0], address), "patching the receive address");
  return plan;
}

/// The tile's schedule before the edit, and the edit: one receive at a fixed offset.
struct Fixture {
  TileProgramSchedule base;
  MulticastPlan edit_plan;
  ReceiveRowTiming edit_row;
  std::uint32_t edit_offset = 0;
  /// The previous encoding and how far the edited schedule agrees with it.
  std::shared_ptr<const EncodedSchedule> previous;
  std::size_t same_senders = 0;
  std::size_t same_events = 0;
  TileProgramSchedule edited;
};

template <typename T>
std::size_t common_prefix(const Chunked<T>& a, const Chunked<T>& b) {
  std::size_t i = 0;
  while (i < a.len() && i < b.len() && a[i] == b[i]) ++i;
  return i;
}

std::unique_ptr<Fixture> make_fixture(std::size_t transfers) {
  // Transfers alternate between sends to the peer and receives from it, each placed at its
  // earliest validated offset.
  PhaseProgramBuilder builder(2);
  const std::uint16_t to_peer[] = {PEER};
  const std::uint16_t to_tile[] = {TILE};
  for (std::size_t i = 0; i < transfers; ++i) {
    const bool send = i % 2 == 0;
    const auto address =
        RECEIVE_BASE + RECEIVE_STRIDE * static_cast<std::uint32_t>((i / 2) % RECEIVE_SLOTS);
    const MulticastPlan plan =
        send ? plan_from(TILE, PEER, address) : plan_from(PEER, TILE, address);
    const auto prepared = must(plan.prepare(), "preparing");
    const std::uint16_t source = send ? TILE : PEER;
    const std::span<const std::uint16_t> receivers = send ? to_peer : to_tile;
    const auto offset =
        must(builder.earliest_transfer_offset(source, {}, receivers, prepared, WORDS, 0), "search");
    must(builder.append_transfer_at(source, {}, receivers, prepared, offset, WORDS), "placing");
  }

  auto fixture = std::make_unique<Fixture>();
  fixture->base = must(builder.tile_schedule(TILE), "tile lookup").get();
  fixture->previous = must(fixture->base.encoded(), "encoding the base");

  // The edit: one more receive at its earliest offset that still encodes.
  fixture->edit_plan = plan_from(PEER, TILE, RECEIVE_BASE + RECEIVE_STRIDE * RECEIVE_SLOTS);
  fixture->edit_row = must(fixture->edit_plan.prepare(), "preparing the edit").receivers[0];
  std::uint32_t requested = 0;
  for (;;) {
    const auto offset =
        must(fixture->base.earliest_receiver_offset(fixture->edit_row, WORDS, requested), "edit");
    TileProgramSchedule edited = fixture->base;
    must(edited.append_receiver_at(fixture->edit_row, offset, WORDS), "appending the edit");
    if (edited.encoded()) {
      fixture->edit_offset = offset;
      fixture->edited = std::move(edited);
      break;
    }
    requested = offset + 1;
  }
  fixture->same_senders = common_prefix(fixture->base.senders(), fixture->edited.senders());
  fixture->same_events =
      common_prefix(fixture->base.receive_events(), fixture->edited.receive_events());
  return fixture;
}

const Fixture& fixture(std::size_t transfers) {
  static std::map<std::size_t, std::unique_ptr<Fixture>> fixtures;
  auto& slot = fixtures[transfers];
  if (!slot) slot = make_fixture(transfers);
  return *slot;
}

TileProgramSchedule edited_clone(const Fixture& f) {
  TileProgramSchedule schedule = f.base;
  must(schedule.append_receiver_at(f.edit_row, f.edit_offset, WORDS), "appending the edit");
  return schedule;
}

void report(benchmark::State& state, const EncodedSchedule& encoding) {
  state.counters["words"] = static_cast<double>(encoding.word_sequence().len());
  state.counters["resumed_words"] = static_cast<double>(encoding.resumed_words());
}

void BM_FullEncoding(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  std::optional<EncodedSchedule> last;
  for (auto _ : state) {
    const TileProgramSchedule schedule = edited_clone(f);
    last.emplace(must(build_scheduled_program(schedule.senders(), schedule.receive_events(),
                                              schedule.event_cycles(), std::nullopt),
                      "full encoding"));
    benchmark::DoNotOptimize(*last);
  }
  report(state, *last);
}

void BM_IncrementalEncoding(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  std::shared_ptr<const EncodedSchedule> last;
  for (auto _ : state) {
    const TileProgramSchedule schedule = edited_clone(f);
    last = must(schedule.encoded(), "incremental encoding");
    benchmark::DoNotOptimize(last);
  }
  if (!last->same_words(*must(f.edited.encoded(), "reference encoding")))
    state.SkipWithError("words differ");
  report(state, *last);
}

void BM_ResumedEncoder(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  const EncodingPrefix prefix{*f.previous, f.same_senders, f.same_events};
  std::optional<EncodedSchedule> last;
  for (auto _ : state) {
    const TileProgramSchedule schedule = edited_clone(f);
    last.emplace(must(build_scheduled_program(schedule.senders(), schedule.receive_events(),
                                              schedule.event_cycles(), prefix),
                      "resumed encoding"));
    benchmark::DoNotOptimize(*last);
  }
  if (!last->same_words(*must(f.edited.encoded(), "reference encoding")))
    state.SkipWithError("words differ");
  report(state, *last);
}

// Schedule sizes 32, 128, 512 and 2048 transfers.
void sizes(benchmark::internal::Benchmark* b) {
  for (const std::int64_t transfers : {32, 128, 512, 2048}) b->Arg(transfers);
  b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_FullEncoding)->Apply(sizes);
BENCHMARK(BM_IncrementalEncoding)->Apply(sizes);
BENCHMARK(BM_ResumedEncoder)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
