#pragma once
// A read-only page of another program than the station (xarveld-line): one self-contained
// document at /, and the JSON it shows at one path, replaced whole whenever the program has a
// newer one. The station's page's rules hold: GET and HEAD only, Host names this server or is
// answered 421, the page's own script and style alone may run, the library's limits on
// connections. A request only copies the newest JSON under a lock: it never waits on the
// program, nor the program on it. One source file per build: with the HTTP library, or without.
#include <string>
#include <vector>

namespace xarveld::station {

// As status_listen: ADDRESS:PORT checked and listened on before anything starts. The page's URL,
// or false with why (one line).
[[nodiscard]] bool page_server_listen(const std::string& address,
                                      const std::vector<std::string>& names, std::string& url,
                                      std::string& why);

// Serves page at / and, once published, the JSON at json_path ("/line.json"). False with why.
[[nodiscard]] bool page_server_start(const std::string& page, const std::string& json_path,
                                     std::string& why);

// What json_path serves from now on.
void page_server_publish(std::string json);

void page_server_stop();

}  // namespace xarveld::station
