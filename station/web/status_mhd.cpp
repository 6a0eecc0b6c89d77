// The status page on GNU libmicrohttpd: one thread of its own polls every connection (epoll), so
// a hundred viewers on /events cost a hundred sockets, not a hundred threads. An /events stream
// with nothing to send is suspended; a second thread of ours, the pump, gathers what the station
// published, at most 10 times a second, appends it to each viewer's queue and resumes those
// waiting. The page's own stream (/events?view=page) gets no events: once a second, a summary of
// what changed for it. The station's loop only copies under the lock: it never calls into the
// library, and a viewer that does not keep up loses its stream, never holds anything up.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/os/sha256.hpp"
#include "station/web/status.hpp"
#include "station/web/status_json.hpp"
#include "station/web/status_summary.hpp"

namespace xarveld::station {

extern const char* const STATUS_PAGE_HTML;  // station/web/page.html, embedded at build time

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds FLUSH_INTERVAL{100};  // events reach the viewers at most 10 times a second
constexpr milliseconds SNAPSHOT_INTERVAL{1000};
constexpr milliseconds HEARTBEAT_INTERVAL{5000};  // the page calls the station lost after 12 s
constexpr milliseconds PAGE_SUMMARY_INTERVAL{1000};  // the page's own stream, /events?view=page
constexpr std::size_t CLIENT_QUEUE_LIMIT = 256 * 1024;  // past this a viewer is dropped
constexpr std::size_t REPLAY_EVENTS = 512;  // kept for a viewer that comes back (Last-Event-ID)
constexpr unsigned CONNECTION_LIMIT = 256;
constexpr unsigned CONNECTION_TIMEOUT_SECONDS = 30;  // an idle request, not a stream

struct Client {
  MHD_Connection* connection = nullptr;
  std::string queued;      // SSE text not yet taken by the library
  bool suspended = false;  // waits for the pump to resume it
  bool dropped = false;    // fell behind: its stream ends with an error
  bool page = false;       // the page's own stream: summaries only
  PageViewer viewer;       // with page: what it has been sent
};

struct Server {
  int listen_fd = -1;
  std::string url;
  MHD_Daemon* daemon = nullptr;
  std::thread* pump = nullptr;
  std::string page;
  std::string security_policy;

  std::mutex lock;
  std::condition_variable wake;      // the pump: something was published, or stop
  std::condition_variable all_gone;  // status_stop: the last stream has ended
  StatusStation station;
  StatusSnapshot snapshot;
  std::deque<StatusEvent> failures;  // the last failed attempts' results, newest first
  std::string snapshot_json;  // what /status serves
  bool snapshot_changed = false;
  std::string events_text;  // published since the pump last ran
  std::deque<std::pair<std::uint64_t, std::string>> replay;
  std::uint64_t seq = 0;
  std::uint64_t pumped_seq = 0;  // the last event the pump has handed to the streams
  std::list<Client> clients;
  bool stopping = false;
  Clock::time_point page_summarized;  // when the page's streams were last given their summaries
};

// The one page a station serves; never destroyed, so that nothing is torn down under the
// library's thread at exit.
Server& server = *new Server;

std::string sse_data(const std::string& json) { return "data: " + json + "\n\n"; }

std::string sse_event(std::uint64_t seq, const std::string& json) {
  return "id: " + std::to_string(seq) + "\n" + sse_data(json);
}

// Appends text to a stream; one that cannot take it is dropped. Under the lock.
void queue_for(Client& client, const std::string& text) {
  if (client.dropped) return;
  if (client.queued.size() + text.size() > CLIENT_QUEUE_LIMIT) {
    client.dropped = true;
    client.queued.clear();
    return;
  }
  client.queued += text;
}

// Appends text to every stream but the page's own. Under the lock.
void queue_for_all(const std::string& text) {
  for (Client& client : server.clients) {
    if (!client.page) queue_for(client, text);
  }
}

// The page's streams: what changed for each, at most every PAGE_SUMMARY_INTERVAL, from one
// state computed for all of them; everything left when stopping. Under the lock.
void pump_page(Clock::time_point now) {
  if (!server.stopping && now - server.page_summarized < PAGE_SUMMARY_INTERVAL) return;
  server.page_summarized = now;
  bool any = std::any_of(server.clients.begin(), server.clients.end(),
                         [](const Client& client) { return client.page; });
  if (!any) return;
  PageState state = page_state(server.snapshot, server.failures);
  std::int64_t unix_ms = std::chrono::duration_cast<milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch()).count();
  for (Client& client : server.clients) {
    if (!client.page || client.dropped) continue;
    std::string json = page_summary(state, client.viewer, now, unix_ms);
    if (!json.empty()) queue_for(client, sse_data(json));
  }
}

// When the page's streams are next due: the pump wakes for them even when nothing was
// published, so that a quiet station still tells them it lives. Under the lock.
Clock::time_point page_due() {
  bool any = std::any_of(server.clients.begin(), server.clients.end(),
                         [](const Client& client) { return client.page; });
  return any ? server.page_summarized + PAGE_SUMMARY_INTERVAL : Clock::time_point::max();
}

// The pump: events at most every FLUSH_INTERVAL, the snapshot at most every SNAPSHOT_INTERVAL and
// at least every HEARTBEAT_INTERVAL (with a comment), so that a page can tell a quiet station
// from a lost one; then the waiting streams are resumed, outside the lock.
void pump_run() {
  Clock::time_point last_snapshot = Clock::now();
  Clock::time_point last_heartbeat = last_snapshot;
  std::vector<MHD_Connection*> resume;
  std::unique_lock<std::mutex> held(server.lock);
  for (;;) {
    Clock::time_point now = Clock::now();
    bool heartbeat = now - last_heartbeat >= HEARTBEAT_INTERVAL;
    if (!server.events_text.empty()) {
      queue_for_all(server.events_text);
      server.events_text.clear();
      server.pumped_seq = server.seq;
    }
    if (heartbeat || server.stopping ||
        (server.snapshot_changed && now - last_snapshot >= SNAPSHOT_INTERVAL)) {
      queue_for_all((heartbeat ? std::string(": heartbeat\n\n") : std::string()) +
                    sse_data(server.snapshot_json));
      server.snapshot_changed = false;
      last_snapshot = now;
      if (heartbeat) last_heartbeat = now;
    }
    pump_page(now);
    for (Client& client : server.clients) {
      if (client.suspended && (!client.queued.empty() || client.dropped || server.stopping)) {
        client.suspended = false;
        resume.push_back(client.connection);
      }
    }
    bool stopping = server.stopping;
    held.unlock();
    // Still suspended until resumed here, so none of these connections can have gone.
    for (MHD_Connection* connection : resume) MHD_resume_connection(connection);
    resume.clear();
    if (stopping) return;
    std::this_thread::sleep_for(FLUSH_INTERVAL);
    held.lock();
    Clock::time_point until = std::min(last_heartbeat + HEARTBEAT_INTERVAL, page_due());
    server.wake.wait_until(held, until, [] {
      return server.stopping || !server.events_text.empty() || server.snapshot_changed;
    });
  }
}

ssize_t stream_read(void* cls, std::uint64_t, char* buffer, std::size_t max) {
  auto* client = static_cast<Client*>(cls);
  std::lock_guard<std::mutex> held(server.lock);
  if (client->dropped) return MHD_CONTENT_READER_END_WITH_ERROR;
  if (!client->queued.empty()) {
    std::size_t size = std::min(max, client->queued.size());
    std::memcpy(buffer, client->queued.data(), size);
    client->queued.erase(0, size);
    return static_cast<ssize_t>(size);
  }
  if (server.stopping) return MHD_CONTENT_READER_END_OF_STREAM;
  // Suspended under the lock, so the pump resumes it only once it is.
  client->suspended = true;
  MHD_suspend_connection(client->connection);
  return 0;
}

void stream_free(void* cls) {
  auto* client = static_cast<Client*>(cls);
  std::lock_guard<std::mutex> held(server.lock);
  server.clients.remove_if([client](const Client& c) { return &c == client; });
  if (server.clients.empty()) server.all_gone.notify_all();
}

void add_headers(MHD_Response* response, const char* type) {
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy", server.security_policy.c_str());
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
}

MHD_Result answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* type) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  add_headers(response, type);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, "Allow", "GET, HEAD");
  }
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

// What the page's own stream starts with: how soon to come back and the snapshot, no replay; the
// summaries go on from it. Under the lock.
std::string page_opening(Client& client) {
  client.page = true;
  client.viewer = page_viewer(page_state(server.snapshot, server.failures), Clock::now());
  return "retry: 2000\n\n" + sse_data(server.snapshot_json);
}

// What a stream starts with: how soon to come back, the events after Last-Event-ID when they are
// still kept, then the snapshot. Under the lock.
std::string stream_opening(MHD_Connection* connection) {
  std::string text = "retry: 2000\n\n";
  const char* last = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Last-Event-ID");
  if (last != nullptr && *last != '\0' && std::strlen(last) < 20 &&
      std::all_of(last, last + std::strlen(last), [](char c) { return c >= '0' && c <= '9'; })) {
    std::uint64_t after = std::stoull(last);
    for (const auto& [seq, json] : server.replay) {
      // Those not yet pumped come with the others, from the pump.
      if (seq > after && seq <= server.pumped_seq) text += sse_event(seq, json);
    }
  }
  return text + sse_data(server.snapshot_json);
}

MHD_Result serve_events(MHD_Connection* connection, bool head) {
  if (head) return answer(connection, MHD_HTTP_OK, "", "text/event-stream");
  Client* client = nullptr;
  {
    std::lock_guard<std::mutex> held(server.lock);
    if (!server.stopping) {
      server.clients.emplace_back();
      client = &server.clients.back();
      client->connection = connection;
      const char* view =
          MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "view");
      bool page = view != nullptr && std::strcmp(view, "page") == 0;
      client->queued = page ? page_opening(*client) : stream_opening(connection);
    }
  }
  if (client == nullptr) {
    return answer(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "ended\n", "text/plain");
  }
  MHD_Response* response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, stream_read, client, stream_free);
  if (response == nullptr) {
    stream_free(client);
    return MHD_NO;
  }
  add_headers(response, "text/event-stream; charset=utf-8");
  MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result serve(void*, MHD_Connection* connection, const char* url, const char* method,
                 const char*, const char*, std::size_t*, void**) {
  // Answered on the first call, with the headers: a body, which no request here may have, is
  // never read.
  bool head = std::strcmp(method, "HEAD") == 0;
  if (!head && std::strcmp(method, "GET") != 0) {
    return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "read-only: GET and HEAD only\n",
                  "text/plain; charset=utf-8");
  }
  std::string path = url;
  if (path == "/") return answer(connection, MHD_HTTP_OK, server.page, "text/html; charset=utf-8");
  if (path == "/status") {
    std::string body;
    {
      std::lock_guard<std::mutex> held(server.lock);
      body = server.snapshot_json + "\n";
    }
    return answer(connection, MHD_HTTP_OK, body, "application/json");
  }
  if (path == "/events") return serve_events(connection, head);
  return answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
}

std::string base64(const std::string& bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    text += digits[(group >> 18) & 63];
    text += digits[(group >> 12) & 63];
    text += i + 1 < bytes.size() ? digits[(group >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? digits[group & 63] : '=';
  }
  return text;
}

// 'sha256-...' of the text between the page's <tag> and </tag>, which the policy lets run.
bool inline_hash(const std::string& page, const std::string& tag, std::string& source,
                 std::string& why) {
  std::size_t open = page.find("<" + tag + ">");
  std::size_t close = page.find("</" + tag + ">");
  if (open == std::string::npos || close == std::string::npos || close < open) {
    why = "the page has no <" + tag + ">";
    return false;
  }
  std::size_t from = open + tag.size() + 2;
  std::string hex;
  if (!sha256_hex(page.data() + from, close - from, hex, why)) return false;
  std::string digest;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    digest += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  source = "'sha256-" + base64(digest) + "'";
  return true;
}

bool parse_port(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  port = std::stoi(text);
  return port <= 65535;
}
}  // namespace

bool status_listen(const std::string& address, std::string& url, std::string& why) {
  const std::string form = "--http takes ADDRESS:PORT, an IPv4 address or an [IPv6] address: ";
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) {
    why = form + address;
    return false;
  }
  std::string host = address.substr(0, colon);
  int port = 0;
  if (!parse_port(address.substr(colon + 1), port)) {
    why = "--http takes a port from 0 to 65535: " + address;
    return false;
  }
  sockaddr_storage storage{};
  socklen_t size = 0;
  bool v6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr) != 1) {
      why = form + address;
      return false;
    }
    size = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<std::uint16_t>(port));
    // inet_pton takes only the dotted quad: no host name, no short or octal forms.
    if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) != 1) {
      why = form + address;
      return false;
    }
    size = sizeof *in4;
  }
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (fd >= 0) {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // [::] then means IPv6 alone, as given.
    if (v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || listen(fd, 64) != 0) {
    why = "cannot listen on " + address + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
  int bound = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  server.listen_fd = fd;
  server.url = "http://" + host + ":" + std::to_string(bound) + "/";
  url = server.url;
  return true;
}

bool status_start(const StatusStation& station, std::string& why) {
  if (server.listen_fd < 0) {
    why = "no address to serve on";
    return false;
  }
  server.page = STATUS_PAGE_HTML;
  std::string script, style;
  if (!inline_hash(server.page, "script", script, why) ||
      !inline_hash(server.page, "style", style, why)) {
    return false;
  }
  server.security_policy = "default-src 'none'; script-src " + script + "; style-src " + style +
                           "; connect-src 'self'; img-src 'self'; base-uri 'none'; "
                           "form-action 'none'; frame-ancestors 'none'";
  server.station = station;
  server.snapshot_json = status_snapshot_json(server.station, server.snapshot, server.failures);
  // The server's threads take no signal: the station's own go to its loop, as without a page.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  server.daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
      nullptr, &serve, nullptr, MHD_OPTION_LISTEN_SOCKET, server.listen_fd,
      MHD_OPTION_CONNECTION_LIMIT, CONNECTION_LIMIT, MHD_OPTION_CONNECTION_TIMEOUT,
      CONNECTION_TIMEOUT_SECONDS, MHD_OPTION_END);
  if (server.daemon != nullptr) server.pump = new std::thread(pump_run);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (server.daemon == nullptr) {
    why = "the status page could not start";
    return false;
  }
  return true;
}

bool status_serving() { return server.daemon != nullptr; }

void status_publish(const StatusSnapshot& snapshot) {
  if (server.daemon == nullptr) return;
  std::lock_guard<std::mutex> held(server.lock);
  server.snapshot = snapshot;
  server.snapshot_json = status_snapshot_json(server.station, server.snapshot, server.failures);
  server.snapshot_changed = true;
  server.wake.notify_one();
}

void status_event(const StatusEvent& event) {
  if (server.daemon == nullptr) return;
  std::lock_guard<std::mutex> held(server.lock);
  StatusEvent numbered = event;
  numbered.seq = ++server.seq;
  std::string json = status_event_json(numbered, numbered.seq);
  server.events_text += sse_event(server.seq, json);
  server.replay.emplace_back(server.seq, json);
  if (server.replay.size() > REPLAY_EVENTS) server.replay.pop_front();
  if (event.kind == StatusEventKind::Result && event.result != "PASS") {
    status_note_failure(server.failures, numbered);
    server.snapshot_json = status_snapshot_json(server.station, server.snapshot, server.failures);
    server.snapshot_changed = true;
  }
  server.wake.notify_one();
}

void status_stop() {
  if (server.daemon == nullptr) return;
  {
    std::lock_guard<std::mutex> held(server.lock);
    server.stopping = true;
    server.wake.notify_one();
  }
  server.pump->join();
  std::vector<MHD_Connection*> resume;
  // No new connection; the streams take what is left and end, each as soon as it has.
  MHD_quiesce_daemon(server.daemon);
  {
    std::unique_lock<std::mutex> held(server.lock);
    server.all_gone.wait_for(held, std::chrono::seconds(2), [] { return server.clients.empty(); });
    for (Client& client : server.clients) {
      if (client.suspended) {
        client.suspended = false;
        resume.push_back(client.connection);
      }
    }
  }
  // A stream still suspended must be resumed before the library stops.
  for (MHD_Connection* connection : resume) MHD_resume_connection(connection);
  MHD_stop_daemon(server.daemon);
  server.daemon = nullptr;
  close(server.listen_fd);
  server.listen_fd = -1;
}

}  // namespace xarveld::station
