#pragma once
// The ledger's tables, one text for both databases (the SQL both understand), and its version.
// A later station migrates an older schema step by step; a newer one it refuses to touch.
#include <vector>

#include "station/ledger/ledger.hpp"

namespace xarveld::station {

constexpr int LEDGER_SCHEMA_VERSION = 3;

// The statements that create version 1 in an empty database, in order. Each is idempotent
// (CREATE ... IF NOT EXISTS); the backend records the version in the same transaction. A new
// ledger is made as version 1 and migrated from there, so that every ledger went the same way.
extern const std::vector<const char*> LEDGER_SCHEMA_V1;

// LEDGER_MIGRATIONS[i] takes version i + 1 to version i + 2, in the open's transaction; the
// backend records each version reached in the same transaction.
extern const std::vector<std::vector<const char*>> LEDGER_MIGRATIONS;

}  // namespace xarveld::station
