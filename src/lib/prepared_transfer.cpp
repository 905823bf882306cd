// Text form of a prepared transfer. Kept apart from the row analyses: it renders the borrowed
// plan through the plan's own text form.
#include <ostream>

#include "common/debug_format.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"

namespace vessik_exchange {

std::ostream& operator<<(std::ostream& out, const PreparedTransfer& transfer) {
  debug::Struct(out, "PreparedTransfer")
      .field("rows", transfer.rows.get())
      .field("sender", transfer.sender)
      .field("receivers", transfer.receivers)
      .finish();
  return out;
}

std::string to_string(const PreparedTransfer& transfer) {
  return debug::stream_to_string(transfer);
}

}  // namespace vessik_exchange
