// The serial module of a channel on a local serial port: one port, its line
// settings, and the bytes-available notification the driver listens to.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Platform.h"

namespace pesmo6 {

using platform::Parity;
using platform::SoftwareFlow;

class TSerCom {
 public:
  // Line settings; written while the port is closed, applied at the next open.
  uint16_t ComNumber = 2;
  platform::SerialSettings Settings;
  bool AutoOpen = false;

  // Throws platform::SerialError when the port cannot be opened.  Opening an
  // open port changes nothing.
  void Open();
  void Close();
  bool IsOpen() const { return port_.IsOpen(); }
  void SetOnTriggerAvail(platform::SerialPort::AvailHandler handler);
  // On a port set to 7 data bits bit 7 is never data: a correct line never
  // sets it, and a port that could not take 7 bits carries parity there.
  uint8_t LeByte() {
    const uint8_t b = port_.ReadByte();
    return Settings.dataBits == 7 ? static_cast<uint8_t>(b & 0x7F) : b;
  }
  void DescartaRecebidos();
  void EnviaByte(uint8_t b) { EnviaBloco(&b, 1); }
  void EnviaBloco(const uint8_t* data, uint16_t length) {
    // What answers a request is no leftover: the guard has done its work.
    guardaAtiva_ = false;
    port_.Write(data, length);
  }
  bool SoftwareParity() const { return port_.SoftwareParity(); }
  // Bytes dropped so far as older than the open or flush before them.
  uint64_t DescartadosAntigos() const { return descartados_; }
#ifdef PESMO6_FUZZ
  // Fuzz builds only: bytes as if one read of the open port had taken them.
  void RecebeParaFuzz(const uint8_t* data, size_t n) { port_.FuzzReceive(data, n); }
#endif

 private:
  // Fresh readings only.  tcflush and PurgeComm empty the OS buffers, but a
  // USB adapter's own buffer (hundreds of bytes) and bytes in transit
  // arrive right after them.  Until the first announcement that fits, a
  // batch larger than the wire could have carried since the open or flush
  // began before it and is dropped whole.
  void ArmaGuarda();
  bool Antigos(uint16_t n) const;
  void Anuncia(uint16_t n);

  platform::SerialPort port_;
  platform::SerialPort::AvailHandler handler_;
  bool guardaAtiva_ = false;
  uint32_t guardaInicio_ = 0;
  uint64_t descartados_ = 0;
};

class TDMSerialDll {
 public:
  TSerCom SerCom;
  ~TDMSerialDll() { SerCom.Close(); }
};

// Port number to device path.  Without a mapping, the platform's default.
void MapSerialPort(uint16_t number, const std::string& device);
std::string DeviceForPort(uint16_t number);

// Test seam: called with the device and the settings of every open attempt,
// before the OS sees them (pseudo-terminals cannot show data bits or parity).
using SerialOpenObserver = std::function<void(const std::string&, const platform::SerialSettings&)>;
void SetSerialOpenObserver(SerialOpenObserver observer);

}  // namespace pesmo6
