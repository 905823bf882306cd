#include "vessik_exchange/host_exchange.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include "lib/checks/support.hpp"
#include "vessik_exchange/exchange_words.hpp"

namespace vessik_exchange {
namespace {

using Words = std::vector<std::uint32_t>;

const ExchangeError kHostPacket = ExchangeError::host_packet();
const ExchangeError kSendOperand = ExchangeError::schedule("send instruction operand");

Words sizes_of(const std::vector<HostTransferChunk>& chunks) {
  Words sizes;
  for (const auto& chunk : chunks) sizes.push_back(chunk.bytes);
  return sizes;
}

// ---- Headers ----

TEST(HostPacketSize, ClassBoundaries) {
  struct Case {
    std::uint32_t host_offset;
    std::uint32_t bytes;
    std::optional<HostPacketSize> size;
  };
  const Case cases[] = {
      {0, 4, HostPacketSize::Short},  {4, 60, HostPacketSize::Short},
      {64, 64, HostPacketSize::Long}, {0xC0, 1024, HostPacketSize::Long},
      {0, 0, std::nullopt},           {0, 2, std::nullopt},
      {2, 4, std::nullopt},           {0, 62, std::nullopt},
      {4, 64, std::nullopt},          {0, 96, std::nullopt},
      {0, 1028, std::nullopt},        {0, 1088, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto size = host_packet_size(c.host_offset, c.bytes);
    if (c.size) {
      EXPECT_EQ(size, *c.size) << c.host_offset << " " << c.bytes;
    } else {
      EXPECT_EQ(size, std::unexpected(kHostPacket)) << c.host_offset << " " << c.bytes;
    }
  }
}

TEST(HostAddressLength, EncodesAndRejectsFieldOverflow) {
  struct Case {
    std::uint32_t host_offset;
    std::uint32_t bytes;
    HostPacketSize size;
    std::optional<std::uint32_t> value;
  };
  const Case cases[] = {
      {0x1000, 4, HostPacketSize::Short, 0x4001},
      {0x400, 1024, HostPacketSize::Long, 0x100},
      {64, 64, HostPacketSize::Long, 0x11},
      {0x1FFFFFFC, 60, HostPacketSize::Short, 0x7FFFFFFF},
      {0x20000000, 4, HostPacketSize::Short, std::nullopt},
      {0xFFFFFFC0, 1024, HostPacketSize::Long, 0x3FFFFFF0},
      // Operands outside the named class would spill into the next field.
      {0, 64, HostPacketSize::Short, std::nullopt},
      {0, 4, HostPacketSize::Long, std::nullopt},
      {2, 4, HostPacketSize::Short, std::nullopt},
      {32, 64, HostPacketSize::Long, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto value = host_address_length(c.host_offset, c.bytes, c.size);
    if (c.value) {
      EXPECT_EQ(value, *c.value) << c.host_offset;
    } else {
      EXPECT_EQ(value, std::unexpected(kHostPacket)) << c.host_offset;
    }
  }
}

TEST(HostPacketHeaders, RouteWordsPlaceTheTileNumber) {
  for (std::uint32_t tile = 0; tile <= HOST_TILE_MAX; ++tile) {
    const auto t = static_cast<std::uint16_t>(tile);
    EXPECT_EQ(host_route_word0(t), tile * 0x8000u);
    EXPECT_EQ(host_route_word1(t), (tile & 1u) << 31);
  }
}

// Tiles from 2048 up would spill into bit 26 of word0; the tile checks themselves keep 0..4095.
TEST(HostPacketHeaders, HeaderTilesStopAtTheElevenBitField) {
  const auto to_tile = host_to_tile_packet(2047, 0x50000, 64, 64);
  ASSERT_TRUE(to_tile);
  EXPECT_EQ(to_tile->word0, 0xEFFF8200u);
  EXPECT_EQ(to_tile->word1, 0x80000011u);
  EXPECT_EQ(tile_to_host_packet(2047, 64, 64)->word0, 0xA3FF8000u);
  EXPECT_EQ(zero_byte_read_packet(2047, 0x50000)->word0, 0xCFFF8200u);

  for (const std::uint16_t tile : std::initializer_list<std::uint16_t>{2048, 2049, 4095, 4096}) {
    EXPECT_EQ(host_to_tile_packet(tile, 0x50000, 64, 64), std::unexpected(kHostPacket));
    EXPECT_EQ(tile_to_host_packet(tile, 64, 64), std::unexpected(kHostPacket));
    EXPECT_EQ(zero_byte_read_packet(tile, 0x50000), std::unexpected(kHostPacket));
    EXPECT_EQ(plan_host_to_tile(tile, 0x50000, 64, 64), std::unexpected(kHostPacket));
    EXPECT_EQ(plan_tile_to_host(tile, 0x60000, 64, 64), std::unexpected(kHostPacket));
    EXPECT_EQ(assemble_host_to_tile_target_program(tile, 0x50000, 64, 64, 0x50100),
              std::unexpected(kHostPacket));
    EXPECT_EQ(assemble_tile_to_host_target_program(tile, 0x60000, 64, 64, 0x50100, 0x50180),
              std::unexpected(kHostPacket));
  }

  EXPECT_TRUE(validate_host_tile(4095));
  EXPECT_EQ(validate_host_tile(4096), std::unexpected(kHostPacket));
  EXPECT_EQ(host_mux_for_tile(4095), 0x63Du);
  EXPECT_EQ(host_hierarchy(4095), (HostHierarchy{0x3D, 4095}));
  EXPECT_EQ(host_hierarchy(0xFFFF), std::unexpected(kHostPacket));
  const Words operation{RET_WORD};
  EXPECT_TRUE(wrap_host_target_operation(4095, operation));
}

TEST(HostPacketHeaders, WindowAddressChecks) {
  for (const std::uint32_t address : {0x0u, 0x4FFE0u, 0x50010u, 0x50004u, 0x54000u, 0xFFFFFFE0u}) {
    EXPECT_EQ(host_to_tile_packet(1, address, 0, 4), std::unexpected(kHostPacket)) << address;
    EXPECT_EQ(zero_byte_read_packet(1, address), std::unexpected(kHostPacket)) << address;
  }
  EXPECT_EQ(host_to_tile_packet(1, 0x53FE0, 0, 4)->word0 & 0x1FFu, 511u);
  EXPECT_EQ(zero_byte_read_packet(1, 0x53FE0)->word0 & 0x1FFu, 511u);
}

// ---- Planning ----

struct PlanCase {
  const char* name;
  bool host_to_tile;
  std::uint32_t tile_address;
  std::uint32_t host_offset;
  std::uint32_t bytes;
  std::optional<Words> sizes;
};

TEST(HostTransferPlan, ChunkSizesAndRejections) {
  const PlanCase cases[] = {
      {"whole window", true, 0x50000, 0, 0x4000, Words(16, 1024)},
      {"past the window", true, 0x50000, 0, 0x4020, std::nullopt},
      {"off the tile grid", true, 0x50004, 64, 64, std::nullopt},
      {"second chunk off the grid", true, 0x50000, 4060, 100, std::nullopt},
      {"host-to-tile zero bytes", true, 0x50000, 0, 0, std::nullopt},
      {"host-to-tile odd bytes", true, 0x50000, 0, 6, std::nullopt},
      {"host-to-tile odd offset", true, 0x50000, 2, 4, std::nullopt},
      {"short, long, short", false, 0x60000, 32, 200, Words{32, 128, 40}},
      {"eight long", false, 0x52000, 64, 2048, Words(8, 256)},
      {"tile-to-host odd tile address", false, 0x60002, 0, 4, std::nullopt},
      {"tile-to-host zero bytes", false, 0x60000, 0, 0, std::nullopt},
      {"tile-to-host odd bytes", false, 0x60000, 0, 6, std::nullopt},
      {"tile-to-host odd offset", false, 0x60000, 2, 4, std::nullopt},
      {"tile address overflows", false, 0xFFFFFFC0, 0, 128, std::nullopt},
      {"host offset overflows", false, 0x60000, 0xFFFFFFC0, 64, std::nullopt},
      {"short host address too wide", false, 0x60000, 0x20000004, 4, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto plan = c.host_to_tile
                          ? plan_host_to_tile(0x104, c.tile_address, c.host_offset, c.bytes)
                          : plan_tile_to_host(0x104, c.tile_address, c.host_offset, c.bytes);
    if (c.sizes) {
      ASSERT_TRUE(plan) << c.name;
      EXPECT_EQ(sizes_of(*plan), *c.sizes) << c.name;
    } else {
      EXPECT_EQ(plan, std::unexpected(kHostPacket)) << c.name;
    }
  }
  const auto mixed = plan_tile_to_host(0, 0x60000, 32, 200);
  ASSERT_TRUE(mixed);
  EXPECT_EQ((*mixed)[1].host_offset, 64u);
  EXPECT_EQ((*mixed)[1].header, *tile_to_host_packet(0, 64, 128));
  EXPECT_EQ((*mixed)[2].host_offset, 192u);
}

TEST(HostTransferPlan, SharedPlannerTakesAnyBuilder) {
  struct Call {
    std::uint32_t tile_address, host_offset, bytes;
    bool operator==(const Call&) const = default;
  };
  std::vector<Call> calls;
  const HostPacketBuilder recording = [&calls](std::uint32_t t, std::uint32_t h,
                                               std::uint32_t n) -> Result<HostPacketHeader> {
    calls.push_back({t, h, n});
    return HostPacketHeader{t, n};
  };
  const auto plan = plan_host_transfer(0x1000, 4032, 320, 128, recording);
  ASSERT_TRUE(plan);
  EXPECT_EQ(sizes_of(*plan), (Words{64, 128, 128}));
  EXPECT_EQ(calls,
            (std::vector<Call>{{0x1000, 4032, 64}, {0x1040, 4096, 128}, {0x10C0, 4224, 128}}));
  EXPECT_EQ((*plan)[2].header, (HostPacketHeader{0x10C0, 128}));

  // A builder error ends the plan with no partial result.
  int budget = 2;
  const HostPacketBuilder failing = [&budget](std::uint32_t, std::uint32_t,
                                              std::uint32_t) -> Result<HostPacketHeader> {
    if (budget-- == 0) return fail(ExchangeError::host_packet());
    return HostPacketHeader{};
  };
  EXPECT_EQ(plan_host_transfer(0, 0, 1024, 256, failing), std::unexpected(kHostPacket));

  // A long limit that is no whole number of long units up to 1024 would loop or overrun.
  for (const std::uint32_t limit : {0u, 32u, 96u, 1088u, 2048u})
    EXPECT_EQ(plan_host_transfer(0, 0, 4096, limit, recording), std::unexpected(kHostPacket))
        << limit;
}

// Any aligned range is covered by contiguous packets that never cross a host page.
TEST(HostTransferPlan, RandomRangesKeepTheChunkInvariants) {
  std::mt19937_64 engine(0x706C616E);
  const auto draw = [&engine](std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(engine);
  };
  for (int round = 0; round < 400; ++round) {
    const bool host_to_tile = round % 2 == 0;
    const auto tile = static_cast<std::uint16_t>(draw(0, 2047));
    // Host-to-tile ranges start long-aligned so that every chunk stays on the window grid.
    const std::uint32_t host_offset = host_to_tile ? 64 * draw(0, 1024) : 4 * draw(0, 4096);
    const std::uint32_t tile_address =
        host_to_tile ? 0x50000 + 32 * draw(0, 255) : 4 * draw(0, 0x3FFFFFFF);
    const std::uint32_t bytes = host_to_tile ? 4 * draw(1, 2048) : 4 * draw(1, 8192);
    const auto plan = host_to_tile ? plan_host_to_tile(tile, tile_address, host_offset, bytes)
                                   : plan_tile_to_host(tile, tile_address, host_offset, bytes);
    if (!host_to_tile && std::uint64_t{tile_address} + bytes > UINT32_MAX) {
      EXPECT_EQ(plan, std::unexpected(kHostPacket));
      continue;
    }
    ASSERT_TRUE(plan) << tile_address << " " << host_offset << " " << bytes;
    const std::uint32_t limit = host_to_tile ? 1024 : TILE_TO_HOST_MAX_BYTES;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < plan->size(); ++i) {
      const auto& chunk = (*plan)[i];
      EXPECT_EQ(chunk.tile_address, tile_address + total);
      EXPECT_EQ(chunk.host_offset, host_offset + total);
      EXPECT_LE(chunk.bytes, limit);
      EXPECT_EQ(chunk.host_offset / HOST_PAGE_BYTES,
                (chunk.host_offset + chunk.bytes - 1) / HOST_PAGE_BYTES);
      EXPECT_TRUE(host_packet_size(chunk.host_offset, chunk.bytes));
      const auto header = host_to_tile ? host_to_tile_packet(tile, chunk.tile_address,
                                                             chunk.host_offset, chunk.bytes)
                                       : tile_to_host_packet(tile, chunk.host_offset, chunk.bytes);
      EXPECT_EQ(chunk.header, header);
      total += chunk.bytes;
    }
    EXPECT_EQ(total, bytes);
  }
}

// ---- Programs ----

TEST(HostXreqProgram, EndpointBitsReachRowTwentySevenOnly) {
  const auto last_row = assemble_host_xreq_program(1791, 0x50120);  // row 27, lane 1: bit 55
  ASSERT_TRUE(last_row);
  EXPECT_EQ(last_row->packet_words, (Words{0, 0x80000000}));
  EXPECT_EQ(assemble_host_xreq_program(1728, 0x50120)->packet_words, (Words{0, 0x40000000}));

  // Row 28 and beyond have no endpoint bit; a later valid target does not hide a bad one.
  const std::uint16_t mixed[] = {0x104, 1792};
  EXPECT_EQ(assemble_host_xreq_program_for_targets(mixed, 0x50120), std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_xreq_program(4095, 0x50120), std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_xreq_program(4096, 0x50120), std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_xreq_program_for_targets({}, 0x50120), std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_xreq_program(0x104, 0x50124), std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_xreq_program(0x104, 0x100000), std::unexpected(kSendOperand));
}

TEST(HostCommandRead, Rejections) {
  EXPECT_EQ(assemble_host_command_read_program(0x50164, 0x50180, 0x1000),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_command_read_program(0x50160, 0x50184, 0x1000),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_command_read_program(0x50160, 0x54000, 0x1000),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_command_read_program(0x50160, 0x50180, 0x1002),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_command_read_program(0xFFFF8, 0x50180, 0x1000),
            std::unexpected(kSendOperand));  // the read header lies past the send field
  EXPECT_EQ(assemble_host_command_read_program(0xFFFFFFF8, 0x50180, 0x1000),
            std::unexpected(kSendOperand));
}

TEST(HostToTileProgram, Rejections) {
  EXPECT_EQ(assemble_host_to_tile_target_program(0x104, 0x50120, 64, 64, 0x50174),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_to_tile_target_program(0x104, 0x50124, 64, 64, 0x50170),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_host_to_tile_target_program(0x104, 0x50120, 64, 64, 0x100000),
            std::unexpected(kSendOperand));
}

TEST(TileToHostProgram, ShortPayloadIsPaddedToEighteenCycles) {
  const auto program = assemble_tile_to_host_target_program(0, 0x60000, 0, 40, 0x50160, 0x50180);
  ASSERT_TRUE(program);
  ASSERT_EQ(program->instructions.size(), 8u);
  EXPECT_EQ(program->instructions[3], 0x792C0003u);
  EXPECT_EQ(program->instructions[4], 0x40A00007u);
  EXPECT_EQ(
      instruction_advance(program->instructions[3]) + instruction_advance(program->instructions[4]),
      18u);
}

TEST(TileToHostProgram, Rejections) {
  // A close address past 32 bits is a packet error, not a wrapped send.
  EXPECT_EQ(assemble_tile_to_host_target_program(0, 0x60000, 0, 64, 0xFFFFFFF8, 0x50180),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_tile_to_host_target_program(0, 0x60000, 0, 64, 0x50164, 0x50180),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_tile_to_host_target_program(0, 0x60000, 0, 64, 0x50160, 0x50184),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_tile_to_host_target_program(0, 0x60000, 0, 0, 0x50160, 0x50180),
            std::unexpected(kHostPacket));
  EXPECT_EQ(assemble_tile_to_host_target_program(0, 0x100000, 0, 64, 0x50160, 0x50180),
            std::unexpected(kSendOperand));
  EXPECT_EQ(assemble_tile_to_host_target_program(0, 0x60000, 0, 64, 0xFFFF8, 0x50180),
            std::unexpected(kSendOperand));

  const HostTransferChunk good{0x60000, 0, 64, {}};
  EXPECT_EQ(tile_to_host_target_instructions({}, 0x50160, 0x50168), std::unexpected(kHostPacket));
  const HostTransferChunk one[] = {good};
  EXPECT_EQ(tile_to_host_target_instructions(one, 0x50164, 0x50168), std::unexpected(kHostPacket));
  for (const std::uint32_t bytes : {0u, 6u, 260u}) {
    const HostTransferChunk bad[] = {good, {0x60040, 64, bytes, {}}};
    EXPECT_EQ(tile_to_host_target_instructions(bad, 0x50160, 0x50170), std::unexpected(kHostPacket))
        << bytes;
  }
}

TEST(HostWrappers, CombinedOperationPlacesTheRequestAfterTheWordCount) {
  const auto operation = assemble_host_to_tile_target_program(0, 0x50120, 64, 64, 0x50168);
  ASSERT_TRUE(operation);
  EXPECT_EQ(wrap_combined_host_operation(0, operation->instructions, 0x50160),
            (Words{0x19800600, 0x438080A0, 0x4180000F, 0x19800010, 0x438080A6, 0x782A02C3,
                   0x782A02D3, 0x41800000, 0x41800007, 0x19800640, 0x438080A0, 0x43A00000}));
  const auto on_nine = wrap_combined_host_operation(9, operation->instructions, 0x50160);
  ASSERT_TRUE(on_nine);
  EXPECT_EQ(on_nine->front(), 0x19800609u);
  EXPECT_EQ(tests::send_address((*on_nine)[5]), 0x50160u);
}

TEST(HostWrappers, Rejections) {
  const auto target_return = ExchangeError::schedule("host target operation return");
  const auto local_return = ExchangeError::schedule("local host operation return");
  const auto local_prefix = ExchangeError::schedule("local host operation prefix");
  const Words no_return{0x19800010, 0x438080A6};
  const Words one_word{0x19800010, RET_WORD};
  const Words good{0x19800010, 0x438080A6, RET_WORD};

  EXPECT_EQ(wrap_host_operation(0, no_return, SYNC_ALL_INSTRUCTION),
            std::unexpected(target_return));
  EXPECT_EQ(wrap_host_xreq_operation(0, Words{}), std::unexpected(target_return));
  EXPECT_EQ(wrap_host_target_operation(4096, no_return), std::unexpected(target_return));
  EXPECT_EQ(wrap_host_target_operation(4096, good), std::unexpected(kHostPacket));

  EXPECT_EQ(wrap_combined_host_operation(0, no_return, 0x50160), std::unexpected(local_return));
  EXPECT_EQ(wrap_combined_host_operation(0, Words{}, 0x50160), std::unexpected(local_return));
  EXPECT_EQ(wrap_combined_host_operation(0, one_word, 0x50160), std::unexpected(local_prefix));
  EXPECT_EQ(wrap_combined_host_operation(0, good, 0x50164), std::unexpected(local_prefix));
  EXPECT_EQ(wrap_combined_host_operation(4096, good, 0x50160), std::unexpected(kHostPacket));
  EXPECT_EQ(wrap_combined_host_operation(0, good, 0x100000), std::unexpected(kSendOperand));

  // A bare return wraps to the mux select, entry sync and completion.
  EXPECT_EQ(
      wrap_host_operation(0x74, Words{RET_WORD}, 0x41800005),
      (Words{0x19800634, 0x438080A0, 0x41800005, 0x41800007, 0x19800640, 0x438080A0, RET_WORD}));
}

TEST(HostWrappers, LocalCompletionAppends) {
  Words words{1, 2};
  append_local_host_completion(words);
  EXPECT_EQ(words, (Words{1, 2, 0x41800007, 0x19800640, 0x438080A0}));
}

// ---- Text forms ----

template <typename T>
std::string streamed(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

TEST(HostTextForms, RenderAsStructs) {
  const HostPacketHeader header{3959423497u, 17};
  EXPECT_EQ(to_string(header), "HostPacketHeader { word0: 3959423497, word1: 17 }");
  EXPECT_EQ(streamed(header), to_string(header));
  EXPECT_EQ(to_string(HostPacketSize::Short), "Short");
  EXPECT_EQ(streamed(HostPacketSize::Long), "Long");
  EXPECT_EQ(to_string(HostHierarchy{4, 260}),
            "HostHierarchy { xreq_physical_tile: 4, target_physical_tile: 260 }");
  EXPECT_EQ(to_string(HostTransferChunk{327968, 64, 64, header}),
            "HostTransferChunk { tile_address: 327968, host_offset: 64, bytes: 64, header: "
            "HostPacketHeader { word0: 3959423497, word1: 17 } }");
  const TileToHostProgram program{{1136656384u}, {256, 0}};
  EXPECT_EQ(to_string(program),
            "TileToHostProgram { instructions: [1136656384], packet_words: [256, 0] }");
  EXPECT_EQ(streamed(program), to_string(program));
  EXPECT_EQ(to_string(TileToHostProgram{}),
            "TileToHostProgram { instructions: [], packet_words: [] }");
}

}  // namespace
}  // namespace vessik_exchange
