// The ledger's conformance cases against PostgreSQL: a new database for every case, on one
// throwaway server per test process. Without the server installed there is nothing to run.
#include "tests/station/ledger_conformance.hpp"
#include "tests/support/postgres_server.hpp"

namespace xarveld::station {
namespace {

// A new ledger in a new database.
std::string fresh_postgres_location() {
  std::string why;
  std::string location = test::postgres_fresh_location(why);
  if (location.empty()) ADD_FAILURE() << "no PostgreSQL database for the case: " << why;
  if (ledger_open(location, LedgerStation{}, LedgerAccess::Create, why) != LedgerStatus::Ok) {
    ADD_FAILURE() << "cannot make the case's ledger: " << why;
  }
  ledger_close();
  return location;
}

std::vector<LedgerUnderTest> postgres_if_installed() {
  if (test::postgres_binaries().empty()) return {};
  return {LedgerUnderTest{"PostgreSQL", fresh_postgres_location, test::postgres_value,
                          "(EXTRACT(EPOCH FROM clock_timestamp()) * 1000)::BIGINT"}};
}

INSTANTIATE_TEST_SUITE_P(PostgreSQL, LedgerConformance,
                         testing::ValuesIn(postgres_if_installed()),
                         [](const auto& instance) { return instance.param.name; });

}  // namespace
}  // namespace xarveld::station
