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
  void SetOnTriggerAvail(platform::SerialPort::AvailHandler handler) {
    port_.SetAvailHandler(std::move(handler));
  }
  uint8_t LeByte() { return port_.ReadByte(); }
  void DescartaRecebidos() { port_.DiscardInput(); }
  void EnviaByte(uint8_t b) { port_.Write(&b, 1); }
  void EnviaBloco(const uint8_t* data, uint16_t length) { port_.Write(data, length); }

 private:
  platform::SerialPort port_;
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
