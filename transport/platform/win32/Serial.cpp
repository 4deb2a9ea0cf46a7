#include <algorithm>
#include <cctype>
#include <memory>

#include "../Platform.h"
#include "PumpRegistry.h"
#include "SerialOs.h"
#include "Win32.h"

namespace pesmo6::platform {

namespace {

bool g_ptyAsHardware = false;

// Errors with which USB serial drivers answer once their device is gone.
bool DeviceGone(DWORD err) {
  switch (err) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NOT_READY:
      return true;
    default:
      return false;
  }
}

// An overlapped request, on the heap: when a driver does not complete a
// cancelled request within the bound, the block is left to it (never freed),
// since the driver may still write into it.
struct IoBlock {
  OVERLAPPED ov{};
  DWORD mask = 0;
  uint8_t data[256];
  HANDLE event = nullptr;

  void Reset() {
    ov = OVERLAPPED{};
    ov.hEvent = event;
    mask = 0;
    ResetEvent(event);
  }
};

}  // namespace

void TreatPseudoTerminalsAsHardware(bool on) { g_ptyAsHardware = on; }

struct SerialPort::Impl {
  HANDLE port = INVALID_HANDLE_VALUE;
  std::unique_ptr<IoBlock> wait;  // the overlapped WaitCommEvent
  std::unique_ptr<IoBlock> io;    // reads and writes
  // Set while received bytes wait that no EV_RXCHAR will announce (they came
  // while no wait was armed).  Kept apart from the wait's own event, which
  // only its completion may signal.
  HANDLE leftEvent = nullptr;
  bool waiting = false;  // a WaitCommEvent is pending on `wait`
  bool polling = false;
  bool inSignal = false;
  unsigned aborts = 0;  // waits aborted in a row
  uint64_t generation = 0;
  uint64_t waitId = 0;
  uint64_t leftId = 0;
  bool softParity = false;
  Parity parity = Parity::None;
  uint32_t charTimeUs = 0;
  AvailHandler handler;

  bool IsOpen() const { return port != INVALID_HANDLE_VALUE; }

  static win32::SerialOs& Os() { return win32::Os(); }

  // Bytes waiting in the driver; false when the driver no longer answers.
  bool Waiting(DWORD& count) const {
    DWORD errors = 0;
    COMSTAT stat{};
    count = 0;
    if (!Os().ClearCommError(port, &errors, &stat)) return false;
    count = stat.cbInQue;
    return true;
  }

  // Waits at most boundMs for a request to complete; false when it did not
  // (it still belongs to the driver then).
  bool Finish(IoBlock& block, DWORD boundMs) {
    DWORD n = 0;
    if (Os().GetOverlappedResult(port, &block.ov, &n, FALSE)) return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) return true;
    if (WaitForSingleObject(block.event, boundMs) != WAIT_OBJECT_0) return false;
    return Os().GetOverlappedResult(port, &block.ov, &n, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE;
  }

  // Cancels a pending request with a bounded wait; a request the driver
  // keeps is abandoned to it with its block.
  void CancelAndFinish(std::unique_ptr<IoBlock>& block) {
    Os().CancelIoEx(port, &block->ov);
    if (!Finish(*block, Os().cancelBoundMs)) {
      (void)block.release();
    }
  }

  void FreeBlock(std::unique_ptr<IoBlock>& block) {
    if (!block) return;
    if (block->event != nullptr) CloseHandle(block->event);
    block.reset();
  }

  void CloseHandles() {
    if (waitId != 0) win32::UnregisterHandle(waitId);
    if (leftId != 0) win32::UnregisterHandle(leftId);
    waitId = leftId = 0;
    if (IsOpen()) {
      Os().SetCommMask(port, 0);  // ends a pending WaitCommEvent on most drivers
      if (waiting) CancelAndFinish(wait);
      Os().PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
      Os().CloseHandle(port);
      port = INVALID_HANDLE_VALUE;
    }
    waiting = false;
    polling = false;
    softParity = false;
    aborts = 0;
    FreeBlock(wait);
    FreeBlock(io);
    if (leftEvent != nullptr) CloseHandle(leftEvent);
    leftEvent = nullptr;
    ++generation;
  }

  // A driver that cannot wait for received characters (Wine on a
  // pseudo-terminal fails every WaitCommEvent) on a port that works
  // otherwise: the pump polls it.  A device that is gone is closed, as on
  // POSIX, so that the next update opens it again.
  void WaitImpossible(DWORD err) {
    DWORD count = 0;
    if (DeviceGone(err) || !Waiting(count)) {
      CloseHandles();
      return;
    }
    polling = true;
    waiting = false;
    win32::SetPolled(leftId, true);
  }

  // Takes a completed wait; the caller arms the next one.
  void Harvest() {
    if (!waiting) {
      ResetEvent(wait->event);
      return;
    }
    DWORD n = 0;
    if (Os().GetOverlappedResult(port, &wait->ov, &n, FALSE)) {
      waiting = false;
      aborts = 0;
      ResetEvent(wait->event);
      return;
    }
    const DWORD err = GetLastError();
    if (err == ERROR_IO_INCOMPLETE || err == ERROR_IO_PENDING) return;
    waiting = false;
    ResetEvent(wait->event);
    // Windows aborts a pending request when the thread that issued it
    // exits: the host called from a thread that has ended.  Wait again.
    if (err == ERROR_OPERATION_ABORTED && ++aborts <= 8) return;
    WaitImpossible(err);
  }

  // Looks for bytes that no event announces and has the pump deliver them.
  void Recheck() {
    DWORD count = 0;
    if (!Waiting(count)) {
      CloseHandles();
      return;
    }
    if (count > 0 && handler) SetEvent(leftEvent);
  }

  // Arms the next EV_RXCHAR notification; never while one is pending (the
  // driver would refuse a second one).
  void Arm() {
    if (polling || waiting || !IsOpen()) return;
    for (int attempt = 0; attempt < 3; ++attempt) {
      wait->Reset();
      if (Os().WaitCommEvent(port, &wait->mask, &wait->ov)) {
        // Completed at once: deliver through the bytes-left event.
        ResetEvent(wait->event);
        DWORD count = 0;
        if (!Waiting(count)) {
          CloseHandles();
          return;
        }
        if (count > 0) {
          if (handler) SetEvent(leftEvent);
          return;
        }
        continue;
      }
      const DWORD err = GetLastError();
      if (err == ERROR_IO_PENDING) {
        waiting = true;
        return;
      }
      WaitImpossible(err);
      return;
    }
    // A wait that keeps completing with nothing received cannot be waited on.
    WaitImpossible(ERROR_SUCCESS);
  }

  void OnSignalled() {
    if (!IsOpen()) return;
    if (inSignal) {
      // Re-entered from the pump a handler runs: only take a completed wait,
      // so its event does not stay signalled; the outer pass arms again.
      Harvest();
      return;
    }
    struct Guard {
      bool& flag;
      explicit Guard(bool& f) : flag(f) { flag = true; }
      ~Guard() { flag = false; }
    } guard(inSignal);
    const uint64_t gen = generation;
    if (polling) {
      // Polled (no wait is armed): only ask what is waiting, so an idle pass
      // costs one driver call.  The bytes-left event that SetAvailHandler or
      // DiscardInput set is taken here too, or it would keep every pump pass
      // from blocking.
      ResetEvent(leftEvent);
      DWORD count = 0;
      if (!Waiting(count)) {
        CloseHandles();
        return;
      }
      if (count > 0 && handler) {
        AvailHandler h = handler;
        h(static_cast<uint16_t>(count > 65535 ? 65535 : count));
      }
      return;
    }
    ResetEvent(leftEvent);
    Harvest();
    if (!IsOpen() || generation != gen) return;
    DWORD count = 0;
    if (!Waiting(count)) {
      CloseHandles();
      return;
    }
    if (count > 0 && handler) {
      AvailHandler h = handler;  // the handler may detach itself or close the port
      h(static_cast<uint16_t>(count > 65535 ? 65535 : count));
      if (!IsOpen() || generation != gen) return;
    }
    Arm();
    if (!IsOpen() || generation != gen) return;
    // Bytes the handler left or that came while no wait was armed.
    if (!polling) Recheck();
  }

  // One read or write with a bounded wait; false with the error in err.
  bool Transfer(bool write, DWORD length, DWORD boundMs, DWORD& done, DWORD& err) {
    done = 0;
    err = ERROR_SUCCESS;
    io->Reset();
    const BOOL ok = write ? Os().WriteFile(port, io->data, length, &done, &io->ov)
                          : Os().ReadFile(port, io->data, length, &done, &io->ov);
    if (ok) return true;
    err = GetLastError();
    if (err != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(io->event, boundMs) != WAIT_OBJECT_0) {
      CancelAndFinish(io);
      if (!io) {
        auto fresh = std::make_unique<IoBlock>();
        fresh->event = Os().CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (fresh->event == nullptr) {
          CloseHandles();
          err = WAIT_TIMEOUT;
          return false;
        }
        io = std::move(fresh);
      }
      err = WAIT_TIMEOUT;
      return false;
    }
    if (Os().GetOverlappedResult(port, &io->ov, &done, FALSE)) return true;
    err = GetLastError();
    return false;
  }

  // After a failed read or write: a device that is gone is closed.
  void CloseIfGone(DWORD err) {
    DWORD count = 0;
    if (IsOpen() && (DeviceGone(err) || !Waiting(count))) CloseHandles();
  }
};

SerialPort::SerialPort() : impl_(std::make_shared<Impl>()) {}
SerialPort::~SerialPort() { impl_->CloseHandles(); }

std::string SerialPort::DefaultDevice(uint16_t number) {
  if (number == 0) return std::string();
  return "\\\\.\\COM" + std::to_string(number);
}

namespace {

// The kind of an open's failure, from the system's error code.  Windows
// answers "access denied" for a port another program holds.
SerialError::Kinds KindOf(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return SerialError::Missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return SerialError::Busy;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
      return SerialError::Settings;
    default:
      return SerialError::Other;
  }
}

[[noreturn]] void Fail(const std::string& device, const char* what) {
  const DWORD err = GetLastError();
  throw SerialError(device + ": " + what + " (error " + std::to_string(err) + ")", KindOf(err));
}

BYTE ParityCode(Parity p) {
  switch (p) {
    case Parity::Odd: return ODDPARITY;
    case Parity::Even: return EVENPARITY;
    case Parity::Mark: return MARKPARITY;
    case Parity::Space: return SPACEPARITY;
    default: return NOPARITY;
  }
}

// "COM12": only COM1 to COM9 are in the DOS name space; \\.\COMn reaches
// every port.
std::string DevicePath(const std::string& device) {
  if (device.size() < 4) return device;
  if (std::toupper(static_cast<unsigned char>(device[0])) != 'C' ||
      std::toupper(static_cast<unsigned char>(device[1])) != 'O' ||
      std::toupper(static_cast<unsigned char>(device[2])) != 'M') {
    return device;
  }
  for (size_t i = 3; i < device.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(device[i]))) return device;
  }
  return "\\\\.\\" + device;
}

bool SameLine(const DCB& a, const DCB& b) { return a.BaudRate == b.BaudRate && a.StopBits == b.StopBits; }
bool SameFraming(const DCB& a, const DCB& b) { return a.ByteSize == b.ByteSize && a.Parity == b.Parity; }

}  // namespace

void SerialPort::Open(const std::string& device, const SerialSettings& s) {
  if (impl_->IsOpen()) return;
  if (device.empty()) throw SerialError("no device for this port number", SerialError::Missing);
  if (s.dataBits < 5 || s.dataBits > 8) throw SerialError(device + ": data bits out of range", SerialError::Settings);
  if (s.stopBits != 1 && s.stopBits != 2) throw SerialError(device + ": stop bits out of range", SerialError::Settings);
  if (s.baud <= 0) throw SerialError(device + ": unsupported baud rate", SerialError::Settings);
  win32::SerialOs& os = win32::Os();

  // No sharing: a port another program holds does not open.
  const std::string path = DevicePath(device);
  HANDLE h = os.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) Fail(device, "cannot open");
  auto wait = std::make_unique<IoBlock>();
  auto io = std::make_unique<IoBlock>();
  HANDLE leftEvent = nullptr;
  auto failWith = [&](const char* what) {
    const DWORD err = GetLastError();
    for (HANDLE e : {wait->event, io->event, leftEvent}) {
      if (e != nullptr) CloseHandle(e);
    }
    os.CloseHandle(h);
    SetLastError(err);
    Fail(device, what);
  };
  os.SetupComm(h, 4096, 4096);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!os.GetCommState(h, &dcb)) failWith("cannot read line settings");
  const DCB original = dcb;
  dcb.BaudRate = static_cast<DWORD>(s.baud);
  dcb.ByteSize = static_cast<BYTE>(s.dataBits);
  dcb.Parity = ParityCode(s.parity);
  dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = s.parity != Parity::None;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = s.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fRtsControl = s.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  dcb.fOutX = s.swFlow == SoftwareFlow::Transmit || s.swFlow == SoftwareFlow::Both;
  dcb.fInX = s.swFlow == SoftwareFlow::Receive || s.swFlow == SoftwareFlow::Both;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 1024;
  dcb.XoffLim = 1024;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  bool softParity = false;
  const bool set = os.SetCommState(h, &dcb) != FALSE;
  DCB applied{};
  applied.DCBlength = sizeof applied;
  const bool readBack = os.GetCommState(h, &applied) != FALSE;
  if (os.UnderWine() && !g_ptyAsHardware) {
    // Under Wine a pseudo-terminal forces 8 data bits and no parity, and the
    // host's tcsetattr then reports a failure although the rest was applied.
    // Accept the result when what the line must honour (speed, stop bits)
    // took effect.
    if (!set && (!readBack || !SameLine(applied, dcb))) failWith("line settings refused");
  } else if (!set || !readBack || !SameLine(applied, dcb) || !SameFraming(applied, dcb)) {
    // Some adapters refuse 7 data bits with parity, or take the setting and
    // ignore it.  Those are 8 bits on the wire: run the port at 8 data bits
    // without parity and put the parity bit in bit 7 here.
    if (s.dataBits != 7 || s.parity == Parity::None) {
      if (set) SetLastError(ERROR_INVALID_PARAMETER);
      failWith("line settings refused");
    }
    DCB eight = dcb;
    eight.ByteSize = 8;
    eight.Parity = NOPARITY;
    eight.fParity = FALSE;
    DCB back{};
    back.DCBlength = sizeof back;
    if (!os.SetCommState(h, &eight) || !os.GetCommState(h, &back) || !SameLine(back, eight) ||
        !SameFraming(back, eight)) {
      DCB restore = original;
      os.SetCommState(h, &restore);
      SetLastError(ERROR_INVALID_PARAMETER);
      failWith("neither 7 data bits with parity nor 8 data bits apply");
    }
    softParity = true;
  }

  // Reads return at once with what is there; writes give up after 2 s.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutConstant = 2000;
  if (!os.SetCommTimeouts(h, &timeouts)) failWith("cannot set time-outs");
  if (!os.SetCommMask(h, EV_RXCHAR)) failWith("cannot watch the port");
  wait->event = os.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  io->event = os.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  leftEvent = os.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (wait->event == nullptr || io->event == nullptr || leftEvent == nullptr) failWith("cannot create an event");
  // A freshly opened port starts with empty buffers, whatever the device
  // kept while nobody listened.
  os.PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);

  Impl& impl = *impl_;
  impl.port = h;
  impl.wait = std::move(wait);
  impl.io = std::move(io);
  impl.leftEvent = leftEvent;
  impl.softParity = softParity;
  impl.parity = s.parity;
  impl.charTimeUs = CharacterTimeUs(s);
  impl.waiting = impl.polling = false;
  impl.aborts = 0;
  ++impl.generation;
  // The pump holds the port weakly and keeps it alive while its handler runs.
  std::weak_ptr<Impl> weak = impl_;
  auto onReady = [weak] {
    if (auto p = weak.lock()) p->OnSignalled();
  };
  impl.waitId = win32::RegisterHandle(impl.wait->event, onReady);
  impl.leftId = win32::RegisterHandle(impl.leftEvent, onReady);
  impl.Arm();
  // Bytes that came after the purge but before the wait was armed.
  if (impl.IsOpen() && !impl.polling) impl.Recheck();
  if (!impl.IsOpen()) throw SerialError(device + ": the device does not answer");
}

void SerialPort::Close() { impl_->CloseHandles(); }

bool SerialPort::IsOpen() const { return impl_->IsOpen(); }

bool SerialPort::SoftwareParity() const { return impl_->IsOpen() && impl_->softParity; }

void SerialPort::SetAvailHandler(AvailHandler handler) {
  impl_->handler = std::move(handler);
  DWORD count = 0;
  if (impl_->IsOpen() && impl_->handler && impl_->Waiting(count) && count > 0) SetEvent(impl_->leftEvent);
}

uint8_t SerialPort::ReadByte() {
  Impl& impl = *impl_;
  if (!impl.IsOpen()) throw SerialError("port closed");
  DWORD n = 0, err = 0;
  if (!impl.Transfer(false, 1, win32::Os().readBoundMs, n, err)) {
    impl.CloseIfGone(err);
    throw SerialError("read failed (error " + std::to_string(err) + ")");
  }
  if (n != 1) throw SerialError("no byte waiting");
  const uint8_t b = impl.io->data[0];
  return impl.softParity ? static_cast<uint8_t>(b & 0x7F) : b;
}

size_t SerialPort::DiscardInput() {
  Impl& impl = *impl_;
  if (!impl.IsOpen()) return 0;
  DWORD before = 0;
  if (!impl.Waiting(before)) before = 0;
  DWORD count = 0;
  // A purge some drivers refuse (Wine on a pseudo-terminal) is no sign of a
  // dead port; a status query that fails is.
  const bool purged = win32::Os().PurgeComm(impl.port, PURGE_RXCLEAR) != FALSE;
  if (!impl.Waiting(count)) {
    // Found dead when an update starts: close it, so the update opens the
    // device again (or learns that it is gone).
    impl.CloseHandles();
    return 0;
  }
  if (!purged) {
    // Not purged: what is waiting is read and dropped instead.
    for (DWORD i = 0; i < count; ++i) {
      DWORD n = 0, err = 0;
      if (!impl.Transfer(false, 1, win32::Os().readBoundMs, n, err) || n != 1) break;
    }
    impl.Waiting(count);
  }
  ResetEvent(impl.leftEvent);
  // Bytes still arriving from the wire after the purge.  A wait that
  // completed at once (bytes came before it was armed) left no wait pending
  // and handed its news to the bytes-left event just reset: the pump's next
  // pass must arm again, or the port would never be heard from.
  if ((count > 0 && impl.handler) || (!impl.waiting && !impl.polling)) SetEvent(impl.leftEvent);
  return before;
}

void SerialPort::Write(const uint8_t* data, size_t length) {
  Impl& impl = *impl_;
  if (!impl.IsOpen()) throw SerialError("port closed");
  size_t done = 0;
  while (done < length) {
    if (!impl.IsOpen()) throw SerialError("port closed");
    const DWORD chunk = static_cast<DWORD>(std::min(length - done, sizeof impl.io->data));
    for (DWORD i = 0; i < chunk; ++i) {
      const uint8_t b = data[done + i];
      impl.io->data[i] = impl.softParity ? ParityBit7(b, impl.parity) : b;
    }
    const DWORD bound =
        win32::Os().writeBoundMs + static_cast<DWORD>((static_cast<uint64_t>(impl.charTimeUs) * chunk + 999) / 1000);
    DWORD n = 0, err = 0;
    if (!impl.Transfer(true, chunk, bound, n, err)) {
      impl.CloseIfGone(err);
      if (err == WAIT_TIMEOUT) throw SerialError("write timed out");
      throw SerialError("write failed (error " + std::to_string(err) + ")");
    }
    if (n != chunk) throw SerialError("write timed out");
    done += n;
  }
}

}  // namespace pesmo6::platform
