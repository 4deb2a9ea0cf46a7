#include "../Platform.h"
#include "PumpRegistry.h"
#include "Win32.h"

namespace pesmo6::platform {

struct SerialPort::Impl {
  HANDLE port = INVALID_HANDLE_VALUE;
  HANDLE commEvent = nullptr;  // signalled by the overlapped WaitCommEvent
  OVERLAPPED waitOv{};
  DWORD eventMask = 0;
  bool waiting = false;
  bool polling = false;
  uint64_t pumpId = 0;
  AvailHandler handler;

  bool IsOpen() const { return port != INVALID_HANDLE_VALUE; }

  DWORD Waiting() const {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(port, &errors, &stat)) return 0;
    return stat.cbInQue;
  }

  // A driver that cannot wait for received characters (Wine on a
  // pseudo-terminal aborts every WaitCommEvent): the pump polls the port.
  void FallBackToPolling() {
    polling = true;
    waiting = false;
    ResetEvent(commEvent);
    win32::SetPolled(pumpId, true);
  }

  // Arms the next EV_RXCHAR notification.
  void Arm() {
    if (polling) return;
    ResetEvent(commEvent);
    waitOv = OVERLAPPED{};
    waitOv.hEvent = commEvent;
    eventMask = 0;
    if (WaitCommEvent(port, &eventMask, &waitOv)) {
      SetEvent(commEvent);  // completed at once
      waiting = false;
    } else if (GetLastError() == ERROR_IO_PENDING) {
      waiting = true;
    } else {
      FallBackToPolling();
    }
  }

  void CloseHandles() {
    if (pumpId != 0) win32::UnregisterHandle(pumpId);
    pumpId = 0;
    if (IsOpen()) {
      SetCommMask(port, 0);  // ends a pending WaitCommEvent
      CancelIo(port);
      if (waiting) {
        DWORD n;
        GetOverlappedResult(port, &waitOv, &n, TRUE);
      }
      PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
      CloseHandle(port);
      port = INVALID_HANDLE_VALUE;
    }
    waiting = false;
    polling = false;
    if (commEvent != nullptr) CloseHandle(commEvent);
    commEvent = nullptr;
  }

  void OnSignalled() {
    if (waiting) {
      DWORD n;
      if (!GetOverlappedResult(port, &waitOv, &n, FALSE)) {
        const DWORD err = GetLastError();
        if (err == ERROR_IO_INCOMPLETE || err == ERROR_IO_PENDING) return;
        waiting = false;
        FallBackToPolling();
      }
      waiting = false;
    }
    const DWORD count = Waiting();
    if (count > 0 && handler) {
      AvailHandler h = handler;  // the handler may detach itself or close the port
      h(static_cast<uint16_t>(count > 65535 ? 65535 : count));
      if (!IsOpen()) return;
    }
    Arm();
    // Bytes the handler left (or that came meanwhile) raise no new event:
    // look again on the next pass.
    if (handler && Waiting() > 0) SetEvent(commEvent);
  }
};

SerialPort::SerialPort() : impl_(std::make_shared<Impl>()) {}
SerialPort::~SerialPort() { impl_->CloseHandles(); }

std::string SerialPort::DefaultDevice(uint16_t number) {
  if (number == 0) return std::string();
  return "\\\\.\\COM" + std::to_string(number);
}

namespace {

[[noreturn]] void Fail(const std::string& device, const char* what) {
  throw SerialError(device + ": " + what + " (error " + std::to_string(GetLastError()) + ")");
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

}  // namespace

void SerialPort::Open(const std::string& device, const SerialSettings& s) {
  if (impl_->IsOpen()) return;
  if (device.empty()) throw SerialError("no device for this port number");
  if (s.dataBits < 5 || s.dataBits > 8) throw SerialError(device + ": data bits out of range");
  if (s.stopBits != 1 && s.stopBits != 2) throw SerialError(device + ": stop bits out of range");
  if (s.baud <= 0) throw SerialError(device + ": unsupported baud rate");

  // No sharing: a port another program holds does not open.
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) Fail(device, "cannot open");
  auto failWith = [&](const char* what) {
    const DWORD err = GetLastError();
    CloseHandle(h);
    SetLastError(err);
    Fail(device, what);
  };
  SetupComm(h, 4096, 4096);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) failWith("cannot read line settings");
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
  if (!SetCommState(h, &dcb)) {
    // Under Wine a pseudo-terminal forces 8 data bits and no parity, and the
    // host's tcsetattr then reports a failure although the rest was applied.
    // Accept the result when what the line must honour (speed, stop bits)
    // took effect.
    DCB applied{};
    applied.DCBlength = sizeof applied;
    if (!GetCommState(h, &applied) || applied.BaudRate != dcb.BaudRate || applied.StopBits != dcb.StopBits) {
      failWith("line settings refused");
    }
  }

  // Reads return at once with what is there; writes give up after 2 s.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutConstant = 2000;
  SetCommTimeouts(h, &timeouts);
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  if (!SetCommMask(h, EV_RXCHAR)) failWith("cannot watch the port");

  impl_->port = h;
  impl_->commEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::weak_ptr<Impl> weak = impl_;
  impl_->pumpId = win32::RegisterHandle(impl_->commEvent, [weak] {
    if (auto impl = weak.lock()) impl->OnSignalled();
  });
  impl_->Arm();
}

void SerialPort::Close() { impl_->CloseHandles(); }

bool SerialPort::IsOpen() const { return impl_->IsOpen(); }

void SerialPort::SetAvailHandler(AvailHandler handler) {
  impl_->handler = std::move(handler);
  if (impl_->IsOpen() && impl_->handler && impl_->Waiting() > 0) SetEvent(impl_->commEvent);
}

uint8_t SerialPort::ReadByte() {
  if (!impl_->IsOpen()) throw SerialError("port closed");
  uint8_t b = 0;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD n = 0;
  BOOL ok = ReadFile(impl_->port, &b, 1, &n, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(impl_->port, &ov, &n, TRUE);
  CloseHandle(ov.hEvent);
  if (!ok || n != 1) throw SerialError("no byte waiting");
  return b;
}

void SerialPort::DiscardInput() {
  if (impl_->IsOpen()) PurgeComm(impl_->port, PURGE_RXCLEAR);
}

void SerialPort::Write(const uint8_t* data, size_t length) {
  if (!impl_->IsOpen()) throw SerialError("port closed");
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD n = 0;
  BOOL ok = WriteFile(impl_->port, data, static_cast<DWORD>(length), &n, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(impl_->port, &ov, &n, TRUE);
  CloseHandle(ov.hEvent);
  if (!ok) throw SerialError("write failed");
  if (n != length) throw SerialError("write timed out");
}

}  // namespace pesmo6::platform
