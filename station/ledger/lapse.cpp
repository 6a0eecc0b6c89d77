#include "station/ledger/ledger_backend.hpp"
#include "station/os/host.hpp"

namespace xarveld::station {

bool holder_lapsed(const LeaseHolder& holder, const std::string& this_machine) {
  if (!holder.has_row || holder.ended) return true;
  if (!this_machine.empty() && holder.machine == this_machine) {
    return process_ended(holder.pid, holder.process_start);
  }
  return holder.lease_run_out;
}

LedgerStation with_identity(const LedgerStation& station) {
  LedgerStation filled = station;
  if (filled.machine.empty()) filled.machine = machine_identity();
  if (filled.process_start == 0) filled.process_start = process_start_time(filled.pid);
  return filled;
}

}  // namespace xarveld::station
