// Process-wide structured event logger. The library reports a few debug events (plan assembly,
// validation mismatches); with no sink installed nothing is recorded and no field is formatted.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace vessik_exchange {

/// One named field of an event: a number or a text.
struct EventField {
  std::string name;
  std::variant<std::uint64_t, std::int64_t, std::string> value;
  bool operator==(const EventField&) const = default;
};

/// One debug-level event.
struct Event {
  std::string target;
  std::string message;
  std::vector<EventField> fields;

  /// The field called `name`, or null.
  [[nodiscard]] const EventField* field(std::string_view name) const;
};

/// Debug rendering: `EventField { name: "tile", value: 3 }` (texts quoted).
[[nodiscard]] std::string to_string(const EventField& field);
/// Debug rendering: `Event { target: "...", message: "...", fields: [...] }`.
[[nodiscard]] std::string to_string(const Event& event);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const EventField& field);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const Event& event);

/// Receiver of events; installed process-wide.
class EventSink {
 public:
  virtual ~EventSink() = default;
  /// Called once per event, possibly from several threads at once.
  virtual void record(const Event& event) = 0;
};

/// Installs `sink` (null removes it) and returns the previous sink; the caller keeps ownership.
EventSink* install_event_sink(EventSink* sink);
/// The sink installed now, or null.
[[nodiscard]] EventSink* installed_event_sink();

/// Sends a debug event; `make_fields` runs only when a sink is installed.
template <typename MakeFields>
void debug_event(std::string_view target, std::string_view message, MakeFields&& make_fields) {
  EventSink* sink = installed_event_sink();
  if (sink == nullptr) return;
  Event event{std::string(target), std::string(message), std::forward<MakeFields>(make_fields)()};
  sink->record(event);
}

/// A sink that keeps the events raised on the thread that created it, installed for its
/// lifetime; meant for tests.
class CapturingEventSink final : public EventSink {
 public:
  CapturingEventSink() : previous_(install_event_sink(this)) {}
  ~CapturingEventSink() override { install_event_sink(previous_); }
  CapturingEventSink(const CapturingEventSink&) = delete;
  CapturingEventSink& operator=(const CapturingEventSink&) = delete;

  void record(const Event& event) override {
    if (std::this_thread::get_id() == owner_) {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    } else if (previous_ != nullptr) {
      previous_->record(event);
    }
  }
  /// Events captured so far.
  [[nodiscard]] std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::thread::id owner_ = std::this_thread::get_id();
  EventSink* previous_;
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace vessik_exchange
