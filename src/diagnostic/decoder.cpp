// Decoding of exchange program words back into typed operations, and their text forms.
#include <ostream>
#include <string>
#include <variant>

#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"
#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/exchange_words.hpp"

namespace vessik_exchange::diagnostic {
namespace {

constexpr std::uint32_t BASE_WRITE_DURATION = 13;
constexpr std::uint32_t SPECIAL_INCOMING_BASE = 0xA4;

[[nodiscard]] constexpr std::uint8_t register_field(std::uint32_t w) {
  return static_cast<std::uint8_t>((w >> 20) & 0xFu);
}

[[nodiscard]] constexpr std::uint32_t short_send_count(std::uint32_t w) {
  return ((w >> 21) & 0x3Fu) + 1;
}

[[nodiscard]] DecodedOperation single(PlanOperation::Variant operation, std::uint32_t cycles) {
  return DecodedOperation{PlanOperation(std::move(operation)), cycles, 1};
}

[[nodiscard]] DecodedOperation send(SendEncoding encoding, std::uint32_t count,
                                    std::uint32_t raw_operand,
                                    std::optional<std::uint8_t> send_control,
                                    std::vector<IncomingControl> controls, std::size_t consumed) {
  return DecodedOperation{PlanOperation(PlanOperation::Send{encoding, count, raw_operand,
                                                            send_control, std::move(controls)}),
                          count, consumed};
}

[[nodiscard]] constexpr std::uint8_t send_control_field(std::uint32_t w) {
  return static_cast<std::uint8_t>(w & 7u);
}

}  // namespace

Result<DecodedOperation> decode_operation(std::span<const std::uint32_t> words,
                                          std::size_t offset) {
  VX_ASSERT(offset < words.size());
  const std::uint32_t w = words[offset];

  if (w == RET_WORD) return single(PlanOperation::Return{}, 0);
  if (is_delay(w)) return single(PlanOperation::Delay{}, (w & 0x7FFFFu) + 1);
  if ((w & 0xFF000000u) == 0x19000000u)
    return single(PlanOperation::SetImmediate{register_field(w), w & 0xFFFFFu}, 1);
  if (is_base_write(w)) {
    const bool incoming = (w & 0xFFu) == SPECIAL_INCOMING_BASE;
    return single(PlanOperation::WriteBase{incoming, register_field(w)}, BASE_WRITE_DURATION);
  }
  if (is_delay_pic(w))
    return single(IncomingControl{IncomingControlStream::Pic, w & 0x7FFFFu},
                  ((w >> 19) & 0x7Fu) + 1);
  if (is_delay_xpic(w))
    return single(IncomingControl{IncomingControlStream::Xpic, w & 0x3FFFu},
                  ((w >> 14) & 0xFFFu) + 1);
  if (is_send_control_pair(w)) {
    if (offset + 1 >= words.size()) return fail_schedule("truncated SENDPICP payload");
    const std::uint32_t second = words[offset + 1];
    // The second word has no room for the PIC selector; the first word carries it in bit 27.
    const std::uint32_t pic = ((w >> 27) & 1u) << 18 | (second & 0x3FFFFu);
    return send(SendEncoding::PicPair, short_send_count(w), (w >> 3) & 0x3FFFFu,
                send_control_field(w),
                {IncomingControl{IncomingControlStream::Xpic, second >> 18},
                 IncomingControl{IncomingControlStream::Pic, pic}},
                2);
  }
  if (is_send_control(w)) {
    const std::uint32_t selector = (w >> 18) & 3u;
    const IncomingControl control =
        selector < 2
            ? IncomingControl{IncomingControlStream::Xpic, selector << 13 | (w & 0x1FFFu)}
            : IncomingControl{IncomingControlStream::Pic, (selector - 2) << 18 | (w & 0x3FFFFu)};
    return send(SendEncoding::Pic, short_send_count(w), w & 0x3FFFFu, std::nullopt, {control}, 1);
  }
  if (is_send(w))
    return send(SendEncoding::Explicit, short_send_count(w), (w >> 3) & 0x3FFFFu,
                send_control_field(w), {}, 1);
  if (is_send_off(w)) {
    const std::uint32_t count = (((w >> 14) & 0x3Fu) << 6 | ((w >> 21) & 0x3Fu)) + 1;
    return send(SendEncoding::Offset, count, (w >> 3) & 0x7FFu, send_control_field(w), {}, 1);
  }
  if ((w & 0xFFFFFF00u) == 0x41800000u)
    return single(PlanOperation::Sync{static_cast<std::uint8_t>(w & 0xFFu)}, 0);
  return single(PlanOperation::Unknown{w}, 0);
}

std::ostream& operator<<(std::ostream& out, IncomingControlStream stream) {
  switch (stream) {
    case IncomingControlStream::Pic:
      return out << "Pic";
    case IncomingControlStream::Xpic:
      return out << "Xpic";
  }
  VX_ASSERT(false);
  return out;
}

std::ostream& operator<<(std::ostream& out, const IncomingControl& control) {
  debug::Struct(out, "IncomingControl")
      .field("stream", control.stream)
      .field("value", control.value)
      .finish();
  return out;
}

std::ostream& operator<<(std::ostream& out, SendEncoding encoding) {
  switch (encoding) {
    case SendEncoding::Explicit:
      return out << "Explicit";
    case SendEncoding::Offset:
      return out << "Offset";
    case SendEncoding::Pic:
      return out << "Pic";
    case SendEncoding::PicPair:
      return out << "PicPair";
  }
  VX_ASSERT(false);
  return out;
}

namespace {

struct OperationWriter {
  std::ostream& out;
  void operator()(const PlanOperation::Delay&) const { out << "Delay"; }
  void operator()(const PlanOperation::SetImmediate& op) const {
    debug::Struct(out, "SetImmediate")
        .field("register", op.register_)
        .field("value", op.value)
        .finish();
  }
  void operator()(const PlanOperation::WriteBase& op) const {
    debug::Struct(out, "WriteBase")
        .field("incoming", op.incoming)
        .field("register", op.register_)
        .finish();
  }
  void operator()(const IncomingControl& control) const {
    out << "IncomingControl(" << control << ')';
  }
  void operator()(const PlanOperation::Send& op) const {
    debug::Struct(out, "Send")
        .field("encoding", op.encoding)
        .field("words", op.words)
        .field("raw_operand", op.raw_operand)
        .field("send_control", op.send_control)
        .field("controls", op.controls)
        .finish();
  }
  void operator()(const PlanOperation::Sync& op) const {
    out << "Sync(" << static_cast<unsigned>(op.operand) << ')';
  }
  void operator()(const PlanOperation::Return&) const { out << "Return"; }
  void operator()(const PlanOperation::Unknown& op) const { out << "Unknown(" << op.word << ')'; }
};

}  // namespace

std::ostream& operator<<(std::ostream& out, const PlanOperation& operation) {
  std::visit(OperationWriter{out}, operation.value());
  return out;
}

std::ostream& operator<<(std::ostream& out, const DecodedOperation& decoded) {
  debug::Struct(out, "DecodedOperation")
      .field("operation", decoded.operation)
      .field("cycles", decoded.cycles)
      .field("consumed", decoded.consumed)
      .finish();
  return out;
}

std::string to_string(IncomingControlStream stream) {
  return debug::stream_to_string(stream);
}
std::string to_string(const IncomingControl& control) {
  return debug::stream_to_string(control);
}
std::string to_string(SendEncoding encoding) {
  return debug::stream_to_string(encoding);
}
std::string to_string(const PlanOperation& operation) {
  return debug::stream_to_string(operation);
}
std::string to_string(const DecodedOperation& decoded) {
  return debug::stream_to_string(decoded);
}

}  // namespace vessik_exchange::diagnostic
