#pragma once
// The ledger's tables, one text for both databases (the SQL both understand), and its version.
// A later station migrates an older schema step by step; a newer one it refuses to touch.
#include <vector>

#include "station/ledger/ledger.hpp"

namespace xarveld::station {

constexpr int LEDGER_SCHEMA_VERSION = 1;

// The statements that create version 1 in an empty database, in order. Each is idempotent
// (CREATE ... IF NOT EXISTS); the backend records the version in the same transaction.
extern const std::vector<const char*> LEDGER_SCHEMA_V1;

}  // namespace xarveld::station
