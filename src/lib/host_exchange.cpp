// Host packet headers, transfer chunking and the text forms of the host-exchange types.
#include "vessik_exchange/host_exchange.hpp"

#include <algorithm>
#include <cstdint>
#include <ostream>

#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"

namespace vessik_exchange {

namespace {

constexpr std::uint32_t LONG_MAX_BYTES = 1024;
constexpr std::uint32_t LONG_MIN_BYTES = 64;
constexpr std::uint32_t SHORT_MIN_BYTES = 4;
constexpr std::uint32_t SHORT_UNIT = 4;
constexpr std::uint32_t LONG_UNIT = 64;
constexpr std::uint32_t WINDOW_UNIT = 32;

std::unexpected<ExchangeError> host_packet_error() {
  return fail(ExchangeError::host_packet());
}

// The header words hold the tile from bit 15 up in an 11-bit field; a wider tile would spill
// into bit 26, which host-to-tile headers use as a stream-end bit.
Result<void> validate_header_tile(std::uint16_t physical_tile) {
  if (const auto valid = validate_host_tile(physical_tile); !valid) return valid;
  if (physical_tile >= HOST_HEADER_TILE_LIMIT) return host_packet_error();
  return {};
}

Result<std::uint32_t> window_unit(std::uint32_t tile_address) {
  if (tile_address < HOST_WINDOW_BASE || tile_address % WINDOW_UNIT != 0) {
    return host_packet_error();
  }
  if (tile_address >= HOST_WINDOW_END) return host_packet_error();
  return (tile_address - HOST_WINDOW_BASE) / WINDOW_UNIT;
}

bool fits_class(std::uint32_t host_offset, std::uint32_t bytes, HostPacketSize size) {
  if (size == HostPacketSize::Short) {
    return bytes >= SHORT_MIN_BYTES && bytes <= HOST_SHORT_MAX_BYTES && bytes % SHORT_UNIT == 0 &&
           host_offset % SHORT_UNIT == 0;
  }
  return bytes >= LONG_MIN_BYTES && bytes <= LONG_MAX_BYTES && bytes % LONG_UNIT == 0 &&
         host_offset % LONG_UNIT == 0;
}

// word1 of host-to-tile and tile-to-host headers.
Result<std::uint32_t> addressed_word1(std::uint16_t physical_tile, std::uint32_t host_offset,
                                      std::uint32_t bytes, HostPacketSize size) {
  const auto address_length = host_address_length(host_offset, bytes, size);
  if (!address_length) return fail(address_length.error());
  return host_route_word1(physical_tile) | *address_length;
}

}  // namespace

Result<void> validate_host_tile(std::uint16_t physical_tile) {
  if (physical_tile > HOST_TILE_MAX) return host_packet_error();
  return {};
}

Result<HostHierarchy> host_hierarchy(std::uint16_t target_physical_tile) {
  if (const auto valid = validate_host_tile(target_physical_tile); !valid) {
    return fail(valid.error());
  }
  // Lane and row bits cleared: the row-0, lane-0 tile of the target's column.
  return HostHierarchy{static_cast<std::uint16_t>(target_physical_tile & 0x3Du),
                       target_physical_tile};
}

Result<std::uint32_t> host_mux_for_tile(std::uint16_t physical_tile) {
  if (const auto valid = validate_host_tile(physical_tile); !valid) return fail(valid.error());
  return (std::uint32_t{physical_tile} & 0x3Du) | 0x600u;
}

Result<HostPacketSize> host_packet_size(std::uint32_t host_offset, std::uint32_t bytes) {
  if (fits_class(host_offset, bytes, HostPacketSize::Short)) return HostPacketSize::Short;
  if (fits_class(host_offset, bytes, HostPacketSize::Long)) return HostPacketSize::Long;
  return host_packet_error();
}

Result<std::uint32_t> host_address_length(std::uint32_t host_offset, std::uint32_t bytes,
                                          HostPacketSize size) {
  // A count or offset outside the named class would spill into the neighbouring field.
  if (!fits_class(host_offset, bytes, size)) return host_packet_error();
  const unsigned shift = size == HostPacketSize::Short ? 2u : 6u;
  const std::uint64_t length = (bytes == LONG_MAX_BYTES) ? 0u : std::uint64_t{bytes} >> shift;
  const std::uint64_t value = (std::uint64_t{host_offset} >> shift) << 4 | length;
  // Bit 31 of word1 carries the tile's low bit.
  if (value >= (std::uint64_t{1} << 31)) return host_packet_error();
  return static_cast<std::uint32_t>(value);
}

Result<HostPacketHeader> host_to_tile_packet(std::uint16_t physical_tile,
                                             std::uint32_t tile_address, std::uint32_t host_offset,
                                             std::uint32_t bytes) {
  if (const auto valid = validate_header_tile(physical_tile); !valid) return fail(valid.error());
  const auto unit = window_unit(tile_address);
  if (!unit) return fail(unit.error());
  const auto size = host_packet_size(host_offset, bytes);
  if (!size) return fail(size.error());
  const auto word1 = addressed_word1(physical_tile, host_offset, bytes, *size);
  if (!word1) return fail(word1.error());
  const std::uint32_t kind = *size == HostPacketSize::Long ? 0xEC000200u : 0xCC000200u;
  return HostPacketHeader{host_route_word0(physical_tile) | kind | *unit, *word1};
}

Result<HostPacketHeader> tile_to_host_packet(std::uint16_t physical_tile, std::uint32_t host_offset,
                                             std::uint32_t bytes) {
  if (const auto valid = validate_header_tile(physical_tile); !valid) return fail(valid.error());
  const auto size = host_packet_size(host_offset, bytes);
  if (!size) return fail(size.error());
  const auto word1 = addressed_word1(physical_tile, host_offset, bytes, *size);
  if (!word1) return fail(word1.error());
  const std::uint32_t kind = *size == HostPacketSize::Long ? 0xA0000000u : 0x80000000u;
  return HostPacketHeader{host_route_word0(physical_tile) | kind, *word1};
}

Result<HostPacketHeader> zero_byte_read_packet(std::uint16_t physical_tile,
                                               std::uint32_t dummy_tile_address) {
  if (const auto valid = validate_header_tile(physical_tile); !valid) return fail(valid.error());
  const auto unit = window_unit(dummy_tile_address);
  if (!unit) return fail(unit.error());
  return HostPacketHeader{host_route_word0(physical_tile) | 0xCC000200u | *unit,
                          host_route_word1(physical_tile)};
}

Result<std::vector<HostTransferChunk>> plan_host_transfer(std::uint32_t tile_address,
                                                          std::uint32_t host_offset,
                                                          std::uint32_t bytes,
                                                          std::uint32_t long_max_bytes,
                                                          const HostPacketBuilder& packet) {
  // A long limit below one long unit would never make progress.
  if (long_max_bytes < LONG_MIN_BYTES || long_max_bytes > LONG_MAX_BYTES ||
      long_max_bytes % LONG_UNIT != 0) {
    return host_packet_error();
  }
  if (bytes == 0 || bytes % SHORT_UNIT != 0 || host_offset % SHORT_UNIT != 0) {
    return host_packet_error();
  }
  VX_ASSERT(static_cast<bool>(packet));

  std::vector<HostTransferChunk> chunks;
  std::uint32_t remaining = bytes;
  while (remaining > 0) {
    const std::uint32_t page_room = HOST_PAGE_BYTES - host_offset % HOST_PAGE_BYTES;
    std::uint32_t n = std::min(remaining, page_room);
    if (host_offset % LONG_UNIT == 0 && n >= LONG_MIN_BYTES) {
      n = std::min(n, long_max_bytes) / LONG_UNIT * LONG_UNIT;
    } else if (n > HOST_SHORT_MAX_BYTES) {
      n = HOST_SHORT_STEP_BYTES;
    }
    const auto header = packet(tile_address, host_offset, n);
    if (!header) return fail(header.error());
    chunks.push_back(HostTransferChunk{tile_address, host_offset, n, *header});
    if (__builtin_add_overflow(tile_address, n, &tile_address) ||
        __builtin_add_overflow(host_offset, n, &host_offset)) {
      return host_packet_error();
    }
    remaining -= n;
  }
  return chunks;
}

Result<std::vector<HostTransferChunk>> plan_host_to_tile(std::uint16_t physical_tile,
                                                         std::uint32_t tile_address,
                                                         std::uint32_t host_offset,
                                                         std::uint32_t bytes) {
  if (bytes == 0 || bytes % SHORT_UNIT != 0 || tile_address % WINDOW_UNIT != 0 ||
      host_offset % SHORT_UNIT != 0) {
    return host_packet_error();
  }
  return plan_host_transfer(
      tile_address, host_offset, bytes, HOST_TO_TILE_MAX_BYTES,
      [physical_tile](std::uint32_t chunk_tile, std::uint32_t chunk_host, std::uint32_t n) {
        return host_to_tile_packet(physical_tile, chunk_tile, chunk_host, n);
      });
}

Result<std::vector<HostTransferChunk>> plan_tile_to_host(std::uint16_t physical_tile,
                                                         std::uint32_t tile_address,
                                                         std::uint32_t host_offset,
                                                         std::uint32_t bytes) {
  if (bytes == 0 || bytes % SHORT_UNIT != 0 || tile_address % SHORT_UNIT != 0 ||
      host_offset % SHORT_UNIT != 0) {
    return host_packet_error();
  }
  return plan_host_transfer(
      tile_address, host_offset, bytes, TILE_TO_HOST_MAX_BYTES,
      [physical_tile](std::uint32_t, std::uint32_t chunk_host, std::uint32_t n) {
        return tile_to_host_packet(physical_tile, chunk_host, n);
      });
}

std::ostream& operator<<(std::ostream& out, const HostPacketHeader& header) {
  debug::Struct(out, "HostPacketHeader")
      .field("word0", header.word0)
      .field("word1", header.word1)
      .finish();
  return out;
}

std::string to_string(const HostPacketHeader& header) {
  return debug::stream_to_string(header);
}

std::ostream& operator<<(std::ostream& out, HostPacketSize size) {
  return out << (size == HostPacketSize::Short ? "Short" : "Long");
}

std::string to_string(HostPacketSize size) {
  return debug::stream_to_string(size);
}

std::ostream& operator<<(std::ostream& out, const HostHierarchy& hierarchy) {
  debug::Struct(out, "HostHierarchy")
      .field("xreq_physical_tile", hierarchy.xreq_physical_tile)
      .field("target_physical_tile", hierarchy.target_physical_tile)
      .finish();
  return out;
}

std::string to_string(const HostHierarchy& hierarchy) {
  return debug::stream_to_string(hierarchy);
}

std::ostream& operator<<(std::ostream& out, const HostTransferChunk& chunk) {
  debug::Struct(out, "HostTransferChunk")
      .field("tile_address", chunk.tile_address)
      .field("host_offset", chunk.host_offset)
      .field("bytes", chunk.bytes)
      .field("header", chunk.header)
      .finish();
  return out;
}

std::string to_string(const HostTransferChunk& chunk) {
  return debug::stream_to_string(chunk);
}

std::ostream& operator<<(std::ostream& out, const TileToHostProgram& program) {
  debug::Struct(out, "TileToHostProgram")
      .field("instructions", program.instructions)
      .field("packet_words", program.packet_words)
      .finish();
  return out;
}

std::string to_string(const TileToHostProgram& program) {
  return debug::stream_to_string(program);
}

}  // namespace vessik_exchange
