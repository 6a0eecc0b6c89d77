// The ledger's file backend where the build has no SQLite (the Windows build): every call is a
// refusal that says so, and the station runs without serial numbers.
#include "station/ledger/ledger_backend.hpp"

namespace xarveld::station {

namespace {

LedgerStatus no_ledger(std::string& error) {
  error = "this build of the station has no ledger";
  return LedgerStatus::Refused;
}

LedgerStatus open_none(const std::string&, const LedgerStation&, LedgerAccess,
                       std::string& error) {
  return no_ledger(error);
}
LedgerStatus define_none(const SerialPool&, std::string& error) { return no_ledger(error); }
LedgerStatus reserve_none(const LedgerReservation&, std::uint64_t&, std::vector<LapsedNumber>&,
                          std::string& error) {
  return no_ledger(error);
}
LedgerStatus settle_none(const std::string&, std::uint64_t, const std::string&, SerialState,
                         const LedgerAttemptRow*, std::string& error) {
  return no_ledger(error);
}
LedgerStatus record_none(const LedgerAttemptRow&, std::string& error) { return no_ledger(error); }
LedgerStatus renew_none(std::string& error) { return no_ledger(error); }
LedgerStatus left_none(const std::string&, std::uint64_t&, std::string& error) {
  return no_ledger(error);
}
LedgerStatus report_none(std::vector<PoolReport>&, const SerialUseSink*, std::string& error) {
  return no_ledger(error);
}
LedgerStatus yield_none(YieldBy, std::int64_t, std::int64_t, std::vector<YieldRow>&,
                        std::string& error) {
  return no_ledger(error);
}
LedgerStatus pareto_none(std::int64_t, std::vector<ParetoRow>&, std::string& error) {
  return no_ledger(error);
}
void close_none() {}
LedgerStatus line_none(std::int64_t, LineView&, std::string& error) { return no_ledger(error); }

}  // namespace

const LedgerBackend SQLITE_LEDGER = {open_none,   define_none, reserve_none, settle_none,
                                     record_none, renew_none,  left_none,    report_none,
                                     yield_none,  pareto_none, close_none,
                                     line_none};

}  // namespace xarveld::station
