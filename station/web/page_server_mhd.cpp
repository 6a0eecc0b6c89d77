// The read-only page of another program on GNU libmicrohttpd, one thread of the library's own
// polling every connection. No streams: the page asks for its JSON once a second, and each
// request is answered from a copy kept under a lock, so its work is bounded and nothing a
// viewer does reaches the program's own loop.
#include <microhttpd.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "station/web/http_socket.hpp"
#include "station/web/page_server.hpp"
#include "station/web/status_address.hpp"

namespace xarveld::station {

namespace {

struct PageServer {
  HttpListener listener;
  MHD_Daemon* daemon = nullptr;
  std::string page;
  std::string json_path;
  std::string security_policy;
  std::mutex lock;
  std::string json = "{}\n";  // what json_path serves
};

// Never destroyed, so that nothing is torn down under the library's thread at exit.
PageServer& server = *new PageServer;

MHD_Result answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* type) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy", server.security_policy.c_str());
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, "Allow", "GET, HEAD");
  }
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result serve(void*, MHD_Connection* connection, const char* url, const char* method,
                 const char*, const char*, std::size_t*, void**) {
  // Without Host (HTTP/1.0) no name was looked up: nothing was rebound.
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
  if (host != nullptr && (*host == '\0' || !host_acceptable(server.listener.hosts, host))) {
    return answer(connection, MHD_HTTP_MISDIRECTED_REQUEST,
                  "misdirected: this page does not answer to that name (see --http-name)\n",
                  "text/plain; charset=utf-8");
  }
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
    return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "read-only: GET and HEAD only\n",
                  "text/plain; charset=utf-8");
  }
  if (std::strcmp(url, "/") == 0) {
    return answer(connection, MHD_HTTP_OK, server.page, "text/html; charset=utf-8");
  }
  if (url == server.json_path) {
    std::string body;
    {
      std::lock_guard<std::mutex> held(server.lock);
      body = server.json;
    }
    return answer(connection, MHD_HTTP_OK, body, "application/json");
  }
  return answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
}

}  // namespace

bool page_server_listen(const std::string& address, const std::vector<std::string>& names,
                        std::string& url, std::string& why) {
  if (!http_listen(address, names, server.listener, why)) return false;
  url = server.listener.url;
  return true;
}

bool page_server_start(const std::string& page, const std::string& json_path,
                       std::string& why) {
  if (server.listener.fd < 0) {
    why = "no address to serve on";
    return false;
  }
  server.page = page;
  server.json_path = json_path;
  if (!page_security_policy(server.page, server.security_policy, why)) return false;
  // The library's threads take no signal: the program's own go to its loop.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  server.daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr, &serve, nullptr,
      MHD_OPTION_LISTEN_SOCKET, server.listener.fd, MHD_OPTION_CONNECTION_LIMIT,
      http_connection_limit(), MHD_OPTION_PER_IP_CONNECTION_LIMIT, ADDRESS_LIMIT,
      MHD_OPTION_CONNECTION_TIMEOUT, CONNECTION_TIMEOUT_SECONDS, MHD_OPTION_END);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (server.daemon == nullptr) {
    why = "the page could not start";
    return false;
  }
  return true;
}

void page_server_publish(std::string json) {
  std::lock_guard<std::mutex> held(server.lock);
  server.json = std::move(json);
}

void page_server_stop() {
  if (server.daemon == nullptr) return;
  MHD_stop_daemon(server.daemon);
  server.daemon = nullptr;
  close(server.listener.fd);
  server.listener.fd = -1;
}

}  // namespace xarveld::station
