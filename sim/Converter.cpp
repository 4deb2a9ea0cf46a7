#include "Converter.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "SocketCompat.h"

namespace pesmo6sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr char kTerminator[] = " OK\n\r";

sockaddr_in Endpoint(const std::string& address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

Socket Listen(const std::string& address, uint16_t port) {
  const Socket fd = OpenSocket(SOCK_STREAM);
  if (fd == kNoSocket) return kNoSocket;
  ReuseAddress(fd);
  const sockaddr_in a = Endpoint(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
    CloseSocket(fd);
    return kNoSocket;
  }
  return fd;
}

// A UDP socket on 127.0.0.1 connected to itself: a datagram sent on it makes
// the converter thread's poll return.
Socket WakeSocket() {
  const Socket fd = OpenSocket(SOCK_DGRAM);
  if (fd == kNoSocket) throw std::runtime_error("cannot make the wake socket");
  sockaddr_in a = Endpoint("127.0.0.1", 0);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    CloseSocket(fd);
    throw std::runtime_error("cannot make the wake socket");
  }
  return fd;
}

void SendAll(Socket fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const auto n = send(fd, bytes.data() + done, static_cast<int>(bytes.size() - done), kNoSignal);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && WouldBlock()) {
      pollfd p{fd, POLLOUT, 0};
      if (PollSockets(&p, 1, 200) <= 0) return;
    } else {
      return;
    }
  }
}

}  // namespace

std::string UniqueLoopback() {
  static std::atomic<unsigned> counter{0};
  const unsigned n = counter++;
  const unsigned pid = ProcessId();
  return "127." + std::to_string(1 + pid % 250) + "." + std::to_string(1 + (pid / 250) % 250) + "." +
         std::to_string(2 + n % 250);
}

struct Converter::State {
  struct Line {
    Socket listener = kNoSocket;
    std::string frame;
    std::function<std::string()> generator;
    std::function<std::string(const std::string&)> responder;
    std::chrono::milliseconds period{20};
    // The serial line behind the port: bytes reach the clients once the
    // wire would have carried them whole (default 4800 baud at 7E1).
    std::chrono::microseconds pace{2084};
    Clock::time_point wireFree = Clock::now();
    bool whole = false;  // frames handed over whole once carried
    std::function<void(Clock::time_point, const std::string&)> onFrameOut;
    std::map<uint64_t, std::string> frameTexts;  // frames not yet out, for onFrameOut
    bool listening = true;  // as set by SetLineListening, kept across PowerOff
    Clock::time_point next = Clock::now();
    int accepted = 0;
    std::string received;
  };
  struct Conn {
    Socket fd;
    int kind;  // 0 command port, 1..4 a line
    std::string input;
  };
  struct Scheduled {
    Clock::time_point when;
    Socket fd;
    std::string bytes;
    bool close;
    int line = 0;         // a generated frame's first byte: its line,
    size_t frameLen = 0;  // and the frame's length
    int wire = 0;         // the line whose wire carries it (0: none)
    uint64_t frame = 0;   // the periodic frame it belongs to (0: none)
  };
  uint64_t nextFrame = 1;

  std::string address;
  mutable std::mutex mutex;
  Socket wake = kNoSocket;
  bool stop = false;
  Socket commandListener = kNoSocket;
  Line lines[5];
  std::map<Socket, Conn> conns;
  // What is due later, one queue per wire (0: the command port's replies
  // and closes), each in time order: a pass looks only at the fronts, so a
  // 70,000-byte injection costs nothing per pass but the bytes that are due.
  std::deque<Scheduled> scheduled[5];

  void Schedule(Scheduled s) {
    std::deque<Scheduled>& q = scheduled[s.wire];
    auto at = q.end();
    while (at != q.begin() && std::prev(at)->when > s.when) --at;
    q.insert(at, std::move(s));
  }
  CommandMode mode = CommandMode::Normal;
  bool poweredOff = false;
  std::string fixedReply;
  std::vector<std::string> commands;
  int commandConnections = 0;
  int inputs = 0;
  int outputs = 0;
  std::map<std::pair<char, int>, int> clears;
  std::thread thread;

  void Wake() {
    const char one = 1;
    send(wake, &one, 1, 0);  // a full buffer already holds a wake
  }

  void CloseConn(Socket fd) {
    // What was still due for it must not reach a later connection that
    // gets the same descriptor.
    for (auto& q : scheduled) std::erase_if(q, [fd](const Scheduled& x) { return x.fd == fd; });
    conns.erase(fd);
    CloseSocket(fd);
  }

  // Bytes for line l's clients: at once without a pace, otherwise each at
  // the end of its character time on the line's wire, after what is queued.
  void Send(int l, const std::vector<Socket>& fds, const std::string& bytes, bool frame = false) {
    Line& line = lines[l];
    if (line.pace.count() == 0) {
      if (frame && line.onFrameOut && !fds.empty()) line.onFrameOut(Clock::now(), bytes);
      for (Socket fd : fds) SendAll(fd, bytes);
      return;
    }
    const auto now = Clock::now();
    if (line.wireFree < now) line.wireFree = now;
    const bool whole = frame && line.whole;
    const uint64_t id = frame ? nextFrame++ : 0;
    if (id != 0 && line.onFrameOut) line.frameTexts[id] = bytes;
    const auto end = line.wireFree + line.pace * static_cast<long>(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
      line.wireFree += line.pace;
      const bool first = frame && i == 0;
      for (Socket fd : fds) {
        Schedule({whole ? end : line.wireFree, fd, std::string(1, bytes[i]), false, first ? l : 0,
                  first ? bytes.size() : 0, l, id});
      }
    }
  }

  // The indicator shows something new: periodic frames of line l that have
  // not begun on the wire are dropped (the next one is made from what it
  // shows now); a frame under way ends as it began.
  void DropUnstartedFrames(int l) {
    std::deque<Scheduled>& q = scheduled[l];
    std::vector<uint64_t> unstarted;
    for (const Scheduled& s : q) {
      if (s.line == l && s.frame != 0) unstarted.push_back(s.frame);
    }
    if (unstarted.empty()) return;
    std::erase_if(q, [&](const Scheduled& s) {
      return s.frame != 0 && std::find(unstarted.begin(), unstarted.end(), s.frame) != unstarted.end();
    });
    Line& line = lines[l];
    for (uint64_t id : unstarted) line.frameTexts.erase(id);
    line.wireFree = Clock::now();
    if (!q.empty() && q.back().when > line.wireFree) line.wireFree = q.back().when;
    line.next = line.wireFree;
  }

  std::vector<Socket> Clients(int l) const {
    std::vector<Socket> fds;
    for (const auto& [fd, c] : conns) {
      if (c.kind == l) fds.push_back(fd);
    }
    return fds;
  }

  std::string Reply(const std::string& command) {
    if (command == "IN") {
      char digits[8];
      std::snprintf(digits, sizeof digits, "%03d", inputs % 1000);
      return std::string("IN") + digits + kTerminator;
    }
    if (command.rfind("OP", 0) == 0) {
      outputs = std::atoi(command.c_str() + 2);
    } else if (command.rfind("OB", 0) == 0 && command.size() >= 4) {
      const int bit = std::atoi(command.c_str() + 3);
      if (command[2] == '1') outputs |= 1 << (bit & 31);
      else outputs &= ~(1 << (bit & 31));
    } else if ((command[0] == 'R' || command[0] == 'W') && command.size() == 2) {
      ++clears[{command[0], command[1] - 'A' + 1}];
    }
    return kTerminator;
  }

  void Answer(Socket fd, const std::string& command) {
    commands.push_back(command);
    const std::string reply = Reply(command);
    const auto now = Clock::now();
    using std::chrono::milliseconds;
    switch (mode) {
      case CommandMode::Normal:
        SendAll(fd, reply);
        break;
      case CommandMode::Fixed:
        SendAll(fd, fixedReply);
        break;
      case CommandMode::Silent:
      case CommandMode::Refuse:
        break;
      case CommandMode::WrongOrder: {
        std::string r = reply.substr(0, reply.size() - 2) + "\r\n";
        SendAll(fd, r);
        break;
      }
      case CommandMode::Split: {
        // "...IN129 O" | "K\n" | "\r": the terminator cut across segments.
        const size_t cut1 = reply.size() - 3, cut2 = reply.size() - 1;
        SendAll(fd, reply.substr(0, cut1));
        Schedule({now + milliseconds(40), fd, reply.substr(cut1, cut2 - cut1), false});
        Schedule({now + milliseconds(80), fd, reply.substr(cut2), false});
        break;
      }
      case CommandMode::ZeroByte: {
        const std::string body = reply.substr(0, reply.size() - 5);
        SendAll(fd, body + std::string(1, '\0') + "LOST");
        Schedule({now + milliseconds(40), fd, kTerminator, false});
        break;
      }
      case CommandMode::Reset: {
        linger hard{1, 0};
        SetOption(fd, SOL_SOCKET, SO_LINGER, hard);
        CloseConn(fd);
        break;
      }
      case CommandMode::CloseEarly:
        SendAll(fd, reply.substr(0, reply.size() / 2));
        Schedule({now + milliseconds(20), fd, "", true});
        break;
    }
  }

  void OnInput(Socket fd) {
    char buf[512];
    const auto n = recv(fd, buf, static_cast<int>(sizeof buf), 0);
    if (n <= 0) {
      CloseConn(fd);
      return;
    }
    const int kind = conns[fd].kind;
    if (kind == 0) {
      conns[fd].input.append(buf, static_cast<size_t>(n));
      for (;;) {
        // Answering may close the connection.
        auto it = conns.find(fd);
        if (it == conns.end()) return;
        const size_t cr = it->second.input.find('\r');
        if (cr == std::string::npos) return;
        const std::string command = it->second.input.substr(0, cr);
        it->second.input.erase(0, cr + 1);
        Answer(fd, command);
      }
    }
    Line& line = lines[kind];
    const std::string bytes(buf, static_cast<size_t>(n));
    line.received += bytes;
    if (line.responder) {
      const std::string reply = line.responder(bytes);
      if (!reply.empty()) Send(kind, {fd}, reply);
    }
  }

  void Tick() {
    const auto now = Clock::now();
    for (int l = 1; l <= 4; ++l) {
      Line& line = lines[l];
      if (now < line.next) continue;
      line.next = now + line.period;
      bool anyClient = false;
      for (const auto& [fd, c] : conns) anyClient |= c.kind == l;
      if (!anyClient) continue;
      const std::string frame = line.generator ? line.generator() : line.frame;
      if (frame.empty()) continue;
      std::vector<Socket> fds;
      for (const auto& [fd, c] : conns) {
        if (c.kind == l) fds.push_back(fd);
      }
      Send(l, fds, frame, true);
      // The next frame follows this one on the wire, not sooner.
      if (line.wireFree > line.next) line.next = line.wireFree;
    }
    // A thread held up longer than a few characters does not catch up: for
    // each line, what was due long ago moves later by the delay, as a wire
    // that paused (a burst faster than the line is a backlog, which only a
    // test asks for, with no pace).
    bool late = false;
    Clock::duration delay[5] = {};
    for (int l = 1; l <= 4; ++l) {
      if (scheduled[l].empty() || now - scheduled[l].front().when <= std::chrono::milliseconds(3)) continue;
      delay[l] = now - scheduled[l].front().when;
      lines[l].wireFree += delay[l];
      late = true;
    }
    if (late) {
      for (int l = 1; l <= 4; ++l) {
        if (delay[l] == Clock::duration::zero()) continue;
        for (Scheduled& s : scheduled[l]) s.when += delay[l];
      }
    }
    // What is due goes out, in order, each connection's bytes in one write.
    std::vector<Scheduled> due;
    for (auto& q : scheduled) {
      while (!q.empty() && q.front().when <= now) {
        due.push_back(std::move(q.front()));
        q.pop_front();
      }
    }
    std::vector<std::pair<Socket, std::string>> writes;
    for (size_t i = 0; i < due.size(); ++i) {
      Scheduled& s = due[i];
      if (!conns.count(s.fd)) continue;
      if (s.close) {
        for (auto& [fd, bytes] : writes) {
          if (fd != s.fd || bytes.empty()) continue;
          SendAll(fd, bytes);
          bytes.clear();
        }
        CloseConn(s.fd);
        continue;
      }
      if (s.line != 0 && lines[s.line].onFrameOut) {
        // The first byte began on the wire one character before it came out
        // (a whole frame: its length before).
        Line& line = lines[s.line];
        const auto text = line.frameTexts.find(s.frame);
        line.onFrameOut(now - line.pace * static_cast<long>(line.whole ? s.frameLen : 1),
                        text != line.frameTexts.end() ? text->second : std::string());
        if (text != line.frameTexts.end()) line.frameTexts.erase(text);
        for (size_t j = i + 1; j < due.size(); ++j) {
          if (due[j].line == s.line && due[j].when == s.when) due[j].line = 0;  // other clients
        }
      }
      auto w = std::find_if(writes.begin(), writes.end(), [&](const auto& x) { return x.first == s.fd; });
      if (w == writes.end()) writes.emplace_back(s.fd, std::move(s.bytes));
      else w->second += s.bytes;
    }
    for (auto& [fd, bytes] : writes) {
      if (!bytes.empty() && conns.count(fd)) SendAll(fd, bytes);
    }
  }

  int NextTimeoutMs() const {
    auto next = Clock::now() + std::chrono::milliseconds(50);
    for (int l = 1; l <= 4; ++l) {
      if (lines[l].next < next) next = lines[l].next;
    }
    for (const auto& q : scheduled) {
      if (!q.empty() && q.front().when < next) next = q.front().when;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms) + 1;
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stop) {
      std::vector<pollfd> fds;
      std::vector<int> kinds;  // -2 wake, -1 command listener, 1..4 line listener, 100 connection
      fds.push_back({wake, POLLIN, 0});
      kinds.push_back(-2);
      if (commandListener != kNoSocket) {
        fds.push_back({commandListener, POLLIN, 0});
        kinds.push_back(-1);
      }
      for (int l = 1; l <= 4; ++l) {
        if (lines[l].listener != kNoSocket) {
          fds.push_back({lines[l].listener, POLLIN, 0});
          kinds.push_back(l);
        }
      }
      for (const auto& [fd, c] : conns) {
        fds.push_back({fd, POLLIN, 0});
        kinds.push_back(100);
      }
      const int timeout = NextTimeoutMs();
      lock.unlock();
      PollSockets(fds.data(), fds.size(), timeout);
      lock.lock();
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        if (kinds[i] == -2) {
          char drain[64];
          while (recv(wake, drain, static_cast<int>(sizeof drain), 0) > 0) {
          }
        } else if (kinds[i] == 100) {
          if (conns.count(fds[i].fd)) OnInput(fds[i].fd);
        } else {
          const Socket fd = AcceptSocket(fds[i].fd);
          if (fd == kNoSocket) continue;
          SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
          const int kind = kinds[i] == -1 ? 0 : kinds[i];
          conns[fd] = Conn{fd, kind, {}};
          if (kind == 0) ++commandConnections;
          else ++lines[kind].accepted;
        }
      }
      Tick();
    }
  }
};

Converter::Converter(const std::string& address) : state_(std::make_shared<State>()) {
  State& s = *state_;
  StartSockets();
  for (int attempt = 0; attempt < 50; ++attempt) {
    s.address = address.empty() ? UniqueLoopback() : address;
    s.commandListener = Listen(s.address, 8880);
    bool ok = s.commandListener != kNoSocket;
    for (int l = 1; l <= 4 && ok; ++l) {
      s.lines[l].listener = Listen(s.address, static_cast<uint16_t>(8880 + l));
      ok = s.lines[l].listener != kNoSocket;
    }
    if (ok) break;
    if (s.commandListener != kNoSocket) CloseSocket(s.commandListener);
    s.commandListener = kNoSocket;
    for (int l = 1; l <= 4; ++l) {
      if (s.lines[l].listener != kNoSocket) CloseSocket(s.lines[l].listener);
      s.lines[l].listener = kNoSocket;
    }
    if (!address.empty()) throw std::runtime_error("cannot listen on " + address);
  }
  if (s.commandListener == kNoSocket) throw std::runtime_error("no free loopback address");
  s.wake = WakeSocket();
  s.thread = std::thread([&s] { s.Run(); });
}

Converter::~Converter() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stop = true;
  }
  s.Wake();
  s.thread.join();
  for (auto& [fd, c] : s.conns) CloseSocket(fd);
  if (s.commandListener != kNoSocket) CloseSocket(s.commandListener);
  for (int l = 1; l <= 4; ++l) {
    if (s.lines[l].listener != kNoSocket) CloseSocket(s.lines[l].listener);
  }
  CloseSocket(s.wake);
}

const std::string& Converter::Address() const { return state_->address; }

namespace {
void CheckLine(int line) {
  if (line < 1 || line > 4) throw std::out_of_range("converter lines are 1 to 4");
}
}  // namespace

void Converter::SetLineFrame(int line, std::string frame, std::chrono::milliseconds period) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines[line].frame = std::move(frame);
  state_->lines[line].generator = nullptr;
  state_->lines[line].period = period;
  state_->DropUnstartedFrames(line);
  state_->Wake();
}

void Converter::SetLineGenerator(int line, std::function<std::string()> generator,
                                 std::chrono::milliseconds period) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines[line].generator = std::move(generator);
  state_->lines[line].period = period;
  state_->DropUnstartedFrames(line);
  state_->Wake();
}

void Converter::SetLineResponder(int line, std::function<std::string(const std::string&)> responder) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines[line].responder = std::move(responder);
}

void Converter::InjectLine(int line, std::string bytes) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->Send(line, state_->Clients(line), bytes);
  state_->Wake();
}

void Converter::DropLine(int line) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<Socket> fds;
  for (const auto& [fd, c] : state_->conns) {
    if (c.kind == line) fds.push_back(fd);
  }
  for (Socket fd : fds) state_->CloseConn(fd);
  state_->Wake();
}

void Converter::SetLineListening(int line, bool listening) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines[line].listening = listening;
  Socket& fd = state_->lines[line].listener;
  if (state_->poweredOff) return;
  if (!listening && fd != kNoSocket) {
    StopListening(fd);
    fd = kNoSocket;
  } else if (listening && fd == kNoSocket) {
    fd = Listen(state_->address, static_cast<uint16_t>(8880 + line));
  }
  state_->Wake();
}

void Converter::SetLineWholeFrames(int line, bool whole) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines[line].whole = whole;
}

void Converter::SetLineFrameOut(
    int line, std::function<void(std::chrono::steady_clock::time_point, const std::string&)> callback) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines[line].onFrameOut = std::move(callback);
}

void Converter::SetLinePace(int line, std::chrono::microseconds perByte) {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines[line].pace = perByte;
  state_->Wake();
}

void Converter::PowerOff() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  s.poweredOff = true;
  std::vector<Socket> fds;
  for (const auto& [fd, c] : s.conns) fds.push_back(fd);
  for (Socket fd : fds) {
    linger hard{1, 0};
    SetOption(fd, SOL_SOCKET, SO_LINGER, hard);
    s.CloseConn(fd);
  }
  for (auto& q : s.scheduled) q.clear();
  if (s.commandListener != kNoSocket) StopListening(s.commandListener);
  s.commandListener = kNoSocket;
  for (int l = 1; l <= 4; ++l) {
    if (s.lines[l].listener != kNoSocket) StopListening(s.lines[l].listener);
    s.lines[l].listener = kNoSocket;
  }
  s.Wake();
}

void Converter::PowerOn() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  if (!s.poweredOff) return;
  s.poweredOff = false;
  if (s.mode != CommandMode::Refuse) s.commandListener = Listen(s.address, 8880);
  for (int l = 1; l <= 4; ++l) {
    if (s.lines[l].listening) s.lines[l].listener = Listen(s.address, static_cast<uint16_t>(8880 + l));
  }
  s.Wake();
}

void Converter::ClearRecords() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->commands.clear();
  state_->commands.shrink_to_fit();
  for (auto& line : state_->lines) {
    line.received.clear();
    line.received.shrink_to_fit();
  }
}

int Converter::LineClients(int line) const {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  int n = 0;
  for (const auto& [fd, c] : state_->conns) n += c.kind == line;
  return n;
}

int Converter::LineAccepted(int line) const {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines[line].accepted;
}

std::string Converter::LineReceived(int line) const {
  CheckLine(line);
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines[line].received;
}

void Converter::SetCommandMode(CommandMode mode) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->mode = mode;
  Socket& fd = state_->commandListener;
  if (state_->poweredOff) return;
  if (mode == CommandMode::Refuse && fd != kNoSocket) {
    StopListening(fd);
    fd = kNoSocket;
  } else if (mode != CommandMode::Refuse && fd == kNoSocket) {
    fd = Listen(state_->address, 8880);
  }
  state_->Wake();
}

void Converter::SetFixedReply(std::string reply) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->fixedReply = std::move(reply);
}

std::vector<std::string> Converter::Commands() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->commands;
}

int Converter::CommandConnections() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->commandConnections;
}

void Converter::SetInputs(int value) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->inputs = value;
}

int Converter::Outputs() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->outputs;
}

int Converter::Clears(char kind, int line) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->clears.find({kind, line});
  return it == state_->clears.end() ? 0 : it->second;
}

}  // namespace pesmo6sim
