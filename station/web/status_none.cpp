// A build without the HTTP library (the Windows cross-build): --http is refused, and the
// supervisor, seeing no page served, publishes nothing.
#include "station/web/status.hpp"

namespace xarveld::station {

int status_listen(const std::string&, std::string&, std::string& why) {
  why = "this build has no status page";
  return 0;
}

int status_start(const StatusStation&, std::string& why) {
  why = "this build has no status page";
  return 0;
}

bool status_serving() { return false; }
void status_publish(const StatusSnapshot&) {}
void status_event(const StatusEvent&) {}
void status_stop() {}

}  // namespace xarveld::station
