// Host exchange: packet headers between tiles and the host, the chunking of a host transfer into
// packets, and the tile programs (with their packet images) that issue host traffic.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "vessik_exchange/error.hpp"

namespace vessik_exchange {

/// No host packet crosses a multiple of this many bytes in host offsets.
inline constexpr std::uint32_t HOST_PAGE_BYTES = 4096;
/// Largest host-to-tile packet payload.
inline constexpr std::uint32_t HOST_TO_TILE_MAX_BYTES = 1024;
/// Largest tile-to-host packet payload.
inline constexpr std::uint32_t TILE_TO_HOST_MAX_BYTES = 256;
/// Largest payload of a short packet.
inline constexpr std::uint32_t HOST_SHORT_MAX_BYTES = 60;
/// Length of a short packet cut from a longer stretch that is not long-aligned.
inline constexpr std::uint32_t HOST_SHORT_STEP_BYTES = 32;
/// Stream-end bits of a host-to-tile header `word0`; only the last packet of a stream has them.
inline constexpr std::uint32_t HOST_TO_TILE_STREAM_END_BITS = 0x0C000000u;
/// SYNC 15: entry synchronisation of request-side code.
inline constexpr std::uint32_t SYNC_HOST_INSTRUCTION = 0x4180000Fu;
/// SYNC 7: entry synchronisation of target-side code and the closing one of every wrapper.
inline constexpr std::uint32_t SYNC_ALL_INSTRUCTION = 0x41800007u;
/// First tile address of the host-to-tile window.
inline constexpr std::uint32_t HOST_WINDOW_BASE = 0x50000u;
/// First tile address past the host-to-tile window.
inline constexpr std::uint32_t HOST_WINDOW_END = 0x54000u;
/// Largest physical tile number host exchange accepts.
inline constexpr std::uint16_t HOST_TILE_MAX = 4095;
/// Header builders take tiles below this: their tile field is 11 bits wide.
inline constexpr std::uint16_t HOST_HEADER_TILE_LIMIT = 2048;
/// Request targets lie below this: their endpoint bit index (row * 2 + lane) must stay below 56.
inline constexpr std::uint16_t HOST_XREQ_TILE_LIMIT = 1792;

/// The two words of a host packet header, in packet-memory order.
struct HostPacketHeader {
  std::uint32_t word0 = 0;
  std::uint32_t word1 = 0;

  bool operator==(const HostPacketHeader&) const = default;
};

/// Packet size class: `Short` (4 to 60 bytes, 4-byte units) or `Long` (64 to 1024, 64-byte units).
enum class HostPacketSize : std::uint8_t { Short = 0, Long = 1 };

/// The tile that issues the exchange request for a target, and the target itself.
struct HostHierarchy {
  std::uint16_t xreq_physical_tile = 0;
  std::uint16_t target_physical_tile = 0;

  bool operator==(const HostHierarchy&) const = default;
};

/// One packet of a host transfer.
struct HostTransferChunk {
  std::uint32_t tile_address = 0;
  std::uint32_t host_offset = 0;
  std::uint32_t bytes = 0;
  HostPacketHeader header;

  bool operator==(const HostTransferChunk&) const = default;
};

/// A host-exchange tile program and the packet image it sends (two words per packet).
struct TileToHostProgram {
  std::vector<std::uint32_t> instructions;
  std::vector<std::uint32_t> packet_words;

  bool operator==(const TileToHostProgram&) const = default;
};

/// Builds the header of one chunk from (tile address, host offset, chunk bytes).
using HostPacketBuilder = std::function<Result<HostPacketHeader>(
    std::uint32_t tile_address, std::uint32_t host_offset, std::uint32_t bytes)>;

// ---- Packet headers ----

/// Succeeds for physical tiles 0 to 4095, else `HostPacket`.
[[nodiscard]] Result<void> validate_host_tile(std::uint16_t physical_tile);
/// The request tile (row 0, lane 0, same column) of a target tile.
[[nodiscard]] Result<HostHierarchy> host_hierarchy(std::uint16_t target_physical_tile);
/// Mux value selecting the row endpoint of a tile: (tile & 0x3D) | 0x600.
[[nodiscard]] Result<std::uint32_t> host_mux_for_tile(std::uint16_t physical_tile);
/// Routing part of a header `word0`: the tile number placed from bit 15 up.
[[nodiscard]] constexpr std::uint32_t host_route_word0(std::uint16_t physical_tile) {
  const std::uint32_t tile = physical_tile;
  return (tile >> 1) << 16 | (tile & 1u) << 15;
}
/// Routing part of a header `word1`: bit 0 of the tile number in bit 31.
[[nodiscard]] constexpr std::uint32_t host_route_word1(std::uint16_t physical_tile) {
  return (std::uint32_t{physical_tile} & 1u) << 31;
}
/// Size class of a packet of `bytes` at `host_offset`, or `HostPacket` if none fits.
[[nodiscard]] Result<HostPacketSize> host_packet_size(std::uint32_t host_offset,
                                                      std::uint32_t bytes);
/// Address-and-length part (bits 0 to 30) of a header `word1` for a packet of class `size`.
[[nodiscard]] Result<std::uint32_t> host_address_length(std::uint32_t host_offset,
                                                        std::uint32_t bytes, HostPacketSize size);
/// Header of a host write of `bytes` from `host_offset` into the tile window at `tile_address`.
[[nodiscard]] Result<HostPacketHeader> host_to_tile_packet(std::uint16_t physical_tile,
                                                           std::uint32_t tile_address,
                                                           std::uint32_t host_offset,
                                                           std::uint32_t bytes);
/// Header of a tile write of `bytes` into host memory at `host_offset`.
[[nodiscard]] Result<HostPacketHeader> tile_to_host_packet(std::uint16_t physical_tile,
                                                           std::uint32_t host_offset,
                                                           std::uint32_t bytes);
/// Zero-byte read header that closes a tile-to-host transfer, aimed at a dummy window address.
[[nodiscard]] Result<HostPacketHeader> zero_byte_read_packet(std::uint16_t physical_tile,
                                                             std::uint32_t dummy_tile_address);

// ---- Transfer planning ----

/// Splits a transfer into contiguous, page-bounded packet chunks whose headers come from `packet`.
[[nodiscard]] Result<std::vector<HostTransferChunk>> plan_host_transfer(
    std::uint32_t tile_address, std::uint32_t host_offset, std::uint32_t bytes,
    std::uint32_t long_max_bytes, const HostPacketBuilder& packet);
/// Chunks of a host write into the tile window, with host-to-tile headers.
[[nodiscard]] Result<std::vector<HostTransferChunk>> plan_host_to_tile(std::uint16_t physical_tile,
                                                                       std::uint32_t tile_address,
                                                                       std::uint32_t host_offset,
                                                                       std::uint32_t bytes);
/// Chunks of a tile write into host memory, with tile-to-host headers.
[[nodiscard]] Result<std::vector<HostTransferChunk>> plan_tile_to_host(std::uint16_t physical_tile,
                                                                       std::uint32_t tile_address,
                                                                       std::uint32_t host_offset,
                                                                       std::uint32_t bytes);

// ---- Program assembly ----

/// Request program sending the endpoint mask of all `target_physical_tiles`.
[[nodiscard]] Result<TileToHostProgram> assemble_host_xreq_program_for_targets(
    std::span<const std::uint16_t> target_physical_tiles, std::uint32_t packet_address);
/// Request program for one target tile.
[[nodiscard]] Result<TileToHostProgram> assemble_host_xreq_program(
    std::uint16_t target_physical_tile, std::uint32_t packet_address);
/// Tile 0 reads 4 host bytes into `destination_address` and sends the word found there.
[[nodiscard]] Result<TileToHostProgram> assemble_host_command_read_program(
    std::uint32_t packet_address, std::uint32_t destination_address, std::uint32_t host_offset);
/// Target program receiving a host write as one packet stream.
[[nodiscard]] Result<TileToHostProgram> assemble_host_to_tile_target_program(
    std::uint16_t physical_tile, std::uint32_t tile_address, std::uint32_t host_offset,
    std::uint32_t bytes, std::uint32_t packet_address);
/// Target program writing tile memory to the host, closed by a zero-byte read.
[[nodiscard]] Result<TileToHostProgram> assemble_tile_to_host_target_program(
    std::uint16_t physical_tile, std::uint32_t tile_address, std::uint32_t host_offset,
    std::uint32_t bytes, std::uint32_t packet_address, std::uint32_t command_address);
/// Instruction part of a tile-to-host program: header and padded payload sends, then the close.
[[nodiscard]] Result<std::vector<std::uint32_t>> tile_to_host_target_instructions(
    std::span<const HostTransferChunk> chunks, std::uint32_t packet_address,
    std::uint32_t close_address);
/// Self-contained routine: select the tile's mux, sync with `entry_sync`, run, restore, return.
[[nodiscard]] Result<std::vector<std::uint32_t>> wrap_host_operation(
    std::uint16_t physical_tile, std::span<const std::uint32_t> operation,
    std::uint32_t entry_sync);
/// `wrap_host_operation` with the request-side entry sync.
[[nodiscard]] Result<std::vector<std::uint32_t>> wrap_host_xreq_operation(
    std::uint16_t physical_tile, std::span<const std::uint32_t> operation);
/// `wrap_host_operation` with the target-side entry sync.
[[nodiscard]] Result<std::vector<std::uint32_t>> wrap_host_target_operation(
    std::uint16_t physical_tile, std::span<const std::uint32_t> operation);
/// Routine for a tile that both requests and is the target: the request follows the word count.
[[nodiscard]] Result<std::vector<std::uint32_t>> wrap_combined_host_operation(
    std::uint16_t physical_tile, std::span<const std::uint32_t> operation,
    std::uint32_t xreq_packet_address);
/// Appends sync all and the restore of the neutral mux.
void append_local_host_completion(std::vector<std::uint32_t>& instructions);

// ---- Text forms ----

/// `HostPacketHeader { word0: 3959423497, word1: 17 }`.
[[nodiscard]] std::string to_string(const HostPacketHeader& header);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const HostPacketHeader& header);
/// `Short` or `Long`.
[[nodiscard]] std::string to_string(HostPacketSize size);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, HostPacketSize size);
/// `HostHierarchy { xreq_physical_tile: 4, target_physical_tile: 260 }`.
[[nodiscard]] std::string to_string(const HostHierarchy& hierarchy);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const HostHierarchy& hierarchy);
/// `HostTransferChunk { tile_address: .., host_offset: .., bytes: .., header: .. }`.
[[nodiscard]] std::string to_string(const HostTransferChunk& chunk);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const HostTransferChunk& chunk);
/// `TileToHostProgram { instructions: [..], packet_words: [..] }`.
[[nodiscard]] std::string to_string(const TileToHostProgram& program);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const TileToHostProgram& program);

}  // namespace vessik_exchange
