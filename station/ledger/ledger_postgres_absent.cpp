// Built where libpq was not found (the Windows cross-build): no PostgreSQL ledger.
#include "station/ledger/ledger_backend.hpp"

const xarveld::station::LedgerBackend* const xarveld::station::POSTGRES_LEDGER = nullptr;
