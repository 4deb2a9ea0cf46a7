// The gateway's core: one thread owns the library and runs every scale's
// updates; the HTTP and MQTT threads read snapshots and queue requests.
#ifndef PESMO6D_GATEWAY_H
#define PESMO6D_GATEWAY_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Config.h"

namespace pesmo6d {

using Json = nlohmann::ordered_json;
using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// What a request to the library thread ends with: an HTTP status and the
// body (a scale, a converter's answer, or an error object).
struct Outcome {
  int status = 200;
  Json body;
};

Json ErrorBody(const std::string& what, const std::string& detail);

// A converter command for the library thread.
struct DioRequest {
  std::string converter;
  enum Kind { Inputs, OutPort, OutBit, ClearRx, ClearTx } kind = Inputs;
  int value = 0;  // OutPort: 0..255
  int bit = 0;    // OutBit: 0..31
  bool state = false;
  char line = 'A';
  std::string client;  // the client's address and the role it came with, for the log
  std::string role;
};

class Gateway {
 public:
  // An event for the SSE and MQTT threads: kind "reading" or "error", the
  // scale's index, and the scale as one line of JSON.
  using Listener = std::function<void(const std::string& kind, size_t scale, const std::string& json)>;

  explicit Gateway(const Config& config);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  void Start();
  // Ends the library thread: queued requests are answered 503 at once, a
  // running update ends at its next wait.  False when the thread has not
  // ended within GRACE (a stable read runs to its own limit: the library
  // cannot be interrupted); the process must then exit without it.
  bool Stop(std::chrono::milliseconds grace = std::chrono::milliseconds::max());

  const Config& Settings() const { return config_; }
  // Index of the scale called NAME, or -1.
  int Find(const std::string& name) const;
  bool KnownConverter(const std::string& address) const;
  Json ScaleJson(size_t scale) const;
  Json ScalesJson() const;
  std::string Metrics() const;
  // What /healthz tells: "starting" until the library thread has gone
  // once over every scale, "ok" while it goes round, "stalled" when it has
  // not gone round for 30 s; with what holds the library thread, if a
  // request does.
  struct Health {
    std::string status;
    double loopAgeS = 0;
    std::string heldBy;  // empty: no request holds the library thread
    double heldS = 0;
  };
  Health Healthz() const;

  // Listeners are called on the library thread and must not block.
  void AddListener(Listener l);

  // A fresh update of one scale (normal, or no-motion within ms).
  std::future<Outcome> Read(size_t scale, std::optional<int> noMotionMs);
  // LePesoConsecutivo(count readings within limitS seconds).
  std::future<Outcome> Stable(size_t scale, int count, int limitS);

 private:
  struct Snapshot;
  struct Scale;
  struct Job;

  void Run();
  void Register(Scale& s);
  void Unregister(Scale& s);
  bool Connect(size_t i);
  void RunRound(bool nested);
  bool Ready(size_t i);
  int32_t Alone(size_t i, const std::function<int32_t(int32_t)>& update);
  void Probe(size_t i);
  void RunJob(Job& job);
  void Hold(const Job* job = nullptr);
  Snapshot Shown(const Scale& s) const;
  void Reading(size_t i, int32_t code, const Snapshot* shown = nullptr);
  void Failure(size_t i, int32_t code, const std::string& message);
  void Answer(size_t i, int32_t code, std::promise<Outcome>& p, const std::string& what);
  void Publish(const std::string& kind, size_t i);
  std::future<Outcome> Queue(std::unique_ptr<Job> job);
  Json SnapshotJson(size_t i, const Snapshot& s, SteadyTime now) const;
  void Hook();
  void OnBytes(int32_t canal, int32_t sentido, const uint8_t* b, int32_t n);
  static void HookEntry(void* self);
  static void BytesEntry(int32_t canal, int32_t sentido, const uint8_t* b, int32_t n);

  const Config config_;
  std::vector<std::unique_ptr<Scale>> scales_;  // library thread only, but for the fixed config
  std::vector<std::unique_ptr<Snapshot>> snaps_;  // guarded by mutex_
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::unique_ptr<Job>> jobs_;  // guarded by mutex_
  std::vector<Listener> listeners_;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> loopTick_{0};
  std::atomic<bool> started_{false};
  bool finished_ = false;  // guarded by mutex_: Run() has returned  // the first pass over the scales is done
  std::string heldBy_;  // guarded by mutex_: the request the library thread runs
  SteadyTime heldSince_{};
  std::thread thread_;

  // Library thread state.
  int roundDepth_ = 0;
  int jobDepth_ = 0;
  int busy_ = -1;  // the scale whose job is running
  SteadyTime lastNested_{};
  bool jobUpdating_ = false;  // the job's update runs (not its connection)
  std::vector<size_t> roundMembers_;
  std::vector<int> channelScale_;  // channel number -> scale index
  std::map<std::string, int32_t> converters_;
  // Round durations for /metrics (guarded by mutex_).
  std::vector<uint64_t> roundBuckets_;
  double roundSum_ = 0;
  uint64_t roundCount_ = 0;
};

}  // namespace pesmo6d

#endif
