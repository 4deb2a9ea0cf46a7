#include "Commands.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Log.h"
#include "pesmo6.h"

extern char** environ;

namespace pesmo6d {

using namespace std::chrono;

namespace {

constexpr size_t kMaxQueuedPerConverter = 16;
constexpr size_t kMaxLine = 4096;

// The command's text for the helper: one line, fields split by blanks.
std::string HelperLine(const DioRequest& d) {
  switch (d.kind) {
    case DioRequest::Inputs: return "IN";
    case DioRequest::OutPort: return "OP " + std::to_string(d.value);
    case DioRequest::OutBit: return "OB " + std::to_string(d.bit) + " " + (d.state ? "S" : "N");
    case DioRequest::ClearRx: return std::string("R ") + d.line;
    case DioRequest::ClearTx: return std::string("W ") + d.line;
  }
  return "IN";
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out.empty() ? "-" : out;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (size_t k = 0; k + 1 < hex.size(); k += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16)));
  return out;
}

// A reply for the log: printable ASCII, the rest escaped.
std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 32 && c < 127) {
      out.push_back(static_cast<char>(c));
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    }
  }
  return out;
}

std::string Describe(const DioRequest& d) {
  switch (d.kind) {
    case DioRequest::Inputs: return "read inputs";
    case DioRequest::OutPort: return "outputs = " + std::to_string(d.value);
    case DioRequest::OutBit: return "output bit " + std::to_string(d.bit) + (d.state ? " on" : " off");
    case DioRequest::ClearRx: return std::string("clear rx of line ") + d.line;
    case DioRequest::ClearTx: return std::string("clear tx of line ") + d.line;
  }
  return "";
}

}  // namespace

struct ConverterCommands::Lane {
  struct Pending {
    DioRequest d;
    SteadyTime deadline;
    std::promise<Outcome> promise;
  };

  std::string address;
  milliseconds timeout{5000};
  int stopFd = -1;
  mutable std::mutex m;
  std::condition_variable cv;
  std::deque<std::unique_ptr<Pending>> queue;  // guarded by m
  bool stopping = false;                       // guarded by m
  std::string running;                         // guarded by m: the command running
  SteadyTime runningSince{};
  uint64_t restarts = 0;  // guarded by m
  std::thread thread;

  // The helper (the lane's thread only).
  pid_t pid = -1;
  int fd = -1;
  std::string in;  // what the helper wrote that is not yet a whole line

  void Loop();
  bool Spawn();
  void Kill();
  Outcome Execute(Pending& p);
  // The helper's next line before DEADLINE; false at the deadline, at the
  // stop or when the helper is gone (`why` tells).
  bool ReadLine(SteadyTime deadline, std::string& line, std::string& why);
};

bool ConverterCommands::Lane::Spawn() {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, sv[1], 0);
  posix_spawn_file_actions_adddup2(&actions, sv[1], 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The gateway blocks SIGINT and SIGTERM in every thread (one thread waits
  // for them): the helper takes them as any program does.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  char self[] = "/proc/self/exe";
  std::string name = "pesmo6d", flag = "--converter-helper", addr = address;
  char* argv[] = {name.data(), flag.data(), addr.data(), nullptr};
  pid_t child = -1;
  const int rc = posix_spawn(&child, self, &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(sv[1]);
  if (rc != 0) {
    close(sv[0]);
    Log(Level::Error, "converter " + address + ": cannot start the command helper: " + std::strerror(rc));
    return false;
  }
  pid = child;
  fd = sv[0];
  in.clear();
  Log(Level::Debug, "converter " + address + ": command helper " + std::to_string(pid) + " started");
  return true;
}

void ConverterCommands::Lane::Kill() {
  if (pid > 0) {
    std::lock_guard<std::mutex> lock(m);
    ++restarts;
  }
  if (pid > 0) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (fd >= 0) close(fd);
  pid = -1;
  fd = -1;
  in.clear();
}

bool ConverterCommands::Lane::ReadLine(SteadyTime deadline, std::string& line, std::string& why) {
  while (true) {
    const size_t nl = in.find('\n');
    if (nl != std::string::npos) {
      line = in.substr(0, nl);
      in.erase(0, nl + 1);
      return true;
    }
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) {
      why = "deadline";
      return false;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int n = poll(fds, 2, static_cast<int>(std::min<long long>(left, 60000)));
    if (n < 0 && errno != EINTR) {
      why = "gone";
      return false;
    }
    if (n <= 0) continue;
    if (fds[1].revents) {
      why = "stop";
      return false;
    }
    char buf[512];
    const ssize_t got = read(fd, buf, sizeof buf);
    if (got <= 0) {
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      why = "gone";
      return false;
    }
    in.append(buf, static_cast<size_t>(got));
    if (in.size() > kMaxLine) {
      why = "gone";
      return false;
    }
  }
}

Outcome ConverterCommands::Lane::Execute(Pending& p) {
  const DioRequest& d = p.d;
  Json j;
  j["converter"] = address;
  if (fd < 0 && !Spawn()) return Outcome{503, ErrorBody("converter unreachable", "the command helper did not start")};
  const std::string text = HelperLine(d) + "\n";
  if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
    // The helper died between two commands: a fresh one, once.
    Kill();
    if (!Spawn() || send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
      Kill();
      return Outcome{503, ErrorBody("converter unreachable", "the command helper did not start")};
    }
  }
  bool sent = false;
  std::string line, why;
  while (ReadLine(p.deadline, line, why)) {
    if (line == "sent") {
      sent = true;
      continue;
    }
    // "done RESULT REPLYHEX"
    char reply[kMaxLine + 1] = {0};
    int r = -1;
    if (std::sscanf(line.c_str(), "done %d %4096s", &r, reply) != 2) {
      why = "gone";
      break;
    }
    const std::string answer = Unhex(reply);
    // The output exports report "sent" even when nothing answered: the
    // converter's own " OK" is what tells.
    const bool answered = answer.find(" OK") != std::string::npos;
    // The audit line of every command: who asked, in which role, what went
    // to the converter and what it answered.
    Log(Level::Info, "audit: converter " + address + ": " + Describe(d) + " for " +
                         (d.client.empty() ? std::string("?") : d.client) + (d.role.empty() ? "" : " (" + d.role + ")") +
                         ": " + (sent ? "sent" : "not sent") + ", reply \"" + Printable(answer) + "\"");
    if (r < 0 || !answered) {
      Outcome o{503, ErrorBody("converter unreachable",
                               "converter " + address + (answer.empty() ? " did not answer" : " gave no valid reply"))};
      o.body["sent"] = sent;
      return o;
    }
    switch (d.kind) {
      case DioRequest::Inputs: {
        std::string pattern;
        for (int b = 0; b < 8; ++b) pattern += (r >> b) & 1 ? 'S' : 'N';
        j["value"] = r;
        j["inputs"] = pattern;
        break;
      }
      case DioRequest::OutPort:
        j["value"] = d.value;
        break;
      case DioRequest::OutBit:
        j["bit"] = d.bit;
        j["state"] = d.state;
        break;
      case DioRequest::ClearRx:
      case DioRequest::ClearTx:
        j["line"] = std::string(1, d.line);
        j["buffer"] = d.kind == DioRequest::ClearRx ? "rx" : "tx";
        break;
    }
    return Outcome{200, j};
  }
  // Ended before the converter answered: the helper goes with whatever it
  // still had to send, and is reaped before the client hears of it.
  Kill();
  Log(Level::Warn, "audit: converter " + address + ": " + Describe(d) + " for " +
                       (d.client.empty() ? std::string("?") : d.client) + (d.role.empty() ? "" : " (" + d.role + ")") + ": " +
                       (why == "deadline" ? "no answer in time" : why == "stop" ? "ended by the stop" : "helper lost") +
                       ", " + (sent ? "sent" : "not sent"));
  Outcome o;
  if (why == "deadline") {
    o = Outcome{504, ErrorBody("converter timed out", "converter " + address + " did not answer within " +
                                                          std::to_string(timeout.count()) + " ms; the command was " +
                                                          (sent ? "sent" : "not sent"))};
  } else {
    o = Outcome{503, ErrorBody(why == "stop" ? "busy" : "converter unreachable",
                               why == "stop" ? "the gateway is stopping" : "the command helper ended")};
  }
  o.body["sent"] = sent;
  return o;
}

void ConverterCommands::Lane::Loop() {
  while (true) {
    std::unique_ptr<Pending> p;
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return stopping || !queue.empty(); });
      if (stopping) break;
      p = std::move(queue.front());
      queue.pop_front();
      if (steady_clock::now() >= p->deadline) {
        lock.unlock();
        Outcome o{504, ErrorBody("converter timed out", "converter " + address +
                                                            ": the command waited its whole time behind others; not sent")};
        o.body["sent"] = false;
        p->promise.set_value(std::move(o));
        continue;
      }
      running = Describe(p->d);
      runningSince = steady_clock::now();
    }
    Outcome o = Execute(*p);
    {
      std::lock_guard<std::mutex> lock(m);
      running.clear();
    }
    p->promise.set_value(std::move(o));
  }
  Kill();
}

ConverterCommands::ConverterCommands(const Config& config) {
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  if (stopFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  for (const auto& s : config.scales) {
    if (s.converter.empty()) continue;
    bool seen = false;
    for (const auto& l : lanes_) seen = seen || l->address == s.converter;
    if (seen) continue;
    auto lane = std::make_unique<Lane>();
    lane->address = s.converter;
    lane->timeout = milliseconds(config.commandTimeoutMs);
    lane->stopFd = stopFd_;
    lanes_.push_back(std::move(lane));
  }
  for (auto& l : lanes_) l->thread = std::thread([lane = l.get()] { lane->Loop(); });
}

ConverterCommands::~ConverterCommands() {
  Stop();
  close(stopFd_);
}

void ConverterCommands::Stop() {
  const uint64_t one = 1;
  if (write(stopFd_, &one, sizeof one) < 0) {
    // Cannot fail on an eventfd below its maximum; the flags below still stop the lanes.
  }
  for (auto& l : lanes_) {
    std::deque<std::unique_ptr<Lane::Pending>> dropped;
    {
      std::lock_guard<std::mutex> lock(l->m);
      l->stopping = true;
      dropped.swap(l->queue);
    }
    l->cv.notify_all();
    for (auto& p : dropped) {
      Outcome o{503, ErrorBody("busy", "the gateway is stopping; the command was not sent")};
      o.body["sent"] = false;
      p->promise.set_value(std::move(o));
    }
  }
  for (auto& l : lanes_) {
    if (l->thread.joinable()) l->thread.join();
  }
}

std::future<Outcome> ConverterCommands::Run(const DioRequest& request) {
  auto p = std::make_unique<Lane::Pending>();
  p->d = request;
  std::future<Outcome> f = p->promise.get_future();
  Lane* lane = nullptr;
  for (auto& l : lanes_) {
    if (l->address == request.converter) lane = l.get();
  }
  if (!lane) {
    p->promise.set_value(Outcome{404, ErrorBody("unknown converter", "no scale of the configuration is on converter \"" +
                                                                         request.converter + "\"")});
    return f;
  }
  p->deadline = steady_clock::now() + lane->timeout;
  {
    std::lock_guard<std::mutex> lock(lane->m);
    if (lane->stopping || lane->queue.size() >= kMaxQueuedPerConverter) {
      Outcome o{503, ErrorBody("busy", lane->stopping ? "the gateway is stopping"
                                                      : "too many commands waiting for converter " + lane->address)};
      o.body["sent"] = false;
      p->promise.set_value(std::move(o));
      return f;
    }
    lane->queue.push_back(std::move(p));
  }
  lane->cv.notify_one();
  return f;
}

Json ConverterCommands::Status() const {
  Json list = Json::array();
  const SteadyTime now = steady_clock::now();
  for (const auto& l : lanes_) {
    std::lock_guard<std::mutex> lock(l->m);
    Json j;
    j["converter"] = l->address;
    j["queued"] = l->queue.size();
    j["running"] = l->running.empty() ? Json(nullptr) : Json(l->running);
    j["running_s"] = l->running.empty() ? Json(nullptr) : Json(duration<double>(now - l->runningSince).count());
    j["helper_restarts"] = l->restarts;
    list.push_back(std::move(j));
  }
  return list;
}

// ---- The helper process ------------------------------------------------------

namespace {

std::string g_reply;
bool g_sent = false;

void WriteAll(const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = write(1, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(0);  // the gateway is gone
    off += static_cast<size_t>(n);
  }
}

void PESMO6_CALL Tap(int32_t canal, int32_t sentido, const uint8_t* b, int32_t n) {
  if (canal >= 0) return;
  if (sentido == 0) {
    g_reply.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
  } else if (!g_sent) {
    // Written to the converter: from here on the command may have acted.
    g_sent = true;
    WriteAll("sent\n");
  }
}

}  // namespace

int RunConverterHelper(const char* address) {
  // Nothing of the gateway's (its listening socket, serial ports) stays open
  // here, and the helper ends with the gateway's thread that started it.
  close_range(3, ~0U, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() == 1) return 0;
  std::signal(SIGPIPE, SIG_IGN);
  Seta_Trafego(&Tap);
  const int32_t conv = Seta_Ip(address);
  std::string in;
  char buf[256];
  while (true) {
    const size_t nl = in.find('\n');
    if (nl == std::string::npos) {
      if (in.size() > 64) return 2;
      const ssize_t n = read(0, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 0;
      in.append(buf, static_cast<size_t>(n));
      continue;
    }
    const std::string line = in.substr(0, nl);
    in.erase(0, nl + 1);
    char op[4] = {0}, arg2[4] = {0};
    int a = 0;
    g_reply.clear();
    g_sent = false;
    int32_t r = -1;
    if (line == "IN") {
      r = DIO_InPort(conv);
    } else if (std::sscanf(line.c_str(), "OP %d", &a) == 1) {
      r = DIO_OutPort(conv, a);
    } else if (std::sscanf(line.c_str(), "OB %d %1s", &a, arg2) == 2) {
      r = DIO_OutBitStr(conv, a, arg2);
    } else if (std::sscanf(line.c_str(), "%1s %1s", op, arg2) == 2 && (op[0] == 'R' || op[0] == 'W')) {
      r = op[0] == 'R' ? ClrBufRx(conv, arg2) : ClrBufTx(conv, arg2);
    } else {
      return 2;
    }
    WriteAll("done " + std::to_string(r) + " " + Hex(g_reply.substr(0, 1024)) + "\n");
  }
}

}  // namespace pesmo6d
