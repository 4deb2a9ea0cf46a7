// The HTTP side on libmicrohttpd: one event thread (epoll) serves every
// connection, so a slow or idle client holds a connection slot and a few
// KiB, never a thread.  What one client may hold is bounded by the engine
// (memory per connection, which bounds the header block; connections in
// total and per address; idle time) and here (header count, body size also
// when chunked, a deadline for a whole request).  Requests that wait for the
// library thread or a converter are suspended and resumed when their answer
// is there; event streams are suspended while they have nothing to send.
#include "Http.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "Log.h"
#include "WebFiles.h"

namespace pesmo6d {

using namespace std::chrono;

namespace {

constexpr size_t kSubscriberBytes = 1 << 20;  // what an event stream may fall behind
constexpr size_t kMaxFilters = 64;
constexpr size_t kMaxHeaders = 64;
constexpr size_t kBodyOverrun = 64 * 1024;  // read past max_body_bytes to answer 413, then cut
constexpr size_t kConnectionMemory = 32 * 1024;  // the engine's pool per connection: header block and buffers
constexpr int kWorkerNice = 5;
constexpr int kAuthFailures = 10;  // failed authentications from one address within a minute before 429
constexpr int kAuthWindowS = 60;

bool SameToken(const std::string& a, const std::string& b) {
  // Constant time over the configured token's length.
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < b.size(); ++i) diff |= static_cast<unsigned char>((i < a.size() ? a[i] : 0) ^ b[i]);
  return diff == 0;
}

// A decimal parameter within [lo, hi]; false for anything else.
bool ParseInt(const std::string& text, long lo, long hi, int& out) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long v = std::stol(text);
  if (v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 1;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string AddressText(const sockaddr* sa) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (!sa) return text;
  if (sa->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
  } else if (sa->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
  }
  return text;
}

// One /api/events client: text queued by the library thread, written by
// the engine's thread when the stream is resumed.
struct Subscriber {
  std::mutex m;
  MHD_Connection* conn = nullptr;
  std::string out;
  std::set<size_t> filter;  // empty: every scale
  bool closed = false;
  bool suspended = false;
  SteadyTime lastWrite{};
};

struct Response {
  int status = 200;
  std::string body;
  std::string type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
};

// One request, from its headers to its answer.
struct Request {
  std::string method, path, client;
  std::vector<std::pair<std::string, std::string>> params;
  std::string body;
  size_t received = 0;
  bool answered = false;  // an answer was queued
  bool routed = false;
  std::string role;  // "reader", "operator" or "" (no token configured)
  // Waiting for the library thread or a converter.
  bool waiting = false;
  std::future<Outcome> future;
  Outcome outcome;
  std::vector<std::pair<std::string, std::string>> extra;  // headers for the answer (CORS)
};

}  // namespace

struct HttpServer::Impl {
  Gateway& gw;
  ConverterCommands& commands;
  const Config& cfg;
  MHD_Daemon* daemon = nullptr;
  int listenFd = -1;
  unsigned maxConnections = 0;
  std::atomic<bool> stopping{false};

  mutable std::mutex subsMutex;
  std::vector<std::shared_ptr<Subscriber>> subs;
  std::atomic<uint64_t> sseDropped{0};
  mutable std::mutex countMutex;
  std::map<int, uint64_t> statusCounts;

  // Requests waiting for an answer from another thread, and the thread
  // that resumes them, sends keepalives and ends requests over their time.
  std::mutex pendingMutex;
  std::condition_variable pendingCv;
  std::vector<std::pair<MHD_Connection*, Request*>> pending;
  std::thread ticker;
  bool tickerStop = false;
  bool served = false;  // the engine has stopped

  // Connections still receiving a request: since when (for the deadline).
  struct Incoming {
    int fd = -1;
    sockaddr_storage peer{};
    socklen_t peerLen = 0;
    SteadyTime since{};
    bool receiving = true;
    bool cut = false;
  };
  std::mutex connMutex;
  std::map<MHD_Connection*, Incoming> incoming;
  std::atomic<uint64_t> cutRequests{0};

  // Failed authentications per address.
  struct Failures {
    int count = 0;
    SteadyTime first{};
    SteadyTime lastLog{};
    int unlogged = 0;
  };
  std::mutex authMutex;
  std::map<std::string, Failures> failures;

  Impl(Gateway& g, ConverterCommands& c) : gw(g), commands(c), cfg(g.Settings()) {}

  // ---- Answers --------------------------------------------------------------

  MHD_Result Queue(MHD_Connection* c, Request& r, Response res) {
    if (res.type == "application/json" && res.body.empty()) res.body = "{}\n";
    MHD_Response* resp =
        MHD_create_response_from_buffer(res.body.size(), res.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!resp) return MHD_NO;
    MHD_add_response_header(resp, "Content-Type", res.type.c_str());
    for (const auto& [k, v] : r.extra) MHD_add_response_header(resp, k.c_str(), v.c_str());
    for (const auto& [k, v] : res.headers) MHD_add_response_header(resp, k.c_str(), v.c_str());
    const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(res.status), resp);
    MHD_destroy_response(resp);
    if (ok != MHD_YES) return MHD_YES;  // not now (in the middle of a body): answered at its end
    r.answered = true;
    std::lock_guard<std::mutex> lock(countMutex);
    ++statusCounts[res.status];
    return ok;
  }
  MHD_Result Send(MHD_Connection* c, Request& r, int status, const Json& body,
                  std::vector<std::pair<std::string, std::string>> headers = {}) {
    Response res;
    res.status = status;
    res.body = body.dump() + "\n";
    res.headers = std::move(headers);
    return Queue(c, r, std::move(res));
  }
  MHD_Result Fail(MHD_Connection* c, Request& r, int status, const std::string& what, const std::string& detail,
                  std::vector<std::pair<std::string, std::string>> headers = {}) {
    return Send(c, r, status, ErrorBody(what, detail), std::move(headers));
  }

  // Suspends the connection until F is ready (the ticker resumes it).
  MHD_Result Await(MHD_Connection* c, Request& r, std::future<Outcome> f) {
    std::lock_guard<std::mutex> lock(pendingMutex);
    if (tickerStop) {
      return Fail(c, r, 503, "busy", "the gateway is stopping");
    }
    r.waiting = true;
    r.future = std::move(f);
    MHD_suspend_connection(c);
    pending.emplace_back(c, &r);
    pendingCv.notify_all();
    return MHD_YES;
  }

  // ---- Tokens, roles and failed attempts ------------------------------------

  // The role the request's token gives: "operator", "reader", or "" for no
  // valid token.  Writes take the token from the header only.
  std::string Role(MHD_Connection* c, const Request& r, bool write) const {
    const char* h = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Authorization");
    std::string given;
    if (h && std::strncmp(h, "Bearer ", 7) == 0) given = h + 7;
    if (given.empty() && !write) {
      for (const auto& [k, v] : r.params) {
        if (k == "token") given = v;
      }
    }
    if (given.empty()) return "";
    if (!cfg.operatorToken.empty() && SameToken(given, cfg.operatorToken)) return "operator";
    if (!write && !cfg.token.empty() && SameToken(given, cfg.token)) return "reader";
    return "";
  }

  bool Throttled(const std::string& client) {
    std::lock_guard<std::mutex> lock(authMutex);
    auto it = failures.find(client);
    if (it == failures.end()) return false;
    if (steady_clock::now() - it->second.first > seconds(kAuthWindowS)) {
      failures.erase(it);
      return false;
    }
    return it->second.count >= kAuthFailures;
  }

  void AuthFailed(const Request& r, const char* why) {
    const SteadyTime now = steady_clock::now();
    int skipped = 0;
    {
      std::lock_guard<std::mutex> lock(authMutex);
      if (failures.size() > 10000) failures.clear();  // a flood of addresses: start over
      Failures& f = failures[r.client];
      if (f.count == 0 || now - f.first > seconds(kAuthWindowS)) {
        f.count = 0;
        f.first = now;
      }
      ++f.count;
      // One line per address and second at most; the others are counted.
      if (now - f.lastLog < seconds(1)) {
        ++f.unlogged;
        return;
      }
      f.lastLog = now;
      skipped = f.unlogged;
      f.unlogged = 0;
    }
    Log(Level::Warn, "authentication failed from " + r.client + ": " + r.method + " " + r.path + " (" + why + ")" +
                         (skipped ? "; " + std::to_string(skipped) + " more before" : ""));
  }

  // ---- Requests -------------------------------------------------------------

  // Everything that can be told from the headers: size, origin, token.
  // True when the request was answered here.
  bool Check(MHD_Connection* c, Request& r) {
    size_t headers = 0;
    std::vector<std::string> lengths;
    struct Seen {
      size_t* headers;
      std::vector<std::string>* lengths;
    } seen{&headers, &lengths};
    MHD_get_connection_values(
        c, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          auto* s = static_cast<Seen*>(cls);
          ++*s->headers;
          if (strcasecmp(key, "Content-Length") == 0) s->lengths->push_back(value ? value : "");
          return MHD_YES;
        },
        &seen);
    if (headers > kMaxHeaders) {
      Fail(c, r, 431, "too many headers", "at most " + std::to_string(kMaxHeaders) + " header lines");
      return true;
    }
    for (const auto& l : lengths) {
      if (l != lengths.front()) {
        Fail(c, r, 400, "bad request", "Content-Length given twice with different values");
        return true;
      }
    }
    MHD_get_connection_values(
        c, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
          static_cast<Request*>(cls)->params.emplace_back(key ? key : "", value ? value : "");
          return MHD_YES;
        },
        &r);
    if (!lengths.empty() && lengths.front().find_first_not_of("0123456789") == std::string::npos &&
        lengths.front().size() < 18 && std::stoull(lengths.front()) > cfg.maxBodyBytes) {
      Fail(c, r, 413, "too large", "the body may have at most " + std::to_string(cfg.maxBodyBytes) + " bytes");
      return true;
    }

    const char* o = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Origin");
    const std::string origin = o ? o : "";
    const bool listed = !origin.empty() && std::find(cfg.origins.begin(), cfg.origins.end(), origin) != cfg.origins.end();
    if (listed) {
      r.extra.emplace_back("Access-Control-Allow-Origin", origin);
      r.extra.emplace_back("Vary", "Origin");
    }
    if (r.method == "OPTIONS") {
      if (!listed) {
        Fail(c, r, 403, "origin not allowed", origin.empty() ? "no Origin given" : "\"" + origin + "\" is not listed");
        return true;
      }
      Response res;
      res.status = 204;
      res.type = "text/plain";
      res.headers = {{"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
                     {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
                     {"Access-Control-Max-Age", "600"}};
      Queue(c, r, std::move(res));
      return true;
    }
    const bool api = r.path.rfind("/api/", 0) == 0 || r.path == "/metrics";
    const bool write = r.method != "GET" && r.method != "HEAD";
    const bool converter = r.path.rfind("/api/converters/", 0) == 0;
    if (write || converter) {
      // What reaches a converter never comes from a page of another site:
      // a browser names the site (Origin, Sec-Fetch-Site) of what it sends.
      const char* site = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Sec-Fetch-Site");
      const bool crossSite = site && (std::strcmp(site, "cross-site") == 0 || std::strcmp(site, "same-site") == 0);
      if ((!origin.empty() && !listed) || (crossSite && !listed)) {
        Fail(c, r, 403, "origin not allowed",
             origin.empty() ? "a request from another site" : "\"" + origin + "\" is not listed");
        return true;
      }
    }
    if (write) {
      const char* type = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Type");
      const std::string t = Lower(type ? type : "");
      if (t.rfind("application/json", 0) != 0) {
        Fail(c, r, 415, "unsupported media type", "the body must be JSON (Content-Type: application/json)");
        return true;
      }
    }
    // Reading needs a token when the read token is configured; writing
    // always needs the operator's.
    if (!(api || write) || (cfg.token.empty() && !write)) {
      if (cfg.token.empty() && !write) r.role = Role(c, r, false);
      return false;
    }
    if (write && cfg.operatorToken.empty()) {
      Fail(c, r, 403, "forbidden",
           "write requests need an operator token in the configuration ([http] operator_token)");
      return true;
    }
    if (Throttled(r.client)) {
      Fail(c, r, 429, "too many failed attempts",
           "this address gave wrong tokens too often; wait a minute",
           {{"Retry-After", std::to_string(kAuthWindowS)}});
      return true;
    }
    r.role = Role(c, r, write);
    if (r.role.empty() || (write && r.role != "operator")) {
      const bool any = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Authorization") ||
                       std::any_of(r.params.begin(), r.params.end(), [](const auto& p) { return p.first == "token"; });
      if (any) AuthFailed(r, write ? "no operator token" : "wrong token");
      Fail(c, r, 401, "unauthorized",
           write ? "give the operator token as \"Authorization: Bearer TOKEN\""
                 : "give the token as \"Authorization: Bearer TOKEN\" or ?token=TOKEN",
           {{"WWW-Authenticate", "Bearer"}});
      return true;
    }
    return false;
  }

  // Only the listed query parameters, each at most `repeat` times.
  bool OnlyParams(MHD_Connection* c, Request& r, const std::set<std::string>& allowed) {
    std::map<std::string, size_t> seen;
    for (const auto& [k, v] : r.params) {
      if (!allowed.count(k) && k != "token") {
        Fail(c, r, 400, "bad parameter", "unknown parameter \"" + k + "\"");
        return false;
      }
      if (++seen[k] > (k == "scale" ? kMaxFilters : 1)) {
        Fail(c, r, 400, "bad parameter", "parameter \"" + k + "\" given too often");
        return false;
      }
    }
    return true;
  }
  const std::string* Param(const Request& r, const std::string& key) const {
    for (const auto& [k, v] : r.params) {
      if (k == key) return &v;
    }
    return nullptr;
  }

  int ScaleOf(MHD_Connection* c, Request& r, const std::string& name) {
    const int i = gw.Find(name);
    if (i < 0) Fail(c, r, 404, "unknown scale", "no scale is called \"" + name + "\"");
    return i;
  }

  MHD_Result Route(MHD_Connection* c, Request& r);
  MHD_Result Events(MHD_Connection* c, Request& r);
  MHD_Result Converter(MHD_Connection* c, Request& r, const std::string& addr, const std::string& what);
  MHD_Result Health(MHD_Connection* c, Request& r);

  void OnEvent(const std::string& kind, size_t scale, const std::string& json) {
    const std::string text = "event: " + kind + "\ndata: " + json + "\n\n";
    std::lock_guard<std::mutex> lock(subsMutex);
    for (const auto& s : subs) {
      std::lock_guard<std::mutex> l(s->m);
      if (s->closed || (!s->filter.empty() && !s->filter.count(scale))) continue;
      if (s->out.size() + text.size() > kSubscriberBytes) {
        // A client that does not keep up is let go rather than grown without bound.
        s->closed = true;
        ++sseDropped;
      } else {
        s->out += text;
      }
      if (s->suspended) {
        s->suspended = false;
        MHD_resume_connection(s->conn);
      }
    }
  }

  // The HTTP side's own figures for /metrics.
  std::string Extra() const {
    std::string m = "# HELP pesmo6d_http_responses_total HTTP responses by status.\n"
                    "# TYPE pesmo6d_http_responses_total counter\n";
    {
      std::lock_guard<std::mutex> lock(countMutex);
      for (const auto& [status, n] : statusCounts)
        m += "pesmo6d_http_responses_total{status=\"" + std::to_string(status) + "\"} " + std::to_string(n) + "\n";
    }
    size_t clients = 0;
    {
      std::lock_guard<std::mutex> lock(subsMutex);
      clients = subs.size();
    }
    m += "# HELP pesmo6d_sse_clients Open event streams.\n# TYPE pesmo6d_sse_clients gauge\n";
    m += "pesmo6d_sse_clients " + std::to_string(clients) + "\n";
    m += "# HELP pesmo6d_sse_dropped_total Event streams closed because the client did not keep up.\n"
         "# TYPE pesmo6d_sse_dropped_total counter\n";
    m += "pesmo6d_sse_dropped_total " + std::to_string(sseDropped.load()) + "\n";
    m += "# HELP pesmo6d_http_requests_cut_total Connections closed because a request took longer than allowed.\n"
         "# TYPE pesmo6d_http_requests_cut_total counter\n";
    m += "pesmo6d_http_requests_cut_total " + std::to_string(cutRequests.load()) + "\n";
    return m;
  }

  void Tick();

  // ---- Engine callbacks -------------------------------------------------------

  MHD_Result Handle(MHD_Connection* c, const char* url, const char* method, const char* upload, size_t* size,
                    void** cls) {
    thread_local bool yielded = false;
    if (!yielded) {
      // The engine's thread yields to the library thread, whose timing the
      // readings depend on (a frame missed costs a whole frame period).
      yielded = true;
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNice);
    }
    auto* r = static_cast<Request*>(*cls);
    if (!r) {
      r = new Request;
      *cls = r;
      r->method = method;
      r->path = url;
      const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      r->client = AddressText(info ? info->client_addr : nullptr);
      Check(c, *r);  // answered there when the headers already say no
      return MHD_YES;
    }
    const bool tooLarge = r->received > cfg.maxBodyBytes;
    if (*size > 0) {
      r->received += *size;
      if (r->received > cfg.maxBodyBytes) {
        // A chunked body has no length to refuse it by before it comes: what
        // passes the limit is counted, never kept, and answered 413 at its
        // end; one far beyond (a flood) ends the connection at once.
        r->body.clear();
        r->body.shrink_to_fit();
        if (!r->answered && r->received > cfg.maxBodyBytes + kBodyOverrun) return MHD_NO;
      } else if (!r->answered) {
        r->body.append(upload, *size);
      }
      *size = 0;
      return MHD_YES;
    }
    if (r->answered) return MHD_YES;
    if (tooLarge)
      return Fail(c, *r, 413, "too large", "the body may have at most " + std::to_string(cfg.maxBodyBytes) + " bytes");
    if (r->waiting) {
      // Resumed: the answer is there.
      r->waiting = false;
      const Outcome& o = r->outcome;
      return Send(c, *r, o.status, o.body);
    }
    if (r->routed) return MHD_YES;
    r->routed = true;
    Received(c);
    return Route(c, *r);
  }

  void Completed(void** cls) {
    delete static_cast<Request*>(*cls);
    *cls = nullptr;
  }

  void Notify(MHD_Connection* c, MHD_ConnectionNotificationCode code) {
    std::lock_guard<std::mutex> lock(connMutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      Incoming in;
      const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      in.fd = fd ? fd->connect_fd : -1;
      in.peerLen = sizeof in.peer;
      if (in.fd < 0 || getpeername(in.fd, reinterpret_cast<sockaddr*>(&in.peer), &in.peerLen) != 0) in.peerLen = 0;
      in.since = steady_clock::now();
      incoming[c] = in;
    } else {
      incoming.erase(c);
    }
  }
  // The request is in: its deadline no longer applies.
  void Received(MHD_Connection* c) {
    std::lock_guard<std::mutex> lock(connMutex);
    auto it = incoming.find(c);
    if (it != incoming.end()) it->second.receiving = false;
  }
  // The answer went out: the next request on the connection starts its clock.
  void Answered(MHD_Connection* c) {
    std::lock_guard<std::mutex> lock(connMutex);
    auto it = incoming.find(c);
    if (it != incoming.end()) {
      it->second.receiving = true;
      it->second.since = steady_clock::now();
    }
  }
};

MHD_Result HttpServer::Impl::Health(MHD_Connection* c, Request& r) {
  const Gateway::Health h = gw.Healthz();
  Json j;
  j["status"] = h.status;
  j["gateway"] = cfg.gateway;
  j["loop_age_s"] = h.status == "starting" ? Json(nullptr) : Json(h.loopAgeS);
  if (!h.heldBy.empty()) {
    j["held_by"] = h.heldBy;
    j["held_s"] = h.heldS;
  } else {
    j["held_by"] = nullptr;
  }
  j["converters"] = commands.Status();
  // Not ready yet and stalled alike are 503: a load balancer sends no
  // client to either; the status tells them apart.
  return Send(c, r, h.status == "ok" ? 200 : 503, j);
}

MHD_Result HttpServer::Impl::Events(MHD_Connection* c, Request& r) {
  if (!OnlyParams(c, r, {"scale"})) return MHD_YES;
  auto sub = std::make_shared<Subscriber>();
  for (const auto& [k, name] : r.params) {
    if (k != "scale") continue;
    const int i = gw.Find(name);
    if (i < 0) return Fail(c, r, 404, "unknown scale", "no scale is called \"" + name + "\"");
    sub->filter.insert(static_cast<size_t>(i));
  }
  sub->conn = c;
  sub->out = "retry: 2000\n: subscribed\n\n";
  sub->lastWrite = steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(subsMutex);
    if (stopping) return Fail(c, r, 503, "busy", "the gateway is stopping");
    if (subs.size() >= static_cast<size_t>(cfg.maxSseClients))
      return Fail(c, r, 503, "busy", "at most " + std::to_string(cfg.maxSseClients) + " event streams at a time");
    subs.push_back(sub);
  }
  struct Holder {
    Impl* impl;
    std::shared_ptr<Subscriber> sub;
  };
  auto* holder = new Holder{this, sub};
  MHD_Response* resp = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 16 * 1024,
      [](void* cls, uint64_t, char* buf, size_t max) -> ssize_t {
        Subscriber& s = *static_cast<Holder*>(cls)->sub;
        std::lock_guard<std::mutex> l(s.m);
        if (!s.out.empty()) {
          const size_t n = std::min(max, s.out.size());
          std::memcpy(buf, s.out.data(), n);
          s.out.erase(0, n);
          s.lastWrite = steady_clock::now();
          return static_cast<ssize_t>(n);
        }
        if (s.closed) return MHD_CONTENT_READER_END_OF_STREAM;
        // Nothing to send: the stream sleeps until an event or a keepalive.
        s.suspended = true;
        MHD_suspend_connection(s.conn);
        return 0;
      },
      holder,
      [](void* cls) {
        auto* h = static_cast<Holder*>(cls);
        {
          std::lock_guard<std::mutex> lock(h->impl->subsMutex);
          auto& v = h->impl->subs;
          v.erase(std::remove(v.begin(), v.end(), h->sub), v.end());
        }
        delete h;
      });
  if (!resp) return MHD_NO;
  MHD_add_response_header(resp, "Content-Type", "text/event-stream");
  MHD_add_response_header(resp, "Cache-Control", "no-cache");
  MHD_add_response_header(resp, "X-Accel-Buffering", "no");
  for (const auto& [k, v] : r.extra) MHD_add_response_header(resp, k.c_str(), v.c_str());
  // A stream lives as long as its client listens: no idle limit.
  MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
  r.answered = true;
  const MHD_Result ok = MHD_queue_response(c, 200, resp);
  MHD_destroy_response(resp);
  std::lock_guard<std::mutex> lock(countMutex);
  ++statusCounts[200];
  return ok;
}

MHD_Result HttpServer::Impl::Converter(MHD_Connection* c, Request& r, const std::string& addr, const std::string& what) {
  if (!gw.KnownConverter(addr))
    return Fail(c, r, 404, "unknown converter", "no scale of the configuration is on converter \"" + addr + "\"");
  if (!OnlyParams(c, r, {})) return MHD_YES;
  DioRequest d;
  d.converter = addr;
  d.client = r.client;
  d.role = r.role.empty() ? "no token" : r.role;
  if (what == "inputs") {
    d.kind = DioRequest::Inputs;
  } else {
    Json body;
    try {
      body = Json::parse(r.body);
    } catch (const std::exception&) {
      return Fail(c, r, 400, "bad body", "the body must be a JSON object");
    }
    if (!body.is_object()) return Fail(c, r, 400, "bad body", "the body must be a JSON object");
    std::string bad;
    auto intField = [&](const char* key, int lo, int hi, int& out) {
      const auto it = body.find(key);
      if (it == body.end() || !it->is_number_integer() || it->get<long long>() < lo || it->get<long long>() > hi) {
        bad = std::string("\"") + key + "\" must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
        return false;
      }
      out = it->get<int>();
      return true;
    };
    const std::string usage = "give {\"value\": N} or {\"bit\": B, \"state\": true|false}";
    if (what == "outputs") {
      if (body.contains("value")) {
        if (body.size() != 1) return Fail(c, r, 400, "bad body", usage);
        d.kind = DioRequest::OutPort;
        if (!intField("value", 0, 255, d.value)) return Fail(c, r, 400, "bad body", bad);
      } else {
        d.kind = DioRequest::OutBit;
        if (body.size() != 2 || !body.contains("state") || !body["state"].is_boolean())
          return Fail(c, r, 400, "bad body", usage);
        if (!intField("bit", 0, 31, d.bit)) return Fail(c, r, 400, "bad body", bad);
        d.state = body["state"].get<bool>();
      }
    } else {  // clear
      const auto line = body.find("line");
      const auto buffer = body.find("buffer");
      if (body.size() != 2 || line == body.end() || buffer == body.end() || !line->is_string() ||
          !buffer->is_string() || line->get<std::string>().size() != 1 ||
          std::string("ABCDabcd").find(line->get<std::string>()[0]) == std::string::npos ||
          (*buffer != "rx" && *buffer != "tx"))
        return Fail(c, r, 400, "bad body", "give {\"line\": \"A\"..\"D\", \"buffer\": \"rx\"|\"tx\"}");
      d.kind = *buffer == "rx" ? DioRequest::ClearRx : DioRequest::ClearTx;
      d.line = static_cast<char>(std::toupper(static_cast<unsigned char>(line->get<std::string>()[0])));
    }
  }
  // The command's own deadline bounds this wait: its answer comes once the
  // converter answered or once it can no longer be sent.
  return Await(c, r, commands.Run(d));
}

MHD_Result HttpServer::Impl::Route(MHD_Connection* c, Request& r) {
  const bool get = r.method == "GET" || r.method == "HEAD";
  const std::vector<std::string> p = Split(r.path);
  auto notFound = [&] { return Fail(c, r, 404, "not found", "no such endpoint: " + r.method + " " + r.path); };
  if (get && r.path == "/healthz") return Health(c, r);
  if (get && r.path == "/metrics") {
    if (!OnlyParams(c, r, {})) return MHD_YES;
    Response res;
    res.body = gw.Metrics() + Extra();
    res.type = "text/plain; version=0.0.4";
    return Queue(c, r, std::move(res));
  }
  if (p.size() >= 2 && p[0] == "api" && p[1] == "scales" && get) {
    if (p.size() == 2) {
      if (!OnlyParams(c, r, {})) return MHD_YES;
      return Send(c, r, 200, gw.ScalesJson());
    }
    if (p.size() == 3 && !p[2].empty()) {
      if (!OnlyParams(c, r, {})) return MHD_YES;
      const int i = ScaleOf(c, r, p[2]);
      return i < 0 ? MHD_YES : Send(c, r, 200, gw.ScaleJson(static_cast<size_t>(i)));
    }
    if (p.size() == 4 && p[3] == "read") {
      const int i = ScaleOf(c, r, p[2]);
      if (i < 0 || !OnlyParams(c, r, {"no_motion_ms"})) return MHD_YES;
      std::optional<int> noMotion;
      if (const std::string* v = Param(r, "no_motion_ms")) {
        int ms = 0;
        if (!ParseInt(*v, 0, 60000, ms))
          return Fail(c, r, 400, "bad parameter", "no_motion_ms must be an integer from 0 to 60000");
        noMotion = ms;
      }
      return Await(c, r, gw.Read(static_cast<size_t>(i), noMotion));
    }
    if (p.size() == 4 && p[3] == "stable") {
      const int i = ScaleOf(c, r, p[2]);
      if (i < 0 || !OnlyParams(c, r, {"count", "limit_s"})) return MHD_YES;
      int count = cfg.scales[static_cast<size_t>(i)].stableCount;
      int limit = cfg.scales[static_cast<size_t>(i)].stableLimitS;
      if (const std::string* v = Param(r, "count"); v && !ParseInt(*v, 1, 100, count))
        return Fail(c, r, 400, "bad parameter", "count must be an integer from 1 to 100");
      if (const std::string* v = Param(r, "limit_s"); v && !ParseInt(*v, 1, 60, limit))
        return Fail(c, r, 400, "bad parameter", "limit_s must be an integer from 1 to 60");
      return Await(c, r, gw.Stable(static_cast<size_t>(i), count, limit));
    }
    return notFound();
  }
  if (get && r.path == "/api/events") return Events(c, r);
  if (p.size() == 4 && p[0] == "api" && p[1] == "converters" && !p[2].empty()) {
    if ((get && p[3] == "inputs") || (r.method == "POST" && (p[3] == "outputs" || p[3] == "clear")))
      return Converter(c, r, p[2], p[3]);
  }
  // The live page, from memory.
  if (get) {
    const std::string path = r.path == "/" ? "/index.html" : r.path;
    for (size_t k = 0; k < kWebFileCount; ++k) {
      const WebFile& f = kWebFiles[k];
      if (path != f.path) continue;
      Response res;
      res.body.assign(reinterpret_cast<const char*>(f.data), f.size);
      res.type = f.type;
      res.headers = {{"Cache-Control", "no-cache"}};
      return Queue(c, r, std::move(res));
    }
  }
  return notFound();
}

// Resumes the requests whose answer is there, sends the event streams'
// keepalives and cuts connections whose request takes too long.
void HttpServer::Impl::Tick() {
  const milliseconds keepalive(cfg.keepaliveMs);
  const milliseconds deadline(cfg.requestTimeoutMs);
  SteadyTime nextSlow = steady_clock::now();
  SteadyTime stopAt{};
  std::unique_lock<std::mutex> lock(pendingMutex);
  while (true) {
    if (tickerStop && stopAt == SteadyTime{}) stopAt = steady_clock::now();
    if (tickerStop && steady_clock::now() - stopAt > seconds(1)) {
      // Answers that never came (nothing left to wait for at the stop).
      for (auto& [conn, r] : pending) {
        r->outcome = Outcome{503, ErrorBody("busy", "the gateway is stopping")};
        MHD_resume_connection(conn);
      }
      pending.clear();
    }
    for (auto it = pending.begin(); it != pending.end();) {
      Request& r = *it->second;
      if (r.future.wait_for(seconds(0)) == std::future_status::ready) {
        r.outcome = r.future.get();
        MHD_resume_connection(it->first);
        it = pending.erase(it);
      } else {
        ++it;
      }
    }
    if (tickerStop && pending.empty()) return;
    const SteadyTime now = steady_clock::now();
    if (now >= nextSlow) {
      nextSlow = now + milliseconds(100);
      lock.unlock();
      {
        std::lock_guard<std::mutex> l(subsMutex);
        for (const auto& s : subs) {
          std::lock_guard<std::mutex> sl(s->m);
          if (!s->closed && s->out.empty() && now - s->lastWrite >= keepalive) s->out = ": keepalive\n\n";
          if ((s->closed || !s->out.empty()) && s->suspended) {
            s->suspended = false;
            MHD_resume_connection(s->conn);
          }
        }
      }
      {
        std::lock_guard<std::mutex> l(connMutex);
        for (auto& [conn, in] : incoming) {
          if (!in.receiving || in.cut || in.fd < 0 || now - in.since < deadline) continue;
          // The same socket still (its peer unchanged): the engine closes a
          // connection only after telling us, under this lock.
          sockaddr_storage peer{};
          socklen_t len = sizeof peer;
          if (getpeername(in.fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || len != in.peerLen ||
              std::memcmp(&peer, &in.peer, len) != 0)
            continue;
          in.cut = true;
          ++cutRequests;
          shutdown(in.fd, SHUT_RDWR);
        }
      }
      lock.lock();
      continue;
    }
    pendingCv.wait_for(lock, pending.empty() ? milliseconds(100) : milliseconds(2));
  }
}

HttpServer::HttpServer(Gateway& gateway, ConverterCommands& commands)
    : impl_(std::make_unique<Impl>(gateway, commands)) {
  gateway.AddListener([impl = impl_.get()](const std::string& kind, size_t scale, const std::string& json) {
    impl->OnEvent(kind, scale, json);
  });
}

HttpServer::~HttpServer() {
  Stop();
  if (impl_->listenFd >= 0) close(impl_->listenFd);
}

int HttpServer::Bind() {
  const Config& c = impl_->cfg;
  sockaddr_storage ss{};
  socklen_t len = 0;
  auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, c.listenHost.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(c.listenPort));
    len = sizeof *a4;
  } else if (inet_pton(AF_INET6, c.listenHost.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(c.listenPort));
    len = sizeof *a6;
  }
  const int fd = len ? socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  const int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 128) != 0) {
    Log(Level::Error, "cannot listen on " + c.listenHost + ":" + std::to_string(c.listenPort) + ": " +
                          std::strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  impl_->listenFd = fd;

  // The library keeps a reserve of descriptors (ports, converter lines,
  // helpers, the broker): connections get what is left, at most the
  // configured number.
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
  }
  const long reserve = 64 + 4 * static_cast<long>(c.scales.size());
  const long room = static_cast<long>(std::min<rlim_t>(lim.rlim_cur, 1 << 20)) - reserve;
  impl_->maxConnections = static_cast<unsigned>(std::max<long>(8, std::min<long>(c.maxConnections, room)));
  if (impl_->maxConnections < static_cast<unsigned>(c.maxConnections))
    Log(Level::Warn, "open files are limited to " + std::to_string(lim.rlim_cur) + ": at most " +
                         std::to_string(impl_->maxConnections) + " HTTP connections (" + std::to_string(reserve) +
                         " descriptors kept for the scales)");
  return ntohs(ss.ss_family == AF_INET ? a4->sin_port : a6->sin6_port);
}

void HttpServer::Serve() {
  Impl& s = *impl_;
  const Config& c = s.cfg;
  const unsigned idle = static_cast<unsigned>(std::max(1, (c.requestTimeoutMs + 999) / 1000));
  const bool tls = !c.tlsCert.empty();
  s.daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | (tls ? MHD_USE_TLS : 0), 0,
      nullptr, nullptr,
      [](void* cls, MHD_Connection* conn, const char* url, const char* method, const char*, const char* upload,
         size_t* size, void** con) { return static_cast<Impl*>(cls)->Handle(conn, url, method, upload, size, con); },
      &s, MHD_OPTION_LISTEN_SOCKET, s.listenFd, MHD_OPTION_CONNECTION_LIMIT, s.maxConnections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(c.maxConnectionsPerAddress),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_CONNECTION_TIMEOUT, idle,
      MHD_OPTION_NOTIFY_COMPLETED,
      static_cast<MHD_RequestCompletedCallback>(
          [](void* cls, MHD_Connection* conn, void** con, MHD_RequestTerminationCode) {
            static_cast<Impl*>(cls)->Completed(con);
            static_cast<Impl*>(cls)->Answered(conn);
          }),
      &s, MHD_OPTION_NOTIFY_CONNECTION,
      static_cast<MHD_NotifyConnectionCallback>(
          [](void* cls, MHD_Connection* conn, void**, MHD_ConnectionNotificationCode code) {
            static_cast<Impl*>(cls)->Notify(conn, code);
          }),
      &s, MHD_OPTION_EXTERNAL_LOGGER,
      static_cast<void (*)(void*, const char*, va_list)>([](void*, const char* fmt, va_list ap) {
        char line[512];
        std::vsnprintf(line, sizeof line, fmt, ap);
        std::string text(line);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        Log(Level::Debug, "http: " + text);
      }),
      nullptr,
      // With TLS the certificate and key (the options end here without it).
      tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, c.tlsCert.c_str(), MHD_OPTION_HTTPS_MEM_KEY,
      c.tlsKey.c_str(), MHD_OPTION_END);
  if (!s.daemon) {
    Log(Level::Error, "the HTTP server did not start");
    return;
  }
  s.listenFd = -1;  // the engine's now
  s.ticker = std::thread([&s] { s.Tick(); });
  // Serves until Stop(): the engine runs on its own thread.
  std::unique_lock<std::mutex> lock(s.pendingMutex);
  s.pendingCv.wait(lock, [&] { return s.served; });
}

void HttpServer::Stop() {
  Impl& s = *impl_;
  if (s.stopping.exchange(true)) return;
  // The streams end, the waiting requests are answered (the library's and
  // the converters' requests were answered by their own stop), then the
  // engine closes what is left.
  {
    std::lock_guard<std::mutex> lock(s.subsMutex);
    for (const auto& sub : s.subs) {
      std::lock_guard<std::mutex> l(sub->m);
      sub->closed = true;
      if (sub->suspended) {
        sub->suspended = false;
        MHD_resume_connection(sub->conn);
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(s.pendingMutex);
    s.tickerStop = true;
    s.pendingCv.notify_all();
  }
  if (s.ticker.joinable()) s.ticker.join();
  if (s.daemon) {
    const int fd = MHD_quiesce_daemon(s.daemon);
    MHD_stop_daemon(s.daemon);
    if (fd >= 0) close(fd);
    s.daemon = nullptr;
  }
  std::lock_guard<std::mutex> lock(s.pendingMutex);
  s.served = true;
  s.pendingCv.notify_all();
}

}  // namespace pesmo6d
