// The operating-system layer: serial ports, the event pump's wait, the tick
// count, pauses and the decimal separator.  One implementation per OS lives
// beside this header (posix/, win32/); nothing above it includes an OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace pesmo6::platform {

// ---- Time ---------------------------------------------------------------

// Milliseconds of a monotonic clock, wrapping at 2^32.
uint32_t Tick();
// Microseconds of the same clock, never wrapping (ShiftTick moves it too).
uint64_t Micros();
// Moves Tick() by a fixed amount (tests use it to reach the wrap-around).
void ShiftTick(uint32_t deltaMs);
void SleepMs(uint32_t ms);

// ---- Decimal separator --------------------------------------------------

// First character of the decimal separator of the system's default locale,
// read anew at each call; '.' when it cannot be read.
char SystemDecimalSeparator();
// The separator the floating readouts use: read once when the library loads.
char LoadDecimalSeparator();

// ---- Addresses ----------------------------------------------------------

// A converter address as hosts write it, made ready for the resolver:
// blanks around it trimmed, and a dotted IPv4 address with zero-padded parts
// ("192.168.000.010") read as decimal, never octal, and returned in its
// plain form ("192.168.0.10").  Anything else (a host name) is returned
// trimmed, for the system's resolver.
std::string NormalizeAddress(const std::string& address);

// The IPv4 address (network byte order) of a host name, looked up by the
// system's resolver.  Blocks for as long as the resolver takes.
using NameLookup = bool (*)(const std::string& name, uint32_t& address);
bool SystemNameLookup(const std::string& name, uint32_t& address);

// Looks a host name up within timeoutMs: a name server that does not answer
// must not hold a call past its bound.  The lookup runs on a worker thread of
// its own; one that outlives its caller finishes there and is forgotten,
// and a later call for the same name waits for that one instead of starting
// another.  False when the name is unknown or the time ran out.
bool LookUpWithin(const std::string& name, uint32_t timeoutMs, uint32_t& address);
// Test seam: the resolver the lookups use (nullptr restores the system's).
void SetNameLookupForTest(NameLookup lookup);
// The time lookups of converter addresses may take by default: the bound of
// a line connection.
constexpr uint32_t kLookupLimitMs = 5000;

// Keepalive on every line link, so that a converter that lost power or its
// cable (no FIN ever comes) is noticed within about
// kKeepAliveIdleS + kKeepAliveCount * kKeepAliveIntervalS seconds; unsent
// data that stays unacknowledged for kUserTimeoutMs breaks the link too.
constexpr int kKeepAliveIdleS = 5;
constexpr int kKeepAliveIntervalS = 2;
constexpr int kKeepAliveCount = 5;
constexpr unsigned kUserTimeoutMs = 15000;

// ---- Serial ports -------------------------------------------------------

enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class SoftwareFlow : uint8_t { None, Receive, Transmit, Both };

struct SerialSettings {
  int32_t baud = 4800;
  uint16_t dataBits = 7;
  Parity parity = Parity::None;
  uint16_t stopBits = 1;
  bool dtr = true;
  bool rts = true;
  SoftwareFlow swFlow = SoftwareFlow::None;
};

// Software parity for 7 data bits on a port run at 8 data bits without
// parity: the byte with bit 7 set to the parity bit its low seven bits need.
// On the wire that is bit for bit a 7-bit character with hardware parity.
inline uint8_t ParityBit7(uint8_t b, Parity p) {
  const uint8_t low = static_cast<uint8_t>(b & 0x7F);
  int ones = 0;
  for (uint8_t v = low; v != 0; v = static_cast<uint8_t>(v >> 1)) ones += v & 1;
  bool bit = false;
  switch (p) {
    case Parity::Even: bit = (ones & 1) != 0; break;
    case Parity::Odd: bit = (ones & 1) == 0; break;
    case Parity::Mark: bit = true; break;
    case Parity::Space:
    case Parity::None: bit = false; break;
  }
  return static_cast<uint8_t>(low | (bit ? 0x80 : 0));
}

// Time one character takes on the wire at these settings, in microseconds:
// start bit, data bits, parity bit, stop bits.
inline uint32_t CharacterTimeUs(const SerialSettings& s) {
  const uint32_t bits = 1u + s.dataBits + (s.parity != Parity::None ? 1u : 0u) + s.stopBits;
  const uint32_t baud = s.baud > 0 ? static_cast<uint32_t>(s.baud) : 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(bits) * 1000000u + baud - 1) / baud);
}

class SerialError : public std::runtime_error {
 public:
  // What kind of failure, for the reason the host is given.
  enum Kinds : uint8_t { Other, Missing, Denied, Busy, Settings };
  explicit SerialError(const std::string& what, Kinds kind = Other) : std::runtime_error(what), kind_(kind) {}
  Kinds Kind() const { return kind_; }

 private:
  Kinds kind_;
};

// Test seam: pseudo-terminals are opened like real devices (their settings
// read back and compared), so that the fallback to software parity runs.
void TreatPseudoTerminalsAsHardware(bool on);

// One serial port.  While open with a handler attached, the event pump tells
// the handler how many received bytes are waiting; the handler takes them
// with ReadByte.
class SerialPort {
 public:
  using AvailHandler = std::function<void(uint16_t count)>;

  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // The platform's device for port number n (1 is the first port).
  static std::string DefaultDevice(uint16_t number);

  // Throws SerialError when the device is missing, busy or refuses a setting.
  void Open(const std::string& device, const SerialSettings& settings);
  // Drops whatever is buffered.  Closing a closed port does nothing.
  void Close();
  bool IsOpen() const;
  void SetAvailHandler(AvailHandler handler);
  // Removes and returns the oldest received byte; throws when none is waiting.
  uint8_t ReadByte();
  // Drops every byte received so far (how many, as far as the system
  // tells).  A port found hung up is closed.
  size_t DiscardInput();
  // True while the port emulates 7 data bits with parity on 8 data bits
  // (the device refused the 7-bit setting): bit 7 carries the parity on
  // send and is cleared on reception.
  bool SoftwareParity() const;
  // Sends every byte (waits a bounded time for room); throws when closed.
  void Write(const uint8_t* data, size_t length);
#ifdef PESMO6_FUZZ
  // Fuzz builds only: `length` bytes as if one read of the open device had
  // just taken them (what does not fit the read buffer is lost); the pump
  // announces them to the handler at its next pass.
  void FuzzReceive(const uint8_t* data, size_t length);
#endif

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// ---- Sockets --------------------------------------------------------------

// A TCP client that connects without blocking and reports what happens
// through the event pump: connect, read (repeated while unread bytes
// remain, one notification per byte the handler takes), disconnect (the
// peer closed, or the connection broke) and error (a failed connection
// attempt, with the OS error code).
class LineSocket {
 public:
  struct Events {
    std::function<void()> onConnect;
    std::function<void()> onDisconnect;
    std::function<void(int code)> onError;
  };
  using ReadHandler = std::function<void()>;

  LineSocket();
  ~LineSocket();
  LineSocket(const LineSocket&) = delete;
  LineSocket& operator=(const LineSocket&) = delete;

  void SetEvents(Events events);
  void SetOnRead(ReadHandler handler);
  // For a socket read by polling (no read handler): while on, waiting bytes
  // end the pump's wait, so the poller is woken at once; off between polls,
  // so that unread bytes do not keep the pump awake.
  void SetWakeOnData(bool wake);
  // Starts a connection attempt and returns at once; an attempt already
  // under way or a live connection is dropped first.  A bad address is
  // reported through onError.  A host name is looked up within lookupMs.
  void Open(const std::string& address, uint16_t port, uint32_t lookupMs = kLookupLimitMs);
  // Disconnects; closing a closed socket does nothing.  No event follows.
  void Close();
  bool Active() const;
  bool Connecting() const;
  // For a link reported active: looks, without waiting, whether the peer
  // has closed or the connection has broken since the last event (a FIN or
  // an error that no pump pass has delivered yet).  A dead link is dropped
  // (disconnect event) and false returned.  Unread data is left alone.
  bool CheckAlive();
  // Takes at most one waiting byte: 1 when taken, 0 when none was waiting.
  int ReadByte(uint8_t& b);
  // Bytes known to be waiting: taken from the system and not yet read, or
  // (where the system tells without taking them) waiting in the system.
  size_t Waiting() const;
  // Drops every byte received so far and returns how many (a closed peer
  // is noticed here too).
  size_t DiscardInput();
  // Sends every byte; a broken connection is dropped (disconnect event).
  void Send(const std::string& bytes);
#ifdef PESMO6_FUZZ
  // Fuzz builds only: `length` bytes as if one recv on the live link had
  // just taken them (what does not fit the receive buffer is lost); the
  // pump hands them to the reader at its next pass.
  void FuzzReceive(const uint8_t* data, size_t length);
#endif

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

class SocketError : public std::runtime_error {
 public:
  SocketError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

// A blocking TCP client for one request and its reply.
class BlockingSocket {
 public:
  BlockingSocket();
  ~BlockingSocket();
  BlockingSocket(const BlockingSocket&) = delete;
  BlockingSocket& operator=(const BlockingSocket&) = delete;

  // Throws SocketError when no connection is made within timeoutMs (the
  // lookup of a host name included).
  void Connect(const std::string& address, uint16_t port, uint32_t timeoutMs);
  // Throws SocketError when the connection breaks.
  void Send(const std::string& bytes);
  // Waits at most timeoutMs for data: the count read, 0 on time-out, -1
  // when the peer has closed.  Throws SocketError when the connection breaks.
  int Receive(char* buffer, size_t size, uint32_t timeoutMs);
  void Close();
  bool Connected() const;

 private:
  intptr_t handle_ = -1;
};

// ---- Event pump ---------------------------------------------------------

// Waits until one of the library's open ports or sockets has something to
// deliver, or at most maxWaitMs, then delivers every pending notification on
// the calling thread.  Never spins: it blocks in the OS readiness call.
void WaitAndDispatch(uint32_t maxWaitMs);

// Readiness calls (poll, MsgWaitForMultipleObjectsEx) the pump has made so
// far; the benchmark and the idle-wait tests read it.
uint64_t ReadinessCalls();

// Called when the outermost library call of the thread returns: on Windows a
// WM_QUIT that a wait took from the host's queue is posted back here.
void OnOutermostReturn();

}  // namespace pesmo6::platform
