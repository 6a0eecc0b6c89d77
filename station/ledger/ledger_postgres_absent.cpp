// A station built without libpq: a PostgreSQL ledger is refused with a line that says so.
#include "station/ledger/ledger_backend.hpp"

namespace xarveld::station {

const LedgerBackend* const POSTGRES_LEDGER = nullptr;

}  // namespace xarveld::station
