// Tile programs of host exchange: request, command read, host-to-tile and tile-to-host target
// programs with their packet images, and the wrappers that make them self-contained routines.
#include <cstdint>
#include <vector>

#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/host_exchange.hpp"
#include "vessik_exchange/scalar_words.hpp"

namespace vessik_exchange {

namespace {

constexpr std::uint32_t SYNC_CLOSE = 0x41800000u;
constexpr std::uint32_t SYNC_COMMAND = 0x41800003u;
constexpr std::uint32_t MUX_SELECT = put_special_from_m8(0xA0);
constexpr std::uint32_t WORD_COUNT = put_special_from_m8(0xA6);
constexpr std::uint32_t RESTORE_MUX = setzi_m(8, TILE_MUX_EXCHANGE);
constexpr std::uint32_t CONTINUATION_SEND = send_off(1, 3, 0);
constexpr std::uint32_t HEADER_SEND_CONTROL = 3;
constexpr std::uint32_t PACKET_ALIGNMENT = 8;
constexpr std::uint32_t PACKET_BYTES = 8;
// A payload and its pad last at least this many cycles.
constexpr std::uint32_t MINIMUM_PAYLOAD_CYCLES = 18;
// Cycles the command read waits for the host's reply before sending the word.
constexpr std::uint32_t COMMAND_READ_WAIT = 72;
constexpr std::uint32_t COMMAND_READ_TILE_MUX = 0x600u;

std::unexpected<ExchangeError> host_packet_error() {
  return fail(ExchangeError::host_packet());
}

// A send of `count_minus_one + 1` words from a byte address that may lie anywhere in 64 bits;
// addresses beyond the send's word-address field fail as the encoder does.
Result<std::uint32_t> send_from(std::uint32_t count_minus_one, std::uint64_t byte_address) {
  const std::uint64_t word = byte_address >> 2;
  if (word > 0x3FFFFu) return fail_schedule("send instruction operand");
  return encode_send(count_minus_one, HEADER_SEND_CONTROL, static_cast<std::uint32_t>(word));
}

void append_header(std::vector<std::uint32_t>& words, const HostPacketHeader& header) {
  words.push_back(header.word0);
  words.push_back(header.word1);
}

}  // namespace

Result<TileToHostProgram> assemble_host_xreq_program_for_targets(
    std::span<const std::uint16_t> target_physical_tiles, std::uint32_t packet_address) {
  if (target_physical_tiles.empty() || packet_address % PACKET_ALIGNMENT != 0) {
    return host_packet_error();
  }
  std::uint32_t mask0 = 0;
  std::uint32_t mask1 = 0;
  for (const std::uint16_t target : target_physical_tiles) {
    if (const auto valid = validate_host_tile(target); !valid) return fail(valid.error());
    // The mask has 56 endpoint bits (rows 0 to 27); a later row has no bit to set.
    if (target >= HOST_XREQ_TILE_LIMIT) return host_packet_error();
    const std::uint32_t row = target / 64u;
    const std::uint32_t lane = (target >> 1) & 1u;
    const std::uint32_t index = row * 2u + lane;
    if (index < 24) {
      mask0 |= 1u << index;
    } else {
      mask1 |= 1u << (index - 24u);
    }
  }
  const auto send = send_from(1, packet_address);
  if (!send) return fail(send.error());
  return TileToHostProgram{{*send, RET_WORD}, {mask0, mask1}};
}

Result<TileToHostProgram> assemble_host_xreq_program(std::uint16_t target_physical_tile,
                                                     std::uint32_t packet_address) {
  const std::uint16_t targets[] = {target_physical_tile};
  return assemble_host_xreq_program_for_targets(targets, packet_address);
}

Result<TileToHostProgram> assemble_host_command_read_program(std::uint32_t packet_address,
                                                             std::uint32_t destination_address,
                                                             std::uint32_t host_offset) {
  if (packet_address % PACKET_ALIGNMENT != 0) return host_packet_error();
  const auto header = host_to_tile_packet(0, destination_address, host_offset, 4);
  if (!header) return fail(header.error());
  const auto request_send = send_from(1, packet_address);
  if (!request_send) return fail(request_send.error());
  const auto read_send = send_from(1, std::uint64_t{packet_address} + PACKET_BYTES);
  if (!read_send) return fail(read_send.error());
  const auto reply_send = send_from(0, destination_address);
  if (!reply_send) return fail(reply_send.error());

  TileToHostProgram program;
  program.instructions = {setzi_m(8, COMMAND_READ_TILE_MUX),
                          MUX_SELECT,
                          SYNC_HOST_INSTRUCTION,
                          setzi_m(8, 1),
                          WORD_COUNT,
                          *request_send,
                          *read_send,
                          SYNC_CLOSE};
  append_local_host_completion(program.instructions);
  program.instructions.insert(program.instructions.end(),
                              {SYNC_COMMAND, delay(COMMAND_READ_WAIT), *reply_send, RET_WORD});
  // The request mask names tile 0; the read header follows it.
  program.packet_words = {1, 0};
  append_header(program.packet_words, *header);
  return program;
}

Result<TileToHostProgram> assemble_host_to_tile_target_program(std::uint16_t physical_tile,
                                                               std::uint32_t tile_address,
                                                               std::uint32_t host_offset,
                                                               std::uint32_t bytes,
                                                               std::uint32_t packet_address) {
  const auto chunks = plan_host_to_tile(physical_tile, tile_address, host_offset, bytes);
  if (!chunks) return fail(chunks.error());
  if (packet_address % PACKET_ALIGNMENT != 0) return host_packet_error();
  const auto first_send = send_from(1, packet_address);
  if (!first_send) return fail(first_send.error());

  TileToHostProgram program;
  program.instructions = {setzi_m(8, bytes >> 2), WORD_COUNT, *first_send};
  program.instructions.insert(program.instructions.end(), chunks->size() - 1, CONTINUATION_SEND);
  program.instructions.insert(program.instructions.end(), {SYNC_CLOSE, RET_WORD});
  // Only the last header ends the stream, so the packets land as one copy.
  for (std::size_t i = 0; i < chunks->size(); ++i) {
    HostPacketHeader header = (*chunks)[i].header;
    if (i + 1 < chunks->size()) header.word0 &= ~HOST_TO_TILE_STREAM_END_BITS;
    append_header(program.packet_words, header);
  }
  return program;
}

Result<TileToHostProgram> assemble_tile_to_host_target_program(
    std::uint16_t physical_tile, std::uint32_t tile_address, std::uint32_t host_offset,
    std::uint32_t bytes, std::uint32_t packet_address, std::uint32_t command_address) {
  const auto chunks = plan_tile_to_host(physical_tile, tile_address, host_offset, bytes);
  if (!chunks) return fail(chunks.error());
  if (packet_address % PACKET_ALIGNMENT != 0) return host_packet_error();

  TileToHostProgram program;
  program.packet_words.reserve(2 * chunks->size() + 2);
  for (const auto& chunk : *chunks) append_header(program.packet_words, chunk.header);

  const std::uint64_t close =
      std::uint64_t{packet_address} + std::uint64_t{PACKET_BYTES} * chunks->size();
  if (close > UINT32_MAX) return host_packet_error();
  const auto close_address = static_cast<std::uint32_t>(close);

  const auto close_header = zero_byte_read_packet(physical_tile, command_address);
  if (!close_header) return fail(close_header.error());
  append_header(program.packet_words, *close_header);

  auto instructions = tile_to_host_target_instructions(*chunks, packet_address, close_address);
  if (!instructions) return fail(instructions.error());
  program.instructions = std::move(*instructions);
  return program;
}

Result<std::vector<std::uint32_t>> tile_to_host_target_instructions(
    std::span<const HostTransferChunk> chunks, std::uint32_t packet_address,
    std::uint32_t close_address) {
  if (chunks.empty() || packet_address % PACKET_ALIGNMENT != 0) return host_packet_error();
  std::vector<std::uint32_t> instructions{setzi_m(8, 1), WORD_COUNT};
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const HostTransferChunk& chunk = chunks[i];
    // A chunk outside the tile-to-host packet sizes has no payload send.
    if (chunk.bytes == 0 || chunk.bytes % 4 != 0 || chunk.bytes > TILE_TO_HOST_MAX_BYTES) {
      return host_packet_error();
    }
    const auto header_send = send_from(1, std::uint64_t{packet_address} + PACKET_BYTES * i);
    if (!header_send) return fail(header_send.error());
    const std::uint32_t words = chunk.bytes / 4;
    const auto payload_send = send_from(words - 1, chunk.tile_address);
    if (!payload_send) return fail(payload_send.error());
    instructions.push_back(*header_send);
    instructions.push_back(*payload_send);
    if (words < MINIMUM_PAYLOAD_CYCLES)
      instructions.push_back(delay(MINIMUM_PAYLOAD_CYCLES - 1 - words));
  }
  const auto close_send = send_from(1, close_address);
  if (!close_send) return fail(close_send.error());
  instructions.insert(instructions.end(), {*close_send, SYNC_CLOSE, RET_WORD});
  return instructions;
}

Result<std::vector<std::uint32_t>> wrap_host_operation(std::uint16_t physical_tile,
                                                       std::span<const std::uint32_t> operation,
                                                       std::uint32_t entry_sync) {
  if (operation.empty() || operation.back() != RET_WORD) {
    return fail_schedule("host target operation return");
  }
  const auto mux = host_mux_for_tile(physical_tile);
  if (!mux) return fail(mux.error());
  std::vector<std::uint32_t> wrapped{setzi_m(8, *mux), MUX_SELECT, entry_sync};
  wrapped.insert(wrapped.end(), operation.begin(), operation.end() - 1);
  append_local_host_completion(wrapped);
  wrapped.push_back(RET_WORD);
  return wrapped;
}

Result<std::vector<std::uint32_t>> wrap_host_xreq_operation(
    std::uint16_t physical_tile, std::span<const std::uint32_t> operation) {
  return wrap_host_operation(physical_tile, operation, SYNC_HOST_INSTRUCTION);
}

Result<std::vector<std::uint32_t>> wrap_host_target_operation(
    std::uint16_t physical_tile, std::span<const std::uint32_t> operation) {
  return wrap_host_operation(physical_tile, operation, SYNC_ALL_INSTRUCTION);
}

Result<std::vector<std::uint32_t>> wrap_combined_host_operation(
    std::uint16_t physical_tile, std::span<const std::uint32_t> operation,
    std::uint32_t xreq_packet_address) {
  if (operation.empty() || operation.back() != RET_WORD) {
    return fail_schedule("local host operation return");
  }
  const auto body = operation.first(operation.size() - 1);
  if (body.size() < 2 || xreq_packet_address % PACKET_ALIGNMENT != 0) {
    return fail_schedule("local host operation prefix");
  }
  const auto mux = host_mux_for_tile(physical_tile);
  if (!mux) return fail(mux.error());
  const auto request_send = send_from(1, xreq_packet_address);
  if (!request_send) return fail(request_send.error());
  // The request goes out once the operation's word count is set up.
  std::vector<std::uint32_t> wrapped{setzi_m(8, *mux), MUX_SELECT, SYNC_HOST_INSTRUCTION,
                                     body[0],          body[1],    *request_send};
  wrapped.insert(wrapped.end(), body.begin() + 2, body.end());
  append_local_host_completion(wrapped);
  wrapped.push_back(RET_WORD);
  return wrapped;
}

void append_local_host_completion(std::vector<std::uint32_t>& instructions) {
  instructions.insert(instructions.end(), {SYNC_ALL_INSTRUCTION, RESTORE_MUX, MUX_SELECT});
}

}  // namespace vessik_exchange
