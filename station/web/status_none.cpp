// A build without the HTTP library (the Windows cross-build): --http is refused, and the
// supervisor, seeing no page served, publishes nothing.
#include "station/web/status.hpp"

namespace xarveld::station {

bool status_listen(const std::string&, const std::vector<std::string>&, std::string&,
                   std::string& why) {
  why = "this build has no status page";
  return false;
}

bool status_start(const StatusStation&, std::string& why) {
  why = "this build has no status page";
  return false;
}

bool status_serving() { return false; }
void status_publish(const StatusSnapshot&) {}
void status_event(const StatusEvent&) {}
void status_publish_metrics(const StationMetrics&) {}
void status_stop() {}

}  // namespace xarveld::station
