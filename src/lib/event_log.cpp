#include "vessik_exchange/event_log.hpp"

#include <ostream>

#include "common/debug_format.hpp"

namespace vessik_exchange {
namespace {
std::atomic<EventSink*> g_sink{nullptr};
}  // namespace

const EventField* Event::field(std::string_view name) const {
  for (const auto& f : fields)
    if (f.name == name) return &f;
  return nullptr;
}

std::ostream& operator<<(std::ostream& out, const EventField& field) {
  out << "EventField { name: ";
  debug::write(out, field.name);
  out << ", value: ";
  std::visit([&out](const auto& value) { debug::write(out, value); }, field.value);
  return out << " }";
}

std::ostream& operator<<(std::ostream& out, const Event& event) {
  debug::Struct(out, "Event")
      .field("target", event.target)
      .field("message", event.message)
      .field("fields", event.fields)
      .finish();
  return out;
}

std::string to_string(const EventField& field) {
  return debug::stream_to_string(field);
}
std::string to_string(const Event& event) {
  return debug::stream_to_string(event);
}

EventSink* install_event_sink(EventSink* sink) {
  return g_sink.exchange(sink);
}

EventSink* installed_event_sink() {
  return g_sink.load(std::memory_order_acquire);
}

}  // namespace vessik_exchange
