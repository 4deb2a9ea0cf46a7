#include "Gateway.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "Families.h"
#include "Log.h"
#include "pesmo6.h"

namespace pesmo6d {

using namespace std::chrono;
using pesmo6tools::Utf8;

namespace {

// The one gateway whose thread owns the library (the hooks are plain C).
std::atomic<Gateway*> g_owner{nullptr};

// Upper bounds of the round-duration histogram, in seconds.
const double kRoundBounds[] = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
constexpr size_t kMaxQueued = 256;

std::string CodeText(int32_t code) {
  switch (code) {
    case 1: return "no reading within the wait";
    case 2: return "no reading without motion within the wait";
    case 3: return "the indicator reports overload";
    case 4: return "the port did not open (missing, or in use by another program)";
    case 7: return "no stable weight within the time limit";
    default: return "update code " + std::to_string(code);
  }
}

// Why channel `ch`'s update gave `code`: the library's own reason
// (Display_Erro, right after the update) when it has one, else what the code
// means.  Called on the library thread.
std::string Reason(int32_t ch, int32_t code) {
  const std::string reason = ch >= 0 ? pesmo6tools::Utf8(Display_Erro(ch)) : std::string();
  return reason.empty() ? CodeText(code) : reason;
}

// Prometheus label values: backslash, quote and newline escaped.
std::string Label(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out;
}

}  // namespace

Json ErrorBody(const std::string& what, const std::string& detail) {
  Json j;
  j["error"] = what;
  j["detail"] = detail;
  return j;
}

// One scale as the other threads see it (under mutex_).
struct Gateway::Snapshot {
  std::optional<int32_t> code;
  bool any = false;  // a reading was stored
  std::string gross, net, tare, status, tag, total;
  std::optional<double> grossValue, netValue, tareValue;
  bool motion = false, netMode = false, overload = false;
  std::string unit;
  WallTime time{};
  SteadyTime steady{};
  uint64_t readings = 0;
  bool error = false;
  int32_t errorCode = 0;
  std::string errorMessage;
  WallTime errorSince{};
  std::map<int32_t, uint64_t> errors;  // failed updates by code
};

// One scale as the library thread keeps it.
struct Gateway::Scale {
  ScaleConfig cfg;
  const pesmo6tools::Family* family = nullptr;
  uint32_t mappedPort = 0;  // the port number a device path is mapped to
  int32_t ch = -1;
  bool linkUp = false;
  int failures = 0;
  SteadyTime nextTry{};
  SteadyTime lastByte{};
  bool silenced = false;  // closed in this round: nothing came for silenceMs
  std::optional<Snapshot> shownAtClose;  // what the channel showed when it was closed
  std::vector<std::promise<Outcome>> waiting;  // reads answered by the next round
};

struct Gateway::Job {
  enum Kind { Read, NoMotion, Stable } kind = Read;
  size_t scale = 0;
  int noMotionMs = 0;
  int count = 0, limitS = 0;
  std::promise<Outcome> promise;
};

Gateway::Gateway(const Config& config) : config_(config) {
  std::set<uint32_t> used;
  for (const auto& sc : config_.scales) {
    if (sc.port) used.insert(sc.port);
  }
  uint32_t next = 65535;
  for (const auto& sc : config_.scales) {
    auto s = std::make_unique<Scale>();
    s->cfg = sc;
    s->family = pesmo6tools::FindFamily(sc.family);
    if (!sc.device.empty()) {
      while (used.count(next)) --next;
      s->mappedPort = next--;
    }
    scales_.push_back(std::move(s));
    snaps_.push_back(std::make_unique<Snapshot>());
  }
  roundBuckets_.assign(std::size(kRoundBounds), 0);
}

Gateway::~Gateway() { Stop(); }

void Gateway::Start() {
  Gateway* none = nullptr;
  if (!g_owner.compare_exchange_strong(none, this)) throw std::logic_error("one gateway per process");
  thread_ = std::thread([this] { Run(); });
}

bool Gateway::Stop(milliseconds grace) {
  if (!thread_.joinable()) return true;
  std::deque<std::unique_ptr<Job>> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    left.swap(jobs_);
  }
  wake_.notify_all();
  for (auto& j : left) j->promise.set_value(Outcome{503, ErrorBody("busy", "the gateway is stopping")});
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const SteadyTime until =
        grace >= hours(24 * 365) ? SteadyTime::max() : steady_clock::now() + grace;
    if (!wake_.wait_until(lock, until, [&] { return finished_; })) return false;
  }
  thread_.join();
  g_owner = nullptr;
  return true;
}

int Gateway::Find(const std::string& name) const {
  for (size_t i = 0; i < scales_.size(); ++i) {
    if (scales_[i]->cfg.name == name) return static_cast<int>(i);
  }
  return -1;
}

bool Gateway::KnownConverter(const std::string& address) const {
  for (const auto& s : scales_) {
    if (s->cfg.converter == address) return true;
  }
  return false;
}

void Gateway::AddListener(Listener l) { listeners_.push_back(std::move(l)); }

Gateway::Health Gateway::Healthz() const {
  Health h;
  const SteadyTime now = steady_clock::now();
  if (!started_) {
    h.status = "starting";
  } else {
    const SteadyTime tick{steady_clock::duration(loopTick_.load())};
    h.loopAgeS = duration<double>(now - tick).count();
    h.status = h.loopAgeS < 30 ? "ok" : "stalled";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!heldBy_.empty()) {
    h.heldBy = heldBy_;
    h.heldS = duration<double>(now - heldSince_).count();
  }
  return h;
}

// ---- Snapshots as JSON ---------------------------------------------------

Json Gateway::SnapshotJson(size_t i, const Snapshot& s, SteadyTime now) const {
  const Scale& sc = *scales_[i];
  Json j;
  j["name"] = sc.cfg.name;
  j["family"] = sc.cfg.family;
  j["mode"] = sc.cfg.live ? "live" : "on-demand";
  j["target"] = sc.cfg.Target();
  j["code"] = s.code ? Json(*s.code) : Json(nullptr);
  auto text = [&](const std::string& t) { return s.any ? Json(t) : Json(nullptr); };
  auto number = [&](const std::optional<double>& v) { return s.any && v ? Json(*v) : Json(nullptr); };
  j["gross"] = text(s.gross);
  j["net"] = text(s.net);
  j["tare"] = text(s.tare);
  j["gross_value"] = number(s.grossValue);
  j["net_value"] = number(s.netValue);
  j["tare_value"] = number(s.tareValue);
  j["unit"] = !sc.cfg.unit.empty() ? sc.cfg.unit : !s.unit.empty() ? s.unit : std::string("kg");
  j["motion"] = s.motion;
  j["net_mode"] = s.netMode;
  j["overload"] = s.overload;
  j["status"] = s.any && !s.status.empty() ? Json(s.status) : Json(nullptr);
  j["tag"] = s.any && sc.family->tag ? Json(s.tag) : Json(nullptr);
  j["total"] = s.any && sc.family->total ? Json(s.total) : Json(nullptr);
  j["time"] = s.any ? Json(IsoTime(s.time)) : Json(nullptr);
  j["age_ms"] = s.any ? Json(duration_cast<milliseconds>(now - s.steady).count()) : Json(nullptr);
  j["readings"] = s.readings;
  if (s.error) {
    Json e;
    e["code"] = s.errorCode;
    e["message"] = s.errorMessage;
    e["since"] = IsoTime(s.errorSince);
    j["error"] = e;
  } else {
    j["error"] = nullptr;
  }
  return j;
}

Json Gateway::ScaleJson(size_t i) const {
  // Copied under the lock, written out after it: the library thread never
  // waits for a client's JSON.
  std::unique_lock<std::mutex> lock(mutex_);
  const Snapshot copy = *snaps_[i];
  lock.unlock();
  return SnapshotJson(i, copy, steady_clock::now());
}

Json Gateway::ScalesJson() const {
  Json j;
  j["gateway"] = config_.gateway;
  Json list = Json::array();
  std::vector<Snapshot> copies;
  copies.reserve(snaps_.size());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : snaps_) copies.push_back(*s);
  }
  const SteadyTime now = steady_clock::now();
  for (size_t i = 0; i < copies.size(); ++i) list.push_back(SnapshotJson(i, copies[i], now));
  j["scales"] = std::move(list);
  return j;
}

std::string Gateway::Metrics() const {
  std::string m;
  const SteadyTime now = steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto name = [&](size_t i) { return "scale=\"" + Label(scales_[i]->cfg.name) + "\""; };
  m += "# HELP pesmo6d_readings_total Readings stored since start.\n# TYPE pesmo6d_readings_total counter\n";
  for (size_t i = 0; i < snaps_.size(); ++i)
    m += "pesmo6d_readings_total{" + name(i) + "} " + std::to_string(snaps_[i]->readings) + "\n";
  m += "# HELP pesmo6d_errors_total Failed updates by update code.\n# TYPE pesmo6d_errors_total counter\n";
  for (size_t i = 0; i < snaps_.size(); ++i) {
    for (const auto& [code, n] : snaps_[i]->errors)
      m += "pesmo6d_errors_total{" + name(i) + ",code=\"" + std::to_string(code) + "\"} " + std::to_string(n) + "\n";
  }
  m += "# HELP pesmo6d_reading_age_seconds Age of the latest reading.\n# TYPE pesmo6d_reading_age_seconds gauge\n";
  for (size_t i = 0; i < snaps_.size(); ++i) {
    if (!snaps_[i]->any) continue;
    char v[32];
    std::snprintf(v, sizeof v, "%.3f", duration<double>(now - snaps_[i]->steady).count());
    m += "pesmo6d_reading_age_seconds{" + name(i) + "} " + v + "\n";
  }
  m += "# HELP pesmo6d_scale_up 1 while the scale's last update succeeded.\n# TYPE pesmo6d_scale_up gauge\n";
  for (size_t i = 0; i < snaps_.size(); ++i)
    m += "pesmo6d_scale_up{" + name(i) + "} " + (snaps_[i]->error ? "0" : "1") + "\n";
  m += "# HELP pesmo6d_update_round_seconds Duration of the library's update rounds (all live scales in one wait).\n"
       "# TYPE pesmo6d_update_round_seconds histogram\n";
  uint64_t cumulative = 0;
  for (size_t b = 0; b < roundBuckets_.size(); ++b) {
    cumulative += roundBuckets_[b];
    char le[32];
    std::snprintf(le, sizeof le, "%g", kRoundBounds[b]);
    m += "pesmo6d_update_round_seconds_bucket{le=\"" + std::string(le) + "\"} " + std::to_string(cumulative) + "\n";
  }
  m += "pesmo6d_update_round_seconds_bucket{le=\"+Inf\"} " + std::to_string(roundCount_) + "\n";
  char sum[32];
  std::snprintf(sum, sizeof sum, "%.6f", roundSum_);
  m += "pesmo6d_update_round_seconds_sum " + std::string(sum) + "\n";
  m += "pesmo6d_update_round_seconds_count " + std::to_string(roundCount_) + "\n";
  return m;
}

// ---- Requests ----------------------------------------------------------------

std::future<Outcome> Gateway::Queue(std::unique_ptr<Job> job) {
  std::future<Outcome> f = job->promise.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || jobs_.size() >= kMaxQueued) {
      job->promise.set_value(Outcome{503, ErrorBody("busy", stopping_ ? "the gateway is stopping"
                                                                      : "too many requests waiting for the library")});
      return f;
    }
    jobs_.push_back(std::move(job));
  }
  wake_.notify_all();
  return f;
}

std::future<Outcome> Gateway::Read(size_t scale, std::optional<int> noMotionMs) {
  auto job = std::make_unique<Job>();
  job->kind = noMotionMs ? Job::NoMotion : Job::Read;
  job->scale = scale;
  job->noMotionMs = noMotionMs.value_or(0);
  return Queue(std::move(job));
}

std::future<Outcome> Gateway::Stable(size_t scale, int count, int limitS) {
  auto job = std::make_unique<Job>();
  job->kind = Job::Stable;
  job->scale = scale;
  job->count = count;
  job->limitS = limitS;
  return Queue(std::move(job));
}

// ---- The library thread ------------------------------------------------------

void Gateway::HookEntry(void*) {
  if (Gateway* g = g_owner.load()) g->Hook();
}

void Gateway::BytesEntry(int32_t canal, int32_t sentido, const uint8_t* b, int32_t n) {
  if (Gateway* g = g_owner.load()) g->OnBytes(canal, sentido, b, n);
}

void Gateway::OnBytes(int32_t canal, int32_t sentido, const uint8_t*, int32_t) {
  if (canal < 0 || sentido != 0 || static_cast<size_t>(canal) >= channelScale_.size()) return;
  const int i = channelScale_[static_cast<size_t>(canal)];
  if (i >= 0) scales_[static_cast<size_t>(i)]->lastByte = steady_clock::now();
}

// Runs once per pump pass while the library waits.  In a round it ends the
// updates of scales that went silent, so one dead scale does not hold the
// round for its whole wait; during a long job (a connection, a no-motion or
// stable read) it runs rounds of the other scales, so they go on reading.
void Gateway::Hook() {
  loopTick_ = steady_clock::now().time_since_epoch().count();
  if (stopping_) {
    for (size_t i : roundMembers_) {
      if (scales_[i]->ch >= 0) Close_Canal(scales_[i]->ch);
    }
    if (busy_ >= 0 && scales_[static_cast<size_t>(busy_)]->ch >= 0) Close_Canal(scales_[static_cast<size_t>(busy_)]->ch);
    return;
  }
  const SteadyTime now = steady_clock::now();
  auto silent = [&](Scale& s) {
    // A tag reader is silent while no tag is presented; its wait is short.
    if (s.silenced || s.ch < 0 || s.family->tag || now - s.lastByte <= milliseconds(s.cfg.silenceMs)) return;
    s.silenced = true;
    Log(Level::Debug, s.cfg.name + ": nothing received for " + std::to_string(s.cfg.silenceMs) + " ms, update ended");
    // A round member whose update already ended with its reading hears
    // nothing more either, and no export tells the two apart: what its
    // channel shows is kept, for the round's code to decide (the close
    // takes a converter channel's readouts with it).
    s.shownAtClose = Shown(s);
    Close_Canal(s.ch);
  };
  for (size_t i : roundMembers_) silent(*scales_[i]);
  if (busy_ >= 0 && jobUpdating_) silent(*scales_[static_cast<size_t>(busy_)]);
  // The job's own operation advances only between these rounds (the
  // library steps an operation from the wait that started it): leave it
  // 20 ms of its own between them, or a request family's exchange starves.
  if (roundDepth_ == 0 && jobDepth_ > 0 && now - lastNested_ >= milliseconds(20)) {
    RunRound(true);
    lastNested_ = steady_clock::now();
  }
}

void Gateway::Register(Scale& s) {
  if (s.ch >= 0) return;
  if (!s.cfg.converter.empty()) {
    auto it = converters_.find(s.cfg.converter);
    int32_t conv = it != converters_.end() ? it->second : Seta_Ip(s.cfg.converter.c_str());
    converters_[s.cfg.converter] = conv;
    const char line[2] = {s.cfg.line, 0};
    s.ch = s.family->network(conv, line);
  } else if (!s.cfg.device.empty()) {
    Seta_Porta(s.mappedPort, s.cfg.device.c_str());
    s.ch = s.family->serial(s.mappedPort);
  } else {
    s.ch = s.family->serial(s.cfg.port);
  }
  s.linkUp = false;
  if (s.ch >= 0) {
    if (static_cast<size_t>(s.ch) >= channelScale_.size()) channelScale_.resize(static_cast<size_t>(s.ch) + 1, -1);
    for (size_t k = 0; k < scales_.size(); ++k) {
      if (scales_[k].get() == &s) channelScale_[static_cast<size_t>(s.ch)] = static_cast<int>(k);
    }
  }
}

void Gateway::Unregister(Scale& s) {
  if (s.ch < 0) return;
  if (static_cast<size_t>(s.ch) < channelScale_.size()) channelScale_[static_cast<size_t>(s.ch)] = -1;
  Close_Canal(s.ch);
  Deleta_Canal(s.ch);
  s.ch = -1;
  s.linkUp = false;
}

// A converter scale's line, connected if needed; false (and the scale's
// error) when there is no connection.
bool Gateway::Connect(size_t i) {
  Scale& s = *scales_[i];
  if (s.cfg.converter.empty()) return true;
  const int saved = busy_;
  busy_ = static_cast<int>(i);
  ++jobDepth_;
  const bool up = Select_Canal(s.ch) == 1;
  --jobDepth_;
  busy_ = saved;
  s.linkUp = up;
  if (!up) Failure(i, 1, "no connection to " + s.cfg.Target());
  return up;
}

void Gateway::RunRound(bool nested) {
  const SteadyTime now = steady_clock::now();
  std::vector<size_t> members;
  for (size_t i = 0; i < scales_.size(); ++i) {
    Scale& s = *scales_[i];
    if (static_cast<int>(i) == busy_) continue;
    if (std::find(roundMembers_.begin(), roundMembers_.end(), i) != roundMembers_.end()) continue;
    const bool asked = !s.waiting.empty();
    if (!asked && !(s.cfg.live && now >= s.nextTry)) continue;
    // A scale that failed is tried alone (Probe), so that while it is dead
    // its waits never hold the others' rounds.
    if (s.failures > 0) continue;
    if (nested) {
      if (s.ch < 0 || (!s.cfg.converter.empty() && !s.linkUp)) continue;
    } else if (!Ready(i)) {
      std::vector<std::promise<Outcome>> waiting;
      waiting.swap(s.waiting);
      for (auto& p : waiting) Answer(i, snaps_[i]->errorCode, p, "read");
      continue;
    }
    members.push_back(i);
  }
  if (members.empty()) return;

  std::vector<int32_t> channels, codes(members.size(), 1);
  const SteadyTime start = steady_clock::now();
  for (size_t i : members) {
    scales_[i]->lastByte = start;
    scales_[i]->silenced = false;
    scales_[i]->shownAtClose.reset();
    channels.push_back(scales_[i]->ch);
  }
  const std::vector<size_t> outer = roundMembers_;
  roundMembers_.insert(roundMembers_.end(), members.begin(), members.end());
  ++roundDepth_;
  Update_Canais(channels.data(), static_cast<int32_t>(channels.size()), -1, codes.data());
  --roundDepth_;
  roundMembers_ = outer;
  const double took = duration<double>(steady_clock::now() - start).count();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++roundCount_;
    roundSum_ += took;
    for (size_t b = 0; b < std::size(kRoundBounds); ++b) {
      if (took <= kRoundBounds[b]) {
        ++roundBuckets_[b];
        break;
      }
    }
  }
  if (stopping_) return;  // ended by the stop, not by the scales
  for (size_t k = 0; k < members.size(); ++k) {
    const size_t i = members[k];
    Scale& s = *scales_[i];
    const int32_t code = codes[k];
    if (s.silenced && (code == 0 || code == 3)) {
      // Its update ended with a reading before the close (a close ends an
      // update still running with 1): the reading stands; the channel,
      // closed, is registered again at the next round.
      Reading(i, code, s.shownAtClose ? &*s.shownAtClose : nullptr);
      Unregister(s);
    } else if (code == 0 || code == 3) {
      Reading(i, code);
    } else if (code == 1 && s.family->tag && !s.silenced) {
      // No tag presented: the reader is there, nothing to store.
      std::lock_guard<std::mutex> lock(mutex_);
      snaps_[i]->code = code;
    } else if (s.silenced) {
      Failure(i, 1, "nothing received for " + std::to_string(s.cfg.silenceMs) + " ms");
      Unregister(s);  // closed to end its update: registered again at the next try
    } else {
      Failure(i, code, Reason(s.ch, code));
    }
    std::vector<std::promise<Outcome>> waiting;
    waiting.swap(s.waiting);
    for (auto& p : waiting) Answer(i, s.silenced ? 1 : code, p, "read");
  }
}

// What the scale's channel shows now.
Gateway::Snapshot Gateway::Shown(const Scale& s) const {
  const int32_t ch = s.ch;
  Snapshot v;
  v.status = Utf8(Estado_Canal(ch));
  v.gross = Utf8(Gross_Canal(ch));
  v.net = Utf8(Net_Canal(ch));
  v.tare = Utf8(Tare_Canal(ch));
  if (s.family->tag) v.tag = Utf8(Tag_Canal(ch));
  if (s.family->total) v.total = Utf8(Total_Canal(ch));
  v.motion = std::string(Estado_EmMovimento(ch)) == "S";
  return v;
}

// A stored reading: what the channel shows now, or `shown`, taken before a
// close that came after the update had ended.
void Gateway::Reading(size_t i, int32_t code, const Snapshot* shown) {
  Scale& s = *scales_[i];
  s.failures = 0;
  s.nextTry = SteadyTime{};
  Snapshot fresh = shown != nullptr ? *shown : Shown(s);
  const std::string status = fresh.status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Snapshot& snap = *snaps_[i];
    snap.code = code;
    snap.any = true;
    snap.gross = std::move(fresh.gross);
    snap.net = std::move(fresh.net);
    snap.tare = std::move(fresh.tare);
    snap.grossValue = pesmo6tools::Number(snap.gross);
    snap.netValue = pesmo6tools::Number(snap.net);
    snap.tareValue = pesmo6tools::Number(snap.tare);
    snap.status = status;
    snap.tag = std::move(fresh.tag);
    snap.total = std::move(fresh.total);
    snap.motion = fresh.motion;
    snap.netMode = status.size() >= 2 && status[1] == 'S';
    snap.overload = code == 3 || (status.size() >= 4 && status[3] == 'S');
    snap.unit = pesmo6tools::StatusUnit(status);
    snap.time = system_clock::now();
    snap.steady = steady_clock::now();
    ++snap.readings;
    if (snap.error) Log(Level::Info, s.cfg.name + ": reading again after: " + snap.errorMessage);
    snap.error = false;
  }
  Publish("reading", i);
}

void Gateway::Failure(size_t i, int32_t code, const std::string& message) {
  Scale& s = *scales_[i];
  ++s.failures;
  const int shift = std::min(s.failures - 1, 20);
  const long long delay = std::min<long long>(static_cast<long long>(config_.retryMinMs) << shift, config_.retryMaxMs);
  s.nextTry = steady_clock::now() + milliseconds(delay);
  if (!s.cfg.converter.empty()) s.linkUp = false;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Snapshot& snap = *snaps_[i];
    snap.code = code;
    ++snap.errors[code];
    if (!snap.error || snap.errorCode != code || snap.errorMessage != message) {
      changed = true;
      if (!snap.error) snap.errorSince = system_clock::now();
      snap.error = true;
      snap.errorCode = code;
      snap.errorMessage = message;
    }
  }
  if (changed) {
    Log(Level::Warn, s.cfg.name + " (" + s.cfg.Target() + "): " + message + "; retrying");
    Publish("error", i);
  }
}

void Gateway::Answer(size_t i, int32_t code, std::promise<Outcome>& p, const std::string& what) {
  Outcome o;
  if (code == 0 || code == 3) {
    o.body = ScaleJson(i);
  } else {
    std::string detail;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      detail = snaps_[i]->error ? snaps_[i]->errorMessage : CodeText(code);
    }
    const bool unreachable = code == 4 || code == -1 || detail.rfind("no connection", 0) == 0;
    o.status = unreachable ? 503 : 504;
    o.body = ErrorBody(unreachable ? "scale unreachable" : what + " timed out", detail);
    o.body["code"] = code;
    o.body["scale"] = ScaleJson(i);
  }
  p.set_value(std::move(o));
}

void Gateway::Publish(const std::string& kind, size_t i) {
  if (listeners_.empty()) return;
  const std::string json = ScaleJson(i).dump();
  for (const auto& l : listeners_) l(kind, i, json);
}

// The scale's channel, registered and connected, ready for an update; else
// its failure is recorded and false returned.
bool Gateway::Ready(size_t i) {
  Scale& s = *scales_[i];
  if (!s.cfg.device.empty() && access(s.cfg.device.c_str(), F_OK) != 0) {
    // Not there at all (unplugged, or a simulator gone): no need to let the
    // library try for its start limit.
    Unregister(s);
    Failure(i, 4, "the port did not open: " + s.cfg.device + ": " + std::strerror(errno));
    return false;
  }
  Register(s);
  if (s.ch < 0) {
    Failure(i, -1, "registration refused: " + Utf8(Erro_Validacao()));
    return false;
  }
  return Connect(i);
}

// One update of a single scale while rounds of the others run from the
// hook: a failing scale's retry, a no-motion read, a stable read.
int32_t Gateway::Alone(size_t i, const std::function<int32_t(int32_t)>& update) {
  Scale& s = *scales_[i];
  busy_ = static_cast<int>(i);
  s.lastByte = steady_clock::now();
  s.silenced = false;
  ++jobDepth_;
  jobUpdating_ = true;
  int32_t code = update(s.ch);
  jobUpdating_ = false;
  --jobDepth_;
  busy_ = -1;
  if (stopping_) return 1;
  if (s.silenced) {
    Failure(i, 1, "nothing received for " + std::to_string(s.cfg.silenceMs) + " ms");
    Unregister(s);  // closed to end its update: registered again at the next try
    code = 1;
  }
  return code;
}

void Gateway::Probe(size_t i) {
  Scale& s = *scales_[i];
  std::vector<std::promise<Outcome>> waiting;
  waiting.swap(s.waiting);
  int32_t code = 1;
  if (Ready(i)) {
    code = Alone(i, [](int32_t ch) { return Update_Canal(ch); });
    if (stopping_) {
      // Ended by the stop: no failure of the scale.
    } else if (code == 0 || code == 3) {
      Reading(i, code);
    } else if (!s.silenced) {
      Failure(i, code, Reason(s.ch, code));
    }
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    code = snaps_[i]->errorCode;
  }
  for (auto& p : waiting) Answer(i, code, p, "read");
}

void Gateway::RunJob(Job& job) {
  const size_t i = job.scale;
  Scale& s = *scales_[i];
  if (!Ready(i)) {
    int32_t code;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      code = snaps_[i]->errorCode;
    }
    Answer(i, code, job.promise, "read");
    return;
  }
  const Job::Kind kind = job.kind;
  const int noMotion = job.noMotionMs, limit = job.limitS, count = job.count;
  int32_t code = Alone(i, [&](int32_t ch) {
    return kind == Job::NoMotion ? Update_NoMotion(ch, noMotion) : LePesoConsecutivo(ch, limit, count);
  });
  if (s.silenced) {
    // Recorded by Alone.
  } else if (code == 0 || code == 3) {
    Reading(i, code);
  } else if (code == 2 || code == 7) {
    // The scale answered, only not still enough: no fault of the scale.
    std::lock_guard<std::mutex> lock(mutex_);
    snaps_[i]->code = code;
  } else {
    Failure(i, code, Reason(s.ch, code));
  }
  Answer(i, code, job.promise, job.kind == Job::Stable ? "stable read" : "no-motion read");
}

// What the library thread runs for a request, for /healthz (none: nothing).
void Gateway::Hold(const Job* job) {
  std::string what;
  if (job) {
    switch (job->kind) {
      case Job::Read: what = "read of " + scales_[job->scale]->cfg.name; break;
      case Job::NoMotion: what = "no-motion read of " + scales_[job->scale]->cfg.name; break;
      case Job::Stable: what = "stable read of " + scales_[job->scale]->cfg.name; break;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  heldBy_ = std::move(what);
  heldSince_ = steady_clock::now();
}

void Gateway::Run() {
  // The library's reasons for failures, in the API's language.
  Seta_Idioma(1);
  Seta_Eventos(&Gateway::HookEntry, nullptr);
  Seta_Trafego(&Gateway::BytesEntry);
  Log(Level::Info, "library thread started with " + std::to_string(scales_.size()) + " scales");
  while (true) {
    loopTick_ = steady_clock::now().time_since_epoch().count();
    std::unique_ptr<Job> job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      if (!jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    if (job) {
      if (job->kind == Job::Read) {
        scales_[job->scale]->waiting.push_back(std::move(job->promise));
      } else {
        Hold(job.get());
        RunJob(*job);
        Hold();
        // Jobs that run alone one after the other would leave the live
        // scales only the rounds run between their steps: a whole round of
        // their own comes between two.
        RunRound(false);
      }
      continue;
    }
    RunRound(false);
    for (size_t i = 0; i < scales_.size(); ++i) {
      Scale& s = *scales_[i];
      if (s.failures > 0 && (!s.waiting.empty() || (s.cfg.live && steady_clock::now() >= s.nextTry))) Probe(i);
    }
    if (!started_) {
      loopTick_ = steady_clock::now().time_since_epoch().count();
      started_ = true;
      Log(Level::Debug, "every scale tried once: ready");
    }
    // Nothing due: sleep until the next retry or a request.
    SteadyTime next = steady_clock::now() + milliseconds(200);
    bool due = false;
    for (const auto& s : scales_) {
      if (!s->waiting.empty()) due = true;
      if (s->cfg.live) {
        if (s->nextTry <= steady_clock::now()) due = true;
        next = std::min(next, s->nextTry);
      }
    }
    if (due) continue;
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, next, [&] { return stopping_ || !jobs_.empty(); });
  }
  // Whatever is still waiting gets its answer, then the channels go.
  std::deque<std::unique_ptr<Job>> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(jobs_);
  }
  for (auto& j : left) j->promise.set_value(Outcome{503, ErrorBody("busy", "the gateway is stopping")});
  for (auto& s : scales_) {
    for (auto& p : s->waiting) p.set_value(Outcome{503, ErrorBody("busy", "the gateway is stopping")});
    s->waiting.clear();
    Unregister(*s);
  }
  Seta_Eventos(nullptr, nullptr);
  Seta_Trafego(nullptr);
  Log(Level::Info, "library thread stopped");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  wake_.notify_all();
}

}  // namespace pesmo6d
