// The status page on GNU libmicrohttpd: one thread of its own polls every connection (epoll), so
// a hundred viewers on /events cost a hundred sockets, not a hundred threads. An /events stream
// with nothing to send is suspended; a second thread of ours, the pump, gathers what the station
// published, at most 10 times a second, appends it to each viewer's queue and resumes those
// waiting. The page's own stream (/events?view=page) gets no events: once a second, a summary of
// what changed for it. The station's loop only copies under the lock: it never calls into the
// library, and a viewer that does not keep up loses its stream, never holds anything up.
//
// Against slow and hostile clients: a connection's snapshot waiting to be sent is replaced by the
// newer, never stacked; each address has a share of the connections; a request must come whole
// within a deadline, however it trickles; a stream dropped for falling behind is closed at once;
// and only Host names of this station are answered, so that a page elsewhere cannot rebind its
// own name to this address and read the line.
#include <malloc.h>
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
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/web/status.hpp"
#include "station/web/http_socket.hpp"
#include "station/web/status_address.hpp"
#include "station/web/status_json.hpp"
#include "station/web/status_metrics.hpp"
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
// Past this many bytes of events waiting, a viewer is dropped; its snapshot, one at most, is not
// counted.
constexpr std::size_t CLIENT_QUEUE_LIMIT = 256 * 1024;
// Kept for a viewer that comes back (Last-Event-ID): at most so many, and so many bytes, half a
// viewer's limit, so that one coming back still has room for what follows.
constexpr std::size_t REPLAY_EVENTS = 512;
constexpr std::size_t REPLAY_BYTES = CLIENT_QUEUE_LIMIT / 2;
// A request is answered within this of its connection's start (or of the last answer on it),
// however slowly its bytes come: the library's own time-out restarts with every byte.
constexpr std::chrono::seconds REQUEST_DEADLINE{10};
constexpr milliseconds TRIM_INTERVAL{1000};
// What the system holds for a client that does not read: with its own tuning a socket holds up
// to megabytes, so that a stream that stopped reading would seem to keep up for minutes.
constexpr int SOCKET_SEND_BUFFER = 32 * 1024;

using Text = std::shared_ptr<const std::string>;  // one snapshot's text, shared by its viewers

struct Client {
  MHD_Connection* connection = nullptr;
  // What goes out next, in this order: the snapshot being sent, the events queued after it
  // (from taken on), then the one snapshot waiting, which a newer replaces.
  Text sending;
  std::size_t sending_taken = 0;
  std::string queued;
  std::size_t taken = 0;
  Text snapshot;
  bool suspended = false;  // waits for the pump to resume it
  bool dropped = false;    // fell behind: its stream ends with an error
  bool page = false;       // the page's own stream: summaries only
  PageViewer viewer;       // with page: what it has been sent
};

// One TCP connection, from the library's start notice to its closed notice.
struct Peer {
  MHD_Connection* connection = nullptr;
  int socket = -1;
  Clock::time_point since;  // accepted, or its last request answered
  bool answering = false;   // a request is being answered: no deadline
  bool cut = false;         // its socket is shut: the library closes it
};

struct Server {
  int listen_fd = -1;
  std::string url;
  MHD_Daemon* daemon = nullptr;
  std::thread* pump = nullptr;
  std::string page;
  std::string security_policy;
  HostRule hosts;  // what Host may name

  std::mutex lock;
  std::condition_variable wake;      // the pump: something was published, or stop
  std::condition_variable all_gone;  // status_stop: the last stream has ended
  StatusStation station;
  StatusSnapshot snapshot;
  StationMetrics metrics;
  std::deque<StatusEvent> failures;  // the last failed attempts' results, newest first
  std::string snapshot_json;  // what /status serves
  Text snapshot_text;          // the same for the streams, made when one needs it
  bool snapshot_changed = false;
  std::string events_text;  // published since the pump last ran
  std::deque<std::pair<std::uint64_t, std::string>> replay;  // each event's stream text
  std::size_t replay_bytes = 0;
  std::uint64_t seq = 0;
  std::uint64_t pumped_seq = 0;  // the last event the pump has handed to the streams
  std::list<Client> clients;
  std::list<Peer> peers;
  bool released = false;  // a connection went: its memory may go back to the system
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

// The snapshot as a stream sends it, made once for every viewer. Under the lock.
Text snapshot_text() {
  if (!server.snapshot_text) server.snapshot_text = std::make_shared<std::string>(
      sse_data(server.snapshot_json));
  return server.snapshot_text;
}

void snapshot_set(std::string json) {
  server.snapshot_json = std::move(json);
  server.snapshot_text.reset();
  server.snapshot_changed = true;
}

// Shuts a connection's socket, which the library then closes as one the client closed; with
// SO_LINGER 0 its close discards what the client never read. Under the lock, which the closed
// notice takes too: the library closes the socket only after that notice (connection_notice),
// so a number found in peers is still this connection's, never another file's.
void cut(Peer& peer) {
  if (peer.cut || peer.socket < 0) return;
  peer.cut = true;
  linger abort{1, 0};
  setsockopt(peer.socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  shutdown(peer.socket, SHUT_RDWR);
}

// A stream that fell behind: what it waits for is freed, and its connection closed now rather
// than when it reads again, which it may never. Under the lock.
void drop(Client& client) {
  client.dropped = true;
  client.sending.reset();
  client.snapshot.reset();
  std::string().swap(client.queued);
  client.taken = 0;
  for (Peer& peer : server.peers) {
    if (peer.connection == client.connection) cut(peer);
  }
}

// Appends events (or a comment) to a stream; one that cannot take them is dropped. Under the
// lock.
void queue_text(Client& client, const std::string& text) {
  if (client.dropped) return;
  if (client.queued.size() - client.taken + text.size() > CLIENT_QUEUE_LIMIT) {
    drop(client);
    return;
  }
  client.queued.erase(0, client.taken);
  client.taken = 0;
  client.queued += text;
}

// The newer snapshot takes the place of one still waiting, after the events queued before it.
// Under the lock.
void queue_snapshot(Client& client, const Text& snapshot) {
  if (!client.dropped) client.snapshot = snapshot;
}

// Copies what the stream sends next into buffer, as much as fits. Under the lock.
std::size_t take(Client& client, char* buffer, std::size_t max) {
  std::size_t given = 0;
  while (given < max) {
    const std::string* from = nullptr;
    std::size_t* at = nullptr;
    if (client.sending) {
      from = client.sending.get();
      at = &client.sending_taken;
    } else if (client.taken < client.queued.size()) {
      from = &client.queued;
      at = &client.taken;
    } else if (client.snapshot) {
      client.sending = std::move(client.snapshot);
      client.sending_taken = 0;
      continue;
    } else {
      break;
    }
    std::size_t size = std::min(max - given, from->size() - *at);
    std::memcpy(buffer + given, from->data() + *at, size);
    given += size;
    *at += size;
    if (client.sending && client.sending_taken == client.sending->size()) client.sending.reset();
  }
  if (client.taken == client.queued.size()) {
    client.queued.clear();
    client.taken = 0;
    // A queue that once held much gives its memory back when it has been sent.
    if (client.queued.capacity() > 16 * 1024) std::string().swap(client.queued);
  }
  return given;
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
    if (!json.empty()) queue_text(client, sse_data(json));
  }
}

// When the page's streams are next due: the pump wakes for them even when nothing was
// published, so that a quiet station still tells them it lives. Under the lock.
Clock::time_point page_due() {
  bool any = std::any_of(server.clients.begin(), server.clients.end(),
                         [](const Client& client) { return client.page; });
  return any ? server.page_summarized + PAGE_SUMMARY_INTERVAL : Clock::time_point::max();
}

// Closes the connections whose request has not come whole within REQUEST_DEADLINE. Whether one is
// still open: the pump looks again a second later. Under the lock.
bool cut_overdue(Clock::time_point now) {
  bool waiting = false;
  for (Peer& peer : server.peers) {
    if (peer.answering || peer.cut) continue;
    if (now - peer.since >= REQUEST_DEADLINE) {
      cut(peer);
    } else {
      waiting = true;
    }
  }
  return waiting;
}

// The pump: events at most every FLUSH_INTERVAL, the snapshot at most every SNAPSHOT_INTERVAL and
// at least every HEARTBEAT_INTERVAL (with a comment), so that a page can tell a quiet station
// from a lost one; then the waiting streams are resumed, outside the lock.
void pump_run() {
  Clock::time_point last_snapshot = Clock::now();
  Clock::time_point last_heartbeat = last_snapshot;
  Clock::time_point last_trim = last_snapshot;
  std::vector<MHD_Connection*> resume;
  std::unique_lock<std::mutex> held(server.lock);
  for (;;) {
    Clock::time_point now = Clock::now();
    bool heartbeat = now - last_heartbeat >= HEARTBEAT_INTERVAL;
    if (!server.events_text.empty()) {
      for (Client& client : server.clients) {
        if (!client.page) queue_text(client, server.events_text);
      }
      server.events_text.clear();
      server.pumped_seq = server.seq;
    }
    if (heartbeat || server.stopping ||
        (server.snapshot_changed && now - last_snapshot >= SNAPSHOT_INTERVAL)) {
      Text snapshot = snapshot_text();
      for (Client& client : server.clients) {
        if (client.page) continue;
        if (heartbeat) queue_text(client, ": heartbeat\n\n");
        queue_snapshot(client, snapshot);
      }
      server.snapshot_changed = false;
      last_snapshot = now;
      if (heartbeat) last_heartbeat = now;
    }
    pump_page(now);
    bool overdue_soon = cut_overdue(now);
    for (Client& client : server.clients) {
      bool waiting = client.taken < client.queued.size() || client.snapshot;
      if (client.suspended && (waiting || client.dropped || server.stopping)) {
        client.suspended = false;
        resume.push_back(client.connection);
      }
    }
    // Freed memory goes back to the system, not only to the heap: slow clients gone, the
    // station is as small as before they came.
    bool trim = server.released && now - last_trim >= TRIM_INTERVAL;
    if (trim) {
      server.released = false;
      last_trim = now;
    }
    bool stopping = server.stopping;
    held.unlock();
    // Still suspended until resumed here, so none of these connections can have gone.
    for (MHD_Connection* connection : resume) MHD_resume_connection(connection);
    resume.clear();
    if (trim) malloc_trim(0);
    if (stopping) return;
    std::this_thread::sleep_for(FLUSH_INTERVAL);
    held.lock();
    Clock::time_point wake = last_heartbeat + HEARTBEAT_INTERVAL;
    if (overdue_soon || server.released) wake = std::min(wake, now + std::chrono::seconds(1));
    wake = std::min(wake, page_due());
    server.wake.wait_until(held, wake, [] {
      return server.stopping || !server.events_text.empty() || server.snapshot_changed;
    });
  }
}

ssize_t stream_read(void* cls, std::uint64_t, char* buffer, std::size_t max) {
  auto* client = static_cast<Client*>(cls);
  std::lock_guard<std::mutex> held(server.lock);
  if (client->dropped) return MHD_CONTENT_READER_END_WITH_ERROR;
  std::size_t size = take(*client, buffer, max);
  if (size > 0) return static_cast<ssize_t>(size);
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
  server.released = true;
  if (server.clients.empty()) server.all_gone.notify_all();
}

// The library's notices of each connection's start and end. It sends the closed notice before it
// closes the socket (checked against libmicrohttpd 0.9.75: the socket is still open here), and
// the pump shuts sockets only under the same lock, so it never shuts a number reused since.
void connection_notice(void*, MHD_Connection* connection, void** context,
                       MHD_ConnectionNotificationCode code) {
  std::lock_guard<std::mutex> held(server.lock);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    server.peers.push_back({connection, info != nullptr ? info->connect_fd : -1, Clock::now()});
    int socket = server.peers.back().socket;
    if (socket >= 0) {
      setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &SOCKET_SEND_BUFFER, sizeof SOCKET_SEND_BUFFER);
    }
    *context = &server.peers.back();
    return;
  }
  auto* peer = static_cast<Peer*>(*context);
  server.peers.remove_if([peer](const Peer& p) { return &p == peer; });
  server.released = true;
}

Peer* peer_of(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<Peer*>(info->socket_context) : nullptr;
}

// A request has come whole: the deadline holds no more until it has been answered.
void request_begun(MHD_Connection* connection) {
  Peer* peer = peer_of(connection);
  std::lock_guard<std::mutex> held(server.lock);
  if (peer != nullptr) peer->answering = true;
}

// Answered: a next request on the same connection has the whole deadline again.
void request_done(void*, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
  Peer* peer = peer_of(connection);
  std::lock_guard<std::mutex> held(server.lock);
  if (peer == nullptr) return;
  peer->answering = false;
  peer->since = Clock::now();
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

// What a stream starts with: how soon to come back, and the events after Last-Event-ID when they
// are still kept; the snapshot follows them. Under the lock.
std::string stream_opening(MHD_Connection* connection) {
  std::string text = "retry: 2000\n\n";
  const char* last = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Last-Event-ID");
  if (last != nullptr && *last != '\0' && std::strlen(last) < 20 &&
      std::all_of(last, last + std::strlen(last), [](char c) { return c >= '0' && c <= '9'; })) {
    std::uint64_t after = std::stoull(last);
    for (const auto& [seq, event] : server.replay) {
      // Those not yet pumped come with the others, from the pump.
      if (seq > after && seq <= server.pumped_seq) text += event;
    }
  }
  return text;
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
      if (view != nullptr && std::strcmp(view, "page") == 0) {
        // The page's own: the snapshot, no replay; the summaries go on from it.
        client->page = true;
        client->viewer = page_viewer(page_state(server.snapshot, server.failures), Clock::now());
        client->queued = "retry: 2000\n\n";
      } else {
        client->queued = stream_opening(connection);
      }
      client->snapshot = snapshot_text();
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
  request_begun(connection);
  // Without Host (HTTP/1.0) no name was looked up: nothing was rebound.
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
  if (host != nullptr && (*host == '\0' || !host_acceptable(server.hosts, host))) {
    return answer(connection, MHD_HTTP_MISDIRECTED_REQUEST,
                  "misdirected: this station does not answer to that name (see --http-name)\n",
                  "text/plain; charset=utf-8");
  }
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
  if (path == "/metrics") {
    StationMetrics metrics;
    {
      std::lock_guard<std::mutex> held(server.lock);
      metrics = server.metrics;
    }
    // Made outside the lock: /proc is read for the process's own facts.
    return answer(connection, MHD_HTTP_OK, metrics_text(metrics, process_facts()),
                  METRICS_CONTENT_TYPE);
  }
  return answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
}

}  // namespace

bool status_listen(const std::string& address, const std::vector<std::string>& names,
                   std::string& url, std::string& why) {
  HttpListener listener;
  if (!http_listen(address, names, listener, why)) return false;
  server.listen_fd = listener.fd;
  server.hosts = listener.hosts;
  server.url = listener.url;
  url = server.url;
  return true;
}

bool status_start(const StatusStation& station, std::string& why) {
  if (server.listen_fd < 0) {
    why = "no address to serve on";
    return false;
  }
  server.page = STATUS_PAGE_HTML;
  if (!page_security_policy(server.page, server.security_policy, why)) return false;
  server.station = station;
  server.snapshot_json = status_snapshot_json(server.station, server.snapshot, server.failures);
  // The server's threads take no signal: the station's own go to its loop, as without a page.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  server.daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
      nullptr, &serve, nullptr, MHD_OPTION_LISTEN_SOCKET, server.listen_fd,
      MHD_OPTION_CONNECTION_LIMIT, http_connection_limit(), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      ADDRESS_LIMIT, MHD_OPTION_CONNECTION_TIMEOUT, CONNECTION_TIMEOUT_SECONDS,
      MHD_OPTION_NOTIFY_CONNECTION, &connection_notice, nullptr, MHD_OPTION_NOTIFY_COMPLETED,
      &request_done, nullptr, MHD_OPTION_END);
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
  snapshot_set(status_snapshot_json(server.station, server.snapshot, server.failures));
  server.wake.notify_one();
}

void status_event(const StatusEvent& event) {
  if (server.daemon == nullptr) return;
  std::lock_guard<std::mutex> held(server.lock);
  StatusEvent numbered = event;
  numbered.seq = ++server.seq;
  std::string text = sse_event(server.seq, status_event_json(numbered, server.seq));
  server.events_text += text;
  server.replay_bytes += text.size();
  server.replay.emplace_back(server.seq, std::move(text));
  while (server.replay.size() > REPLAY_EVENTS || server.replay_bytes > REPLAY_BYTES) {
    server.replay_bytes -= server.replay.front().second.size();
    server.replay.pop_front();
  }
  if (event.kind == StatusEventKind::Result && event.result != "PASS") {
    status_note_failure(server.failures, numbered);
    snapshot_set(status_snapshot_json(server.station, server.snapshot, server.failures));
  }
  server.wake.notify_one();
}

void status_publish_metrics(const StationMetrics& metrics) {
  if (server.daemon == nullptr) return;
  std::lock_guard<std::mutex> held(server.lock);
  server.metrics = metrics;
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
