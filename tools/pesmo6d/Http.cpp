#include "Http.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <unistd.h>

#include "Log.h"
#include "WebFiles.h"

namespace pesmo6d {

using namespace std::chrono;

namespace {

constexpr size_t kSubscriberQueue = 1024;
constexpr size_t kMaxFilters = 64;
constexpr int kWorkerNice = 5;

// One /api/events client: events queued by the library thread, written by
// the client's HTTP thread.
struct Subscriber {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::string> queue;
  std::set<size_t> filter;  // empty: every scale
  bool closed = false;
};

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

}  // namespace

struct HttpServer::Impl {
  Gateway& gw;
  ConverterCommands& commands;
  const Config& cfg;
  httplib::Server svr;
  std::atomic<bool> stopping{false};
  mutable std::mutex subsMutex;
  std::vector<std::shared_ptr<Subscriber>> subs;
  std::atomic<uint64_t> sseDropped{0};
  mutable std::mutex countMutex;
  std::map<int, uint64_t> statusCounts;

  Impl(Gateway& g, ConverterCommands& c) : gw(g), commands(c), cfg(g.Settings()) {}

  static void Send(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump() + "\n", "application/json");
  }
  static void Fail(httplib::Response& res, int status, const std::string& what, const std::string& detail) {
    Send(res, status, ErrorBody(what, detail));
  }

  bool Authorized(const httplib::Request& req) const {
    if (cfg.token.empty()) return false;
    const std::string auth = req.get_header_value("Authorization");
    if (auth.rfind("Bearer ", 0) == 0 && SameToken(auth.substr(7), cfg.token)) return true;
    return req.has_param("token") && SameToken(req.get_param_value("token"), cfg.token);
  }

  // Only the listed query parameters, each at most `repeat` times.
  bool OnlyParams(const httplib::Request& req, httplib::Response& res, const std::set<std::string>& allowed) {
    std::map<std::string, size_t> seen;
    for (const auto& [k, v] : req.params) {
      if (!allowed.count(k) && k != "token") {
        Fail(res, 400, "bad parameter", "unknown parameter \"" + k + "\"");
        return false;
      }
      if (++seen[k] > (k == "scale" ? kMaxFilters : 1)) {
        Fail(res, 400, "bad parameter", "parameter \"" + k + "\" given too often");
        return false;
      }
    }
    return true;
  }

  int ScaleOf(const httplib::Request& req, httplib::Response& res) {
    const int i = gw.Find(req.matches[1]);
    if (i < 0) Fail(res, 404, "unknown scale", "no scale is called \"" + std::string(req.matches[1]) + "\"");
    return i;
  }

  // Waits for the library thread's answer within `bound`.
  void Await(std::future<Outcome> f, milliseconds bound, httplib::Response& res) {
    if (f.wait_for(bound) != std::future_status::ready) {
      Fail(res, 504, "timed out", "the library thread did not answer in time");
      return;
    }
    Outcome o = f.get();
    Send(res, o.status, o.body);
  }

  void OnEvent(const std::string& kind, size_t scale, const std::string& json) {
    const std::string text = "event: " + kind + "\ndata: " + json + "\n\n";
    std::lock_guard<std::mutex> lock(subsMutex);
    for (const auto& s : subs) {
      std::lock_guard<std::mutex> l(s->m);
      if (s->closed || (!s->filter.empty() && !s->filter.count(scale))) continue;
      if (s->queue.size() >= kSubscriberQueue) {
        // A client that does not keep up is let go rather than grown without bound.
        s->closed = true;
        ++sseDropped;
      } else {
        s->queue.push_back(text);
      }
      s->cv.notify_one();
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
    return m;
  }

  void Routes();
  void Events(const httplib::Request& req, httplib::Response& res);
  void Converter(const httplib::Request& req, httplib::Response& res, bool write);
};

void HttpServer::Impl::Events(const httplib::Request& req, httplib::Response& res) {
  if (!OnlyParams(req, res, {"scale"})) return;
  auto sub = std::make_shared<Subscriber>();
  if (req.has_param("scale")) {
    const size_t n = req.get_param_value_count("scale");
    for (size_t k = 0; k < n; ++k) {
      const std::string name = req.get_param_value("scale", k);
      const int i = gw.Find(name);
      if (i < 0) {
        Fail(res, 404, "unknown scale", "no scale is called \"" + name + "\"");
        return;
      }
      sub->filter.insert(static_cast<size_t>(i));
    }
  }
  {
    std::lock_guard<std::mutex> lock(subsMutex);
    if (subs.size() >= static_cast<size_t>(cfg.maxSseClients)) {
      Fail(res, 503, "busy", "at most " + std::to_string(cfg.maxSseClients) + " event streams at a time");
      return;
    }
    subs.push_back(sub);
  }
  res.set_header("Cache-Control", "no-cache");
  res.set_header("X-Accel-Buffering", "no");
  const milliseconds keepalive(cfg.keepaliveMs);
  auto first = std::make_shared<bool>(true);
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, sub, keepalive, first](size_t, httplib::DataSink& sink) {
        if (*first) {
          *first = false;
          const std::string hello = "retry: 2000\n: subscribed\n\n";
          return sink.write(hello.data(), hello.size());
        }
        std::string out;
        {
          std::unique_lock<std::mutex> l(sub->m);
          const bool any = sub->cv.wait_for(l, keepalive, [&] { return !sub->queue.empty() || sub->closed || stopping; });
          if (sub->closed || stopping) return false;
          if (!any) {
            out = ": keepalive\n\n";
          } else {
            while (!sub->queue.empty()) {
              out += sub->queue.front();
              sub->queue.pop_front();
            }
          }
        }
        return sink.write(out.data(), out.size());
      },
      [this, sub](bool) {
        std::lock_guard<std::mutex> lock(subsMutex);
        subs.erase(std::remove(subs.begin(), subs.end(), sub), subs.end());
      });
}

void HttpServer::Impl::Converter(const httplib::Request& req, httplib::Response& res, bool write) {
  const std::string addr = req.matches[1];
  const std::string what = req.matches[2];
  if (!gw.KnownConverter(addr)) {
    Fail(res, 404, "unknown converter", "no scale of the configuration is on converter \"" + addr + "\"");
    return;
  }
  if (!OnlyParams(req, res, {})) return;
  DioRequest d;
  d.converter = addr;
  if (!write) {
    d.kind = DioRequest::Inputs;
  } else {
    Json body;
    try {
      body = Json::parse(req.body);
    } catch (const std::exception&) {
      Fail(res, 400, "bad body", "the body must be a JSON object");
      return;
    }
    if (!body.is_object()) {
      Fail(res, 400, "bad body", "the body must be a JSON object");
      return;
    }
    auto intField = [&](const char* key, int lo, int hi, int& out) {
      const auto it = body.find(key);
      if (it == body.end() || !it->is_number_integer() || it->get<long long>() < lo || it->get<long long>() > hi) {
        Fail(res, 400, "bad body", std::string("\"") + key + "\" must be an integer from " + std::to_string(lo) +
                                       " to " + std::to_string(hi));
        return false;
      }
      out = it->get<int>();
      return true;
    };
    if (what == "outputs") {
      if (body.contains("value")) {
        if (body.size() != 1) {
          Fail(res, 400, "bad body", "give {\"value\": N} or {\"bit\": B, \"state\": true|false}");
          return;
        }
        d.kind = DioRequest::OutPort;
        if (!intField("value", 0, 255, d.value)) return;
      } else {
        d.kind = DioRequest::OutBit;
        if (body.size() != 2 || !body.contains("state") || !body["state"].is_boolean()) {
          Fail(res, 400, "bad body", "give {\"value\": N} or {\"bit\": B, \"state\": true|false}");
          return;
        }
        if (!intField("bit", 0, 31, d.bit)) return;
        d.state = body["state"].get<bool>();
      }
    } else {  // clear
      const auto line = body.find("line");
      const auto buffer = body.find("buffer");
      if (body.size() != 2 || line == body.end() || buffer == body.end() || !line->is_string() ||
          !buffer->is_string() || line->get<std::string>().size() != 1 ||
          std::string("ABCDabcd").find(line->get<std::string>()[0]) == std::string::npos ||
          (*buffer != "rx" && *buffer != "tx")) {
        Fail(res, 400, "bad body", "give {\"line\": \"A\"..\"D\", \"buffer\": \"rx\"|\"tx\"}");
        return;
      }
      d.kind = *buffer == "rx" ? DioRequest::ClearRx : DioRequest::ClearTx;
      d.line = static_cast<char>(std::toupper(static_cast<unsigned char>(line->get<std::string>()[0])));
    }
  }
  d.client = req.remote_addr;
  d.role = cfg.token.empty() ? "no token" : "token";
  // The command's own deadline bounds this wait: its answer comes once it
  // was answered by the converter or can no longer be sent.
  Outcome o = commands.Run(d).get();
  Send(res, o.status, o.body);
}

void HttpServer::Impl::Routes() {
  svr.new_task_queue = [n = cfg.threads] { return new httplib::ThreadPool(static_cast<size_t>(n)); };
  svr.set_payload_max_length(cfg.maxBodyBytes);
  svr.set_keep_alive_max_count(1000);
  svr.set_read_timeout(10, 0);
  svr.set_write_timeout(10, 0);

  // Token and CORS, before any route.
  svr.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    // The HTTP workers yield to the library thread, whose timing the
    // readings depend on (a frame missed costs a whole frame period).
    thread_local bool yielded = false;
    if (!yielded) {
      yielded = true;
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNice);
    }
    const std::string origin = req.get_header_value("Origin");
    const bool listed = !origin.empty() && std::find(cfg.origins.begin(), cfg.origins.end(), origin) != cfg.origins.end();
    if (listed) {
      res.set_header("Access-Control-Allow-Origin", origin);
      res.set_header("Vary", "Origin");
    }
    if (req.method == "OPTIONS") {
      if (!listed) {
        Fail(res, 403, "origin not allowed", origin.empty() ? "no Origin given" : "\"" + origin + "\" is not listed");
        return httplib::Server::HandlerResponse::Handled;
      }
      res.status = 204;
      res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
      res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
      res.set_header("Access-Control-Max-Age", "600");
      return httplib::Server::HandlerResponse::Handled;
    }
    const bool api = req.path.rfind("/api/", 0) == 0 || req.path == "/metrics";
    const bool writes = req.method != "GET" && req.method != "HEAD";
    if (writes && cfg.token.empty()) {
      Fail(res, 403, "forbidden", "write requests need a token in the configuration ([http] token)");
      return httplib::Server::HandlerResponse::Handled;
    }
    if ((api || writes) && !cfg.token.empty() && !Authorized(req)) {
      res.set_header("WWW-Authenticate", "Bearer");
      Fail(res, 401, "unauthorized", "give the token as \"Authorization: Bearer TOKEN\" or ?token=TOKEN");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  svr.set_post_routing_handler([this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(countMutex);
    ++statusCounts[res.status];
  });
  svr.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    if (res.status == 404) Fail(res, 404, "not found", "no such endpoint: " + req.method + " " + req.path);
    else if (res.status == 413) Fail(res, 413, "too large", "the request is larger than allowed");
    else if (res.status == 400) Fail(res, 400, "bad request", "the request could not be read");
    else Fail(res, res.status, "error", "HTTP status " + std::to_string(res.status));
  });
  svr.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "unknown";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    Log(Level::Error, "request failed: " + what);
    Fail(res, 500, "internal error", what);
  });

  svr.Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
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
    Send(res, h.status == "ok" ? 200 : 503, j);
  });
  svr.Get("/metrics", [this](const httplib::Request& req, httplib::Response& res) {
    if (!OnlyParams(req, res, {})) return;
    res.set_content(gw.Metrics() + Extra(), "text/plain; version=0.0.4");
  });
  svr.Get("/api/scales", [this](const httplib::Request& req, httplib::Response& res) {
    if (!OnlyParams(req, res, {})) return;
    Send(res, 200, gw.ScalesJson());
  });
  svr.Get(R"(/api/scales/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
    if (!OnlyParams(req, res, {})) return;
    const int i = ScaleOf(req, res);
    if (i >= 0) Send(res, 200, gw.ScaleJson(static_cast<size_t>(i)));
  });
  svr.Get(R"(/api/scales/([^/]+)/read)", [this](const httplib::Request& req, httplib::Response& res) {
    const int i = ScaleOf(req, res);
    if (i < 0 || !OnlyParams(req, res, {"no_motion_ms"})) return;
    std::optional<int> noMotion;
    if (req.has_param("no_motion_ms")) {
      int v = 0;
      if (!ParseInt(req.get_param_value("no_motion_ms"), 0, 60000, v)) {
        Fail(res, 400, "bad parameter", "no_motion_ms must be an integer from 0 to 60000");
        return;
      }
      noMotion = v;
    }
    Await(gw.Read(static_cast<size_t>(i), noMotion), milliseconds(noMotion.value_or(0)) + seconds(45), res);
  });
  svr.Get(R"(/api/scales/([^/]+)/stable)", [this](const httplib::Request& req, httplib::Response& res) {
    const int i = ScaleOf(req, res);
    if (i < 0 || !OnlyParams(req, res, {"count", "limit_s"})) return;
    int count = cfg.scales[static_cast<size_t>(i)].stableCount;
    int limit = cfg.scales[static_cast<size_t>(i)].stableLimitS;
    if (req.has_param("count") && !ParseInt(req.get_param_value("count"), 1, 100, count)) {
      Fail(res, 400, "bad parameter", "count must be an integer from 1 to 100");
      return;
    }
    if (req.has_param("limit_s") && !ParseInt(req.get_param_value("limit_s"), 1, 60, limit)) {
      Fail(res, 400, "bad parameter", "limit_s must be an integer from 1 to 60");
      return;
    }
    Await(gw.Stable(static_cast<size_t>(i), count, limit), seconds(limit + 45), res);
  });
  svr.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) { Events(req, res); });
  svr.Get(R"(/api/converters/([^/]+)/(inputs))",
          [this](const httplib::Request& req, httplib::Response& res) { Converter(req, res, false); });
  svr.Post(R"(/api/converters/([^/]+)/(outputs|clear))",
           [this](const httplib::Request& req, httplib::Response& res) { Converter(req, res, true); });

  // The live page, from memory.
  for (size_t k = 0; k < kWebFileCount; ++k) {
    const WebFile& f = kWebFiles[k];
    auto serve = [&f](const httplib::Request&, httplib::Response& res) {
      res.set_content(reinterpret_cast<const char*>(f.data), f.size, f.type);
      res.set_header("Cache-Control", "no-cache");
    };
    svr.Get(f.path, serve);
    if (std::strcmp(f.path, "/index.html") == 0) svr.Get("/", serve);
  }
}

HttpServer::HttpServer(Gateway& gateway, ConverterCommands& commands)
    : impl_(std::make_unique<Impl>(gateway, commands)) {
  impl_->Routes();
  gateway.AddListener([impl = impl_.get()](const std::string& kind, size_t scale, const std::string& json) {
    impl->OnEvent(kind, scale, json);
  });
}

HttpServer::~HttpServer() { Stop(); }

int HttpServer::Bind() {
  const Config& c = impl_->cfg;
  int port = c.listenPort;
  if (port == 0) {
    port = impl_->svr.bind_to_any_port(c.listenHost);
  } else if (!impl_->svr.bind_to_port(c.listenHost, port)) {
    port = -1;
  }
  if (port < 0) {
    Log(Level::Error, "cannot listen on " + c.listenHost + ":" + std::to_string(c.listenPort) + ": " +
                          std::strerror(errno));
  }
  return port;
}

void HttpServer::Serve() { impl_->svr.listen_after_bind(); }

void HttpServer::Stop() {
  if (impl_->stopping.exchange(true)) return;
  {
    std::lock_guard<std::mutex> lock(impl_->subsMutex);
    for (const auto& s : impl_->subs) {
      std::lock_guard<std::mutex> l(s->m);
      s->closed = true;
      s->cv.notify_all();
    }
  }
  impl_->svr.stop();
}

}  // namespace pesmo6d
