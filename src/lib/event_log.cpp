#include "vessik_exchange/event_log.hpp"

namespace vessik_exchange {
namespace {
std::atomic<EventSink*> g_sink{nullptr};
}  // namespace

const EventField* Event::field(std::string_view name) const {
  for (const auto& f : fields)
    if (f.name == name) return &f;
  return nullptr;
}

EventSink* install_event_sink(EventSink* sink) {
  return g_sink.exchange(sink);
}

EventSink* installed_event_sink() {
  return g_sink.load(std::memory_order_acquire);
}

}  // namespace vessik_exchange
