// Builds one exchange phase on the arvel topology and prints its event horizon and the listing of
// one tile's program.
//
// The phase is a halo exchange on a ring of logical tiles: every tile sends a small block to its
// left and right neighbours in one multicast, and each neighbour stores it in its own halo slot.
// On top of that, tile 0 broadcasts a larger block to the first tile of every row.
//
// Every transfer goes through the builder's validated path: `earliest_transfer_offset` finds the
// earliest cycle all involved tiles accept and proves that they still encode there, and
// `append_transfer_at` commits exactly that trial.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <vector>

#include "vessik_exchange/vessik_exchange.hpp"

namespace {

using namespace vessik_exchange;

// Words each tile sends to each of its neighbours.
inline constexpr std::uint32_t HALO_WORDS = 16;
// Where every tile keeps the block it sends to its neighbours.
inline constexpr std::uint32_t HALO_SEND_ADDRESS = 0x40000;
// Halo slots on the receiving side: data from the left neighbour, then from the right one.
inline constexpr std::uint32_t HALO_FROM_LEFT_ADDRESS = 0x50000;
inline constexpr std::uint32_t HALO_FROM_RIGHT_ADDRESS = HALO_FROM_LEFT_ADDRESS + 4 * HALO_WORDS;

// The broadcast: tile 0 sends a block to the first tile of every row.
inline constexpr std::uint16_t BROADCAST_SOURCE = 0;
inline constexpr std::uint16_t TILES_PER_ROW = 64;
inline constexpr std::uint32_t BROADCAST_WORDS = 256;
inline constexpr std::uint32_t BROADCAST_SEND_ADDRESS = 0x44000;
inline constexpr std::uint32_t BROADCAST_RECEIVE_ADDRESS = 0x54000;

// The tile whose program is listed, and the byte address its program is loaded at.
inline constexpr std::uint16_t LISTED_TILE = 0;
inline constexpr std::uint32_t PROGRAM_BASE_ADDRESS = 0x60000;

struct Transfer {
  std::uint16_t source = 0;
  std::vector<std::uint16_t> receivers;
  /// Byte address each receiver stores the payload at, in receiver order.
  std::vector<std::uint32_t> receive_addresses;
  std::uint32_t send_address = 0;
  std::uint32_t words = 0;
};

/// Plans `transfer`, patches its buffers in and places it at its earliest validated offset.
Result<PhaseTransferTiming> place(PhaseProgramBuilder& builder, const Topology& topology,
                                  const Transfer& transfer) {
  auto plan = topology.multicast(transfer.source, transfer.receivers, transfer.words, 0);
  if (!plan) return fail(plan.error());
  if (auto patched = patch_sender_address(plan->sender, transfer.send_address); !patched)
    return fail(patched.error());
  for (std::size_t i = 0; i < plan->receivers.size(); ++i) {
    auto patched = patch_receiver_address(plan->receivers[i], transfer.receive_addresses[i]);
    if (!patched) return fail(patched.error());
  }
  // The prepared transfer borrows `*plan`, which outlives it here.
  const auto prepared = plan->prepare();
  if (!prepared) return fail(prepared.error());
  const auto offset = builder.earliest_transfer_offset(transfer.source, {}, transfer.receivers,
                                                       *prepared, transfer.words, 0);
  if (!offset) return fail(offset.error());
  return builder.append_transfer_at(transfer.source, {}, transfer.receivers, *prepared, *offset,
                                    transfer.words);
}

std::vector<Transfer> phase_transfers(std::uint16_t tile_count) {
  std::vector<Transfer> transfers;
  transfers.reserve(tile_count + 1u);
  // Two tiles compete for a receiver only when they are two apart, so the tiles whose number is
  // 0 or 1 modulo 4 can all send at once, and then the others. Placing them in that order lets
  // the earliest-offset search pack the phase into two rounds instead of a chain along the ring.
  std::vector<std::uint16_t> order;
  order.reserve(tile_count);
  for (const std::uint32_t round : {0u, 2u})
    for (std::uint32_t tile = 0; tile < tile_count; ++tile)
      if (tile % 4 == round || tile % 4 == round + 1)
        order.push_back(static_cast<std::uint16_t>(tile));
  for (const std::uint16_t tile : order) {
    const auto left = static_cast<std::uint16_t>((tile + tile_count - 1) % tile_count);
    const auto right = static_cast<std::uint16_t>((tile + 1) % tile_count);
    // The left neighbour gets this tile's block from its right, and the other way round.
    transfers.push_back(Transfer{tile,
                                 {left, right},
                                 {HALO_FROM_RIGHT_ADDRESS, HALO_FROM_LEFT_ADDRESS},
                                 HALO_SEND_ADDRESS,
                                 HALO_WORDS});
  }
  Transfer broadcast{BROADCAST_SOURCE, {}, {}, BROADCAST_SEND_ADDRESS, BROADCAST_WORDS};
  for (std::uint32_t tile = TILES_PER_ROW; tile < tile_count; tile += TILES_PER_ROW) {
    broadcast.receivers.push_back(static_cast<std::uint16_t>(tile));
    broadcast.receive_addresses.push_back(BROADCAST_RECEIVE_ADDRESS);
  }
  transfers.push_back(std::move(broadcast));
  return transfers;
}

}  // namespace

int main() {
  const Topology topology = Topology::arvel();
  const auto tile_count = static_cast<std::uint16_t>(topology.tile_count());
  PhaseProgramBuilder builder(tile_count);

  const std::vector<Transfer> transfers = phase_transfers(tile_count);
  std::optional<PhaseTransferTiming> broadcast_timing;
  for (const Transfer& transfer : transfers) {
    auto timing = place(builder, topology, transfer);
    if (!timing) {
      std::cerr << "placing the transfer from tile " << transfer.source
                << " failed: " << to_string(timing.error()) << "\n";
      return EXIT_FAILURE;
    }
    if (&transfer == &transfers.back()) broadcast_timing = std::move(*timing);
  }

  const auto programs = builder.finish();
  if (!programs) {
    std::cerr << "finishing the phase failed: " << to_string(programs.error()) << "\n";
    return EXIT_FAILURE;
  }

  std::size_t tiles_with_programs = 0;
  std::size_t total_words = 0;
  for (const auto& program : programs->programs) {
    if (!program) continue;
    ++tiles_with_programs;
    total_words += program->size();
  }
  std::cout << "transfers placed: " << transfers.size() << "\n"
            << "tiles with programs: " << tiles_with_programs << " of " << tile_count << "\n"
            << "program words in total: " << total_words << "\n"
            << "broadcast payload cycles: " << broadcast_timing->payload_start << ".."
            << broadcast_timing->payload_end << "\n"
            << "phase event horizon: " << programs->event_cycles << " cycles\n";

  const auto& listed = programs->programs[LISTED_TILE];
  if (!listed) {
    std::cerr << "tile " << LISTED_TILE << " has no program\n";
    return EXIT_FAILURE;
  }
  const auto listing = diagnostic::diagnose_plan_program(*listed, PROGRAM_BASE_ADDRESS);
  if (!listing) {
    std::cerr << "listing tile " << LISTED_TILE << " failed: " << to_string(listing.error())
              << "\n";
    return EXIT_FAILURE;
  }
  std::cout << "\nprogram of tile " << LISTED_TILE << " (" << listed->size() << " words, "
            << programs->tile_event_cycles[LISTED_TILE] << " cycles):\n"
            << listing->render();
  return EXIT_SUCCESS;
}
