// Checks of host packet headers, host transfer chunking and host program assembly.
#include "vessik_exchange/host_exchange.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "harness/harness.hpp"
#include "harness/rng.hpp"
#include "support.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::tests {

namespace {

using Words = std::vector<std::uint32_t>;

constexpr std::uint32_t SYNC_CLOSE = 0x41800000u;
constexpr std::uint32_t MUX_SELECT = 0x438080A0u;

bool has_host_or_all_sync(const Words& instructions) {
  return std::ranges::any_of(instructions, [](std::uint32_t w) {
    return w == SYNC_HOST_INSTRUCTION || w == SYNC_ALL_INSTRUCTION;
  });
}

// Contiguous chunks covering the range, each a valid packet that stays inside one host page.
void check_chunk_cover(std::span<const HostTransferChunk> chunks, std::uint32_t tile_address,
                       std::uint32_t host_offset, std::uint32_t bytes, std::uint32_t long_max) {
  VX_CHECK(!chunks.empty());
  std::uint64_t tile = tile_address;
  std::uint64_t host = host_offset;
  for (const auto& chunk : chunks) {
    VX_CHECK_EQ(std::uint64_t{chunk.tile_address}, tile);
    VX_CHECK_EQ(std::uint64_t{chunk.host_offset}, host);
    VX_CHECK(chunk.bytes <= long_max || chunk.bytes <= 60);
    VX_CHECK_EQ(chunk.host_offset / HOST_PAGE_BYTES,
                (chunk.host_offset + chunk.bytes - 1) / HOST_PAGE_BYTES);
    VX_OK(host_packet_size(chunk.host_offset, chunk.bytes));
    tile += chunk.bytes;
    host += chunk.bytes;
  }
  VX_CHECK_EQ(host - host_offset, std::uint64_t{bytes});
}

Words chunk_sizes(std::span<const HostTransferChunk> chunks) {
  Words sizes;
  for (const auto& chunk : chunks) sizes.push_back(chunk.bytes);
  return sizes;
}

}  // namespace

VX_CHECK_DEFINE(groups_multi_packet_host_to_tile_as_one_stream_copy) {
  const auto program =
      VX_OK(assemble_host_to_tile_target_program(0x3F, 0x50000, 64, 4096, 0x54000));
  VX_CHECK_EQ(program.packet_words,
              (Words{0xE01F8200, 0x80000010, 0xE01F8220, 0x80000110, 0xE01F8240, 0x80000210,
                     0xE01F8260, 0x8000031F, 0xEC1F827E, 0x80000401}));
  VX_CHECK_EQ(program.instructions,
              (Words{0x19800400, 0x438080A6, 0x782A8003, 0x70200003, 0x70200003, 0x70200003,
                     0x70200003, SYNC_CLOSE, RET_WORD}));
  // The image is the planned headers with the stream end kept only on the last one.
  const auto chunks = VX_OK(plan_host_to_tile(0x3F, 0x50000, 64, 4096));
  VX_CHECK_EQ(program.packet_words.size(), 2 * chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const bool last = i + 1 == chunks.size();
    const auto words = host_packet_words(chunks[i].header);
    VX_CHECK_EQ(words[0] & HOST_TO_TILE_STREAM_END_BITS, HOST_TO_TILE_STREAM_END_BITS);
    VX_CHECK_EQ(program.packet_words[2 * i],
                last ? words[0] : words[0] & ~HOST_TO_TILE_STREAM_END_BITS);
    VX_CHECK_EQ(program.packet_words[2 * i + 1], words[1]);
  }
}

VX_CHECK_DEFINE(groups_multi_packet_tile_to_host_payloads) {
  const std::uint32_t packet = 0x50160;
  const auto program =
      VX_OK(assemble_tile_to_host_target_program(2, 0x52000, 64, 2048, packet, 0x50180));
  const auto chunks = VX_OK(plan_tile_to_host(2, 0x52000, 64, 2048));
  VX_CHECK_EQ(chunk_sizes(chunks), Words(8, 256));
  VX_CHECK_EQ(program.packet_words.size(), std::size_t{18});
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    VX_CHECK_EQ(program.packet_words[2 * i], chunks[i].header.word0);
    VX_CHECK_EQ(program.packet_words[2 * i + 1], chunks[i].header.word1);
  }
  const auto close = host_packet_words(VX_OK(zero_byte_read_packet(2, 0x50180)));
  VX_CHECK_EQ(program.packet_words[16], close[0]);
  VX_CHECK_EQ(program.packet_words[17], close[1]);

  const auto& instructions = program.instructions;
  VX_CHECK_EQ(instructions.size(), std::size_t{21});
  VX_CHECK(std::ranges::none_of(instructions, is_delay));
  for (std::uint32_t i = 0; i < 8; ++i) {
    const std::uint32_t header_send = instructions[2 + 2 * i];
    const std::uint32_t payload_send = instructions[3 + 2 * i];
    VX_CHECK_EQ(send_address(header_send), packet + 8 * i);
    VX_CHECK_EQ(instruction_advance(header_send), 2u);
    VX_CHECK(is_send(payload_send));
    VX_CHECK_EQ(instruction_advance(payload_send), 64u);
    VX_CHECK_EQ(send_address(payload_send), 0x52000 + 256 * i);
  }
  VX_CHECK_EQ(send_address(instructions[18]), packet + 8 * 8);
}

VX_CHECK_DEFINE(host_command_read_encoder_preserves_recovered_packet_and_addresses) {
  const auto program = VX_OK(assemble_host_command_read_program(0x50160, 0x50180, 0x1000));
  VX_CHECK_EQ(program.packet_words, (Words{1, 0, 0xCC00020C, 0x4001}));
  VX_CHECK_EQ(program.instructions,
              (Words{0x19800600, MUX_SELECT, 0x4180000F, 0x19800001, 0x438080A6, 0x782A02C3,
                     0x782A02D3, SYNC_CLOSE, 0x41800007, 0x19800640, MUX_SELECT, 0x41800003,
                     0x40A00048, 0x780A0303, RET_WORD}));
  VX_CHECK_EQ(send_address(program.instructions[5]), 0x50160u);
  VX_CHECK_EQ(send_address(program.instructions[6]), 0x50168u);
  VX_CHECK_EQ(send_address(program.instructions[13]), 0x50180u);
  VX_CHECK_EQ(instruction_advance(program.instructions[13]), 1u);
}

VX_CHECK_DEFINE(host_mux_uses_the_physical_tile_row_endpoint) {
  VX_CHECK_EQ(VX_OK(host_mux_for_tile(0x74)), 0x634u);
  VX_CHECK_EQ(VX_OK(host_mux_for_tile(0x246)), 0x604u);
  VX_CHECK_EQ(VX_OK(host_mux_for_tile(0x495)), 0x615u);
  VX_CHECK_EQ(VX_OK(host_hierarchy(0x104)), (HostHierarchy{4, 0x104}));
  // Every tile of a column selects the endpoint of that column's row-0, lane-0 tile.
  for (std::uint16_t tile = 0; tile <= HOST_TILE_MAX; ++tile) {
    const auto hierarchy = VX_OK(host_hierarchy(tile));
    VX_CHECK_EQ(hierarchy.target_physical_tile, tile);
    VX_CHECK(hierarchy.xreq_physical_tile < 64);
    VX_CHECK_EQ(hierarchy.xreq_physical_tile & 2u, 0u);
    VX_CHECK_EQ(VX_OK(host_mux_for_tile(tile)), 0x600u | hierarchy.xreq_physical_tile);
  }
  VX_CHECK_EQ(VX_ERR(host_mux_for_tile(4096)), ExchangeError::host_packet());
  VX_CHECK_EQ(VX_ERR(host_hierarchy(4096)), ExchangeError::host_packet());
}

VX_CHECK_DEFINE(host_packets_match_recovered_sdk_vectors) {
  using Pair = std::array<std::uint32_t, 2>;
  VX_CHECK_EQ(host_packet_words(VX_OK(tile_to_host_packet(0, 64, 64))), (Pair{0xA0000000, 0x11}));
  VX_CHECK_EQ(host_packet_words(VX_OK(tile_to_host_packet(1409, 64, 64))),
              (Pair{0xA2C08000, 0x80000011}));
  VX_CHECK_EQ(host_packet_words(VX_OK(host_to_tile_packet(0, 0x50120, 64, 64))),
              (Pair{0xEC000209, 0x11}));
  VX_CHECK_EQ(host_packet_words(VX_OK(host_to_tile_packet(0x104, 0x50120, 64, 64))),
              (Pair{0xEC820209, 0x11}));
  VX_CHECK_EQ(host_packet_words(VX_OK(zero_byte_read_packet(2, 0x50180))), (Pair{0xCC01020C, 0}));
  VX_CHECK_EQ(host_packet_words(VX_OK(zero_byte_read_packet(0x104, 0x50180))),
              (Pair{0xCC82020C, 0}));
  VX_CHECK_EQ(host_packet_words(VX_OK(host_to_tile_packet(0, 0x50180, 0x1000, 4))),
              (Pair{0xCC00020C, 0x4001}));
}

VX_CHECK_DEFINE(host_packets_validate_both_size_classes) {
  VX_CHECK_EQ(VX_OK(host_packet_size(4, 4)), HostPacketSize::Short);
  VX_CHECK_EQ(VX_OK(host_packet_size(0x400, 1024)), HostPacketSize::Long);
  VX_CHECK_EQ(VX_OK(tile_to_host_packet(0, 4, 4)).word1, 0x11u);
  VX_CHECK_EQ(VX_OK(tile_to_host_packet(0, 0x400, 1024)).word1, 0x100u);

  const auto rejected = ExchangeError::host_packet();
  VX_CHECK_EQ(VX_ERR(tile_to_host_packet(0, 2, 4)), rejected);
  VX_CHECK_EQ(VX_ERR(tile_to_host_packet(0, 64, 0)), rejected);
  VX_CHECK_EQ(VX_ERR(tile_to_host_packet(0, 0, 1028)), rejected);
  VX_CHECK_EQ(VX_ERR(tile_to_host_packet(0, 4, 64)), rejected);  // long count, short offset
  VX_CHECK_EQ(VX_ERR(tile_to_host_packet(0x1000, 64, 64)), rejected);
  VX_CHECK_EQ(VX_ERR(tile_to_host_packet(0, 0x20000000, 4)), rejected);
  VX_CHECK_EQ(VX_ERR(host_to_tile_packet(0, 0x50124, 0x40, 64)), rejected);
  VX_CHECK_EQ(VX_ERR(host_to_tile_packet(0, 0x54000, 0x40, 64)), rejected);
  VX_CHECK_EQ(VX_ERR(host_to_tile_packet(0, 0x4FFE0, 0x40, 64)), rejected);
}

VX_CHECK_DEFINE(host_to_tile_target_preserves_packet_and_request_addresses) {
  const std::uint32_t packet = 0x50170;
  const auto program = VX_OK(assemble_host_to_tile_target_program(0x104, 0x50120, 64, 64, packet));
  const auto header = host_packet_words(VX_OK(host_to_tile_packet(0x104, 0x50120, 64, 64)));
  VX_CHECK_EQ(program.packet_words, (Words{header[0], header[1]}));
  VX_CHECK_EQ(program.packet_words, (Words{0xEC820209, 0x11}));
  VX_CHECK_EQ(program.instructions,
              (Words{0x19800010, 0x438080A6, 0x782A02E3, SYNC_CLOSE, RET_WORD}));
  VX_CHECK_EQ(std::ranges::count_if(program.instructions, is_payload_send), 1);
  VX_CHECK_EQ(send_address(program.instructions[2]), packet);
  VX_CHECK(!has_host_or_all_sync(program.instructions));
}

VX_CHECK_DEFINE(host_transfer_planner_covers_unaligned_and_large_ranges) {
  // Unaligned host offset: short 32-byte packets until the tail fits one short packet.
  const auto unaligned = VX_OK(plan_host_to_tile(0x581, 0x50000, 4, 100));
  check_chunk_cover(unaligned, 0x50000, 4, 100, 1024);
  VX_CHECK_EQ(chunk_sizes(unaligned), (Words{32, 32, 36}));
  VX_CHECK_EQ(unaligned[2].tile_address + unaligned[2].bytes, 0x50064u);
  const std::array<HostPacketHeader, 3> headers{
      {{0xCEC08200, 0x80000018}, {0xCEC08201, 0x80000098}, {0xCEC08202, 0x80000119}}};
  for (std::size_t i = 0; i < headers.size(); ++i) VX_CHECK_EQ(unaligned[i].header, headers[i]);

  // Long packets stop at the page boundary.
  const auto large = VX_OK(plan_host_to_tile(0x3F, 0x50000, 64, 4096));
  check_chunk_cover(large, 0x50000, 64, 4096, 1024);
  VX_CHECK_EQ(chunk_sizes(large), (Words{1024, 1024, 1024, 960, 64}));
  VX_CHECK_EQ(large[3].host_offset + large[3].bytes, HOST_PAGE_BYTES);

  // An offset that stays 4 or 36 modulo 64 never becomes long-aligned: 67 short packets of 32
  // bytes and a 56-byte tail.
  const auto never_long = VX_OK(plan_tile_to_host(2, 0x60004, 4, 2200));
  check_chunk_cover(never_long, 0x60004, 4, 2200, TILE_TO_HOST_MAX_BYTES);
  Words expected(67, 32);
  expected.push_back(56);
  VX_CHECK_EQ(chunk_sizes(never_long), expected);
  VX_CHECK_EQ(never_long.front().host_offset, 4u);

  const auto page = VX_OK(plan_tile_to_host(0, 0x60000, 64, 4096));
  check_chunk_cover(page, 0x60000, 64, 4096, TILE_TO_HOST_MAX_BYTES);
  expected.assign(15, 256);
  expected.insert(expected.end(), {192, 64});
  VX_CHECK_EQ(chunk_sizes(page), expected);
  VX_CHECK_EQ(page[16].host_offset, HOST_PAGE_BYTES);

  const auto straddle = VX_OK(plan_tile_to_host(0, 0x60000, 4092, 8));
  VX_CHECK_EQ(chunk_sizes(straddle), (Words{4, 4}));
  VX_CHECK_EQ(straddle[1].host_offset, HOST_PAGE_BYTES);
}

VX_CHECK_DEFINE(host_xreq_combines_target_endpoint_bits) {
  struct Case {
    std::uint16_t target;
    std::uint32_t word0;
    std::uint32_t word1;
  };
  constexpr std::uint32_t packet = 0x50120;
  const Words instructions{0x782A0243, RET_WORD};
  const Case cases[] = {
      {0x104, 0x100, 0}, {0x1F, 2, 0}, {0x51, 4, 0}, {0x300, 0, 1}, {0x5BF, 0, 0x200000}};
  for (const auto& c : cases) {
    const auto program = VX_OK(assemble_host_xreq_program(c.target, packet));
    VX_CHECK_EQ(program.instructions, instructions);
    VX_CHECK_EQ(program.packet_words, (Words{c.word0, c.word1}));
  }
  const std::uint16_t targets[] = {0x1F, 0x51, 0x300, 0x5BF, 0x51};
  const auto combined = VX_OK(assemble_host_xreq_program_for_targets(targets, packet));
  VX_CHECK_EQ(combined.packet_words, (Words{0x6, 0x200001}));
  VX_CHECK_EQ(combined.instructions, instructions);
}

VX_CHECK_DEFINE(randomized_tile_to_host_packets_observe_the_payload_interval) {
  harness::SeededRng rng(0x686F73745F706164);
  constexpr std::uint32_t packet = 0x70000;
  for (int round = 0; round < 200; ++round) {
    const auto tile = rng.range<std::uint16_t>(0, 1471);
    const std::uint32_t tile_address = 0x60000 + 4 * rng.below<std::uint32_t>(0, 0x1000);
    const std::uint32_t host_offset = 4 * rng.below<std::uint32_t>(0, 256);
    const std::uint32_t bytes = 4 * rng.range<std::uint32_t>(1, 1024);
    const auto program = VX_OK(assemble_tile_to_host_target_program(tile, tile_address, host_offset,
                                                                    bytes, packet, 0x50180));
    const auto chunks = VX_OK(plan_tile_to_host(tile, tile_address, host_offset, bytes));
    const auto& instructions = program.instructions;
    std::size_t at = 2;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      VX_CHECK_EQ(send_address(instructions[at]), packet + 8 * static_cast<std::uint32_t>(i));
      const std::uint32_t payload = instructions[at + 1];
      VX_CHECK_EQ(send_address(payload), chunks[i].tile_address);
      const std::uint32_t words = chunks[i].bytes / 4;
      VX_CHECK_EQ(instruction_advance(payload), words);
      std::uint32_t cycles = words;
      at += 2;
      if (is_delay(instructions[at])) cycles += instruction_advance(instructions[at++]);
      VX_CHECK_EQ(cycles, std::max(words, 18u));
    }
    VX_CHECK_EQ(send_address(instructions[at]),
                packet + 8 * static_cast<std::uint32_t>(chunks.size()));
    VX_CHECK_EQ(instructions.size(), at + 3);
  }
}

VX_CHECK_DEFINE(target_operations_match_sdk_logical_tile_100_oracle) {
  const std::uint16_t tile = VX_OK(Topology::arvel().physical(100));
  VX_CHECK_EQ(tile, std::uint16_t{0x104});

  const auto to_tile = VX_OK(assemble_host_to_tile_target_program(tile, 0x50120, 64, 64, 0x50170));
  VX_CHECK_EQ(
      VX_OK(wrap_host_target_operation(tile, to_tile.instructions)),
      (Words{0x19800604, MUX_SELECT, SYNC_ALL_INSTRUCTION, 0x19800010, 0x438080A6, 0x782A02E3,
             SYNC_CLOSE, SYNC_ALL_INSTRUCTION, 0x19800640, MUX_SELECT, RET_WORD}));

  const auto to_host =
      VX_OK(assemble_tile_to_host_target_program(tile, 0x50120, 64, 64, 0x50160, 0x50180));
  VX_CHECK_EQ(to_host.instructions, (Words{0x19800001, 0x438080A6, 0x782A02C3, 0x79EA0243,
                                           0x40A00001, 0x782A02D3, SYNC_CLOSE, RET_WORD}));
  VX_CHECK_EQ(to_host.packet_words, (Words{0xA0820000, 0x11, 0xCC82020C, 0}));

  const auto hierarchy = VX_OK(host_hierarchy(tile));
  const auto request = VX_OK(assemble_host_xreq_program(tile, 0x50120));
  VX_CHECK_EQ(request.packet_words, (Words{0x100, 0}));
  VX_CHECK_EQ(VX_OK(wrap_host_xreq_operation(hierarchy.xreq_physical_tile, request.instructions)),
              (Words{0x19800604, MUX_SELECT, SYNC_HOST_INSTRUCTION, 0x782A0243,
                     SYNC_ALL_INSTRUCTION, 0x19800640, MUX_SELECT, RET_WORD}));
}

VX_CHECK_DEFINE(tile_to_host_target_has_no_controller_xreq_or_sync_wrapper) {
  const std::uint32_t packet = 0x50200;
  const auto program =
      VX_OK(assemble_tile_to_host_target_program(0x581, 0x52000, 32, 600, packet, 0x50180));
  const auto chunks = VX_OK(plan_tile_to_host(0x581, 0x52000, 32, 600));
  const auto& instructions = program.instructions;
  VX_CHECK(!has_host_or_all_sync(instructions));
  VX_CHECK(std::ranges::none_of(instructions, [](std::uint32_t w) { return w == MUX_SELECT; }));
  VX_CHECK_EQ(instructions.end()[-2], SYNC_CLOSE);
  VX_CHECK_EQ(instructions.back(), RET_WORD);
  // Only header, payload and close sends: none reads outside the packet image and the payload.
  const std::uint32_t close_address = packet + 8 * static_cast<std::uint32_t>(chunks.size());
  std::size_t sends = 0;
  for (const std::uint32_t w : instructions) {
    if (!is_send(w)) continue;
    ++sends;
    const std::uint32_t address = send_address(w);
    const bool in_image = address >= packet && address <= close_address;
    const bool in_payload = address >= 0x52000 && address < 0x52000 + 600;
    VX_CHECK(in_image || in_payload);
  }
  VX_CHECK_EQ(sends, 2 * chunks.size() + 1);
  VX_CHECK_EQ(program.packet_words.size(), 2 * chunks.size() + 2);
}

VX_CHECK_DEFINE(tile_to_host_target_preserves_packet_and_payload_addresses) {
  const auto program =
      VX_OK(assemble_tile_to_host_target_program(0x104, 0x50120, 64, 64, 0x50160, 0x50180));
  const auto& instructions = program.instructions;
  VX_CHECK_EQ(send_address(instructions[2]), 0x50160u);
  VX_CHECK_EQ(send_address(instructions[3]), 0x50120u);
  VX_CHECK_EQ(instruction_advance(instructions[3]), 16u);
  VX_CHECK_EQ(instructions[4], delay(1));
  VX_CHECK_EQ(send_address(instructions[5]), 0x50168u);
  const auto header = host_packet_words(VX_OK(tile_to_host_packet(0x104, 64, 64)));
  const auto close = host_packet_words(VX_OK(zero_byte_read_packet(0x104, 0x50180)));
  VX_CHECK_EQ(program.packet_words, (Words{header[0], header[1], close[0], close[1]}));
  VX_CHECK_EQ(program.packet_words, (Words{0xA0820000, 0x11, 0xCC82020C, 0}));
}

}  // namespace vessik_exchange::tests
