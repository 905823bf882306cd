#include "vessik_exchange/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include "vessik_exchange/assert.hpp"

namespace vessik_exchange {
namespace {

struct Renderer {
  std::ostream& out;
  void operator()(const ExchangeError::ValidationBudgetExceeded&) const {
    out << "ValidationBudgetExceeded";
  }
  void operator()(const ExchangeError::Tile& e) const { out << "Tile(" << e.tile << ')'; }
  void operator()(const ExchangeError::DuplicateTile&) const { out << "DuplicateTile"; }
  void operator()(const ExchangeError::Count& e) const { out << "Count(" << e.count << ')'; }
  void operator()(const ExchangeError::ReceiverSet&) const { out << "ReceiverSet"; }
  void operator()(const ExchangeError::Schedule& e) const {
    out << "Schedule(\"" << e.message << "\")";
  }
  void operator()(const ExchangeError::PlanOffsetRange& e) const {
    out << "PlanOffsetRange { cycles: " << e.cycles << ", maximum: " << e.maximum << " }";
  }
  void operator()(const ExchangeError::Address& e) const { out << "Address(" << e.address << ')'; }
  void operator()(const ExchangeError::HostPacket&) const { out << "HostPacket"; }
};

}  // namespace

std::ostream& operator<<(std::ostream& out, const ExchangeError& error) {
  std::visit(Renderer{out}, error.value());
  return out;
}

std::string to_string(const ExchangeError& error) {
  std::ostringstream out;
  out << error;
  return out.str();
}

void contract_violation(const char* condition, std::source_location where) {
  std::fprintf(stderr, "vessik_exchange: contract violated: %s at %s:%u\n", condition,
               where.file_name(), static_cast<unsigned>(where.line()));
  std::abort();
}

}  // namespace vessik_exchange
