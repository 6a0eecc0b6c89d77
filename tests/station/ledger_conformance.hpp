#pragma once
// The ledger's conformance cases, the same for every backend. A backend's test file instantiates
// them with a fresh empty ledger per case and a way to reach the database beside the station.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "station/ledger/ledger.hpp"

namespace xarveld::station {

struct LedgerUnderTest {
  std::string name;
  // The location of a new, empty ledger.
  std::function<std::string()> fresh_location;
  // Runs one SQL statement on the ledger at a location through a connection of its own; gives
  // the first column of its first row, "" when there is none.
  std::function<std::string(const std::string& location, const std::string& sql)> query;
  // An SQL expression for now in Unix milliseconds by the clock the backend judges leases with:
  // the station's own on a file, the server's on a server.
  std::string now_unix_ms_sql;
};

inline void PrintTo(const LedgerUnderTest& ledger, std::ostream* out) { *out << ledger.name; }

class LedgerConformance : public testing::TestWithParam<LedgerUnderTest> {
 protected:
  void TearDown() override { ledger_close(); }
};

}  // namespace xarveld::station
