// Listing of a whole encoded program: every instruction with its word offset, optional byte
// address and cycle interval, rendered whole or as a window around an address.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <ostream>
#include <sstream>
#include <string>

#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"
#include "vessik_exchange/diagnostics.hpp"

namespace vessik_exchange::diagnostic {
namespace {

constexpr std::uint64_t U32_LIMIT = std::numeric_limits<std::uint32_t>::max();

/// Bytes the instruction occupies in the program: a SENDPICP covers two words.
[[nodiscard]] std::uint32_t instruction_bytes(const DecodedPlanInstruction& instruction) {
  const auto* send = instruction.operation.get_if<PlanOperation::Send>();
  return send != nullptr && send->encoding == SendEncoding::PicPair ? 8u : 4u;
}

[[nodiscard]] bool covers(const DecodedPlanInstruction& instruction, std::uint32_t address) {
  if (!instruction.address) return false;
  const std::uint32_t start = *instruction.address;
  return start <= address && address - start < instruction_bytes(instruction);
}

[[nodiscard]] std::size_t window_centre(std::span<const DecodedPlanInstruction> instructions,
                                        std::uint32_t address) {
  const auto covering = std::ranges::find_if(
      instructions, [&](const DecodedPlanInstruction& i) { return covers(i, address); });
  if (covering != instructions.end())
    return static_cast<std::size_t>(covering - instructions.begin());
  // No instruction holds the address: take the first one at or after it, or the last one.
  const auto after = std::ranges::partition_point(
      instructions,
      [&](const DecodedPlanInstruction& i) { return i.address && *i.address < address; });
  const auto index = static_cast<std::size_t>(after - instructions.begin());
  return instructions.empty() ? 0 : std::min(index, instructions.size() - 1);
}

[[nodiscard]] std::size_t saturating_add(std::size_t a, std::size_t b) {
  std::size_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::size_t>::max() : sum;
}

}  // namespace

Result<PlanProgramDiagnostic> diagnose_plan_program(std::span<const std::uint32_t> words,
                                                    std::optional<std::uint32_t> base_address) {
  // Word offsets are 32-bit; a longer program cannot be listed.
  VX_ASSERT(words.size() <= U32_LIMIT);
  PlanProgramDiagnostic listing;
  std::uint32_t clock = 0;
  std::size_t offset = 0;
  while (offset < words.size()) {
    auto decoded = decode_operation(words, offset);
    if (!decoded) return fail(decoded.error());
    const std::uint32_t start = clock;
    const std::uint64_t end = std::uint64_t{clock} + decoded->cycles;
    if (end > U32_LIMIT) return fail_schedule("diagnostic event horizon overflow");
    clock = static_cast<std::uint32_t>(end);
    std::optional<std::uint32_t> address;
    if (base_address) {
      const std::uint64_t byte = std::uint64_t{*base_address} + 4 * std::uint64_t{offset};
      if (byte > U32_LIMIT) return fail_schedule("diagnostic row address overflow");
      address = static_cast<std::uint32_t>(byte);
    }
    auto& entry = listing.instructions.emplace_back();
    entry.word_offset = static_cast<std::uint32_t>(offset);
    entry.address = address;
    entry.start_cycle = start;
    entry.end_cycle = clock;
    entry.operation = std::move(decoded->operation);
    offset += decoded->consumed;
  }
  listing.event_cycles = clock;
  listing.row_words = static_cast<std::uint32_t>(words.size());
  return listing;
}

std::string PlanProgramDiagnostic::render() const {
  std::ostringstream out;
  for (const auto& instruction : instructions) out << instruction << '\n';
  return out.str();
}

std::string PlanProgramDiagnostic::render_around_address(std::uint32_t address,
                                                         std::size_t radius) const {
  const std::size_t centre = window_centre(instructions, address);
  const std::size_t first = centre > radius ? centre - radius : 0;
  const std::size_t last =
      std::min(saturating_add(saturating_add(centre, radius), 1), instructions.size());
  std::ostringstream out;
  for (std::size_t index = first; index < last; ++index)
    out << (index == centre ? '>' : ' ') << ' ' << instructions[index] << '\n';
  return out.str();
}

std::ostream& operator<<(std::ostream& out, const DecodedPlanInstruction& instruction) {
  if (instruction.address) {
    char head[16];
    std::snprintf(head, sizeof head, "0x%05x", static_cast<unsigned>(*instruction.address));
    out << head;
  } else {
    out << "word+" << instruction.word_offset;
  }
  return out << " cycles=" << instruction.start_cycle << ".." << instruction.end_cycle << ' '
             << instruction.operation;
}

std::ostream& operator<<(std::ostream& out, const PlanProgramDiagnostic& diagnostic) {
  debug::Struct(out, "PlanProgramDiagnostic")
      .field("instructions", diagnostic.instructions)
      .field("event_cycles", diagnostic.event_cycles)
      .field("row_words", diagnostic.row_words)
      .finish();
  return out;
}

std::string to_string(const DecodedPlanInstruction& instruction) {
  return debug::stream_to_string(instruction);
}
std::string to_string(const PlanProgramDiagnostic& diagnostic) {
  return debug::stream_to_string(diagnostic);
}

}  // namespace vessik_exchange::diagnostic
