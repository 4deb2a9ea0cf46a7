// The serial module of a channel on a local serial port: one port, its line
// settings, and the bytes-available notification the driver listens to.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Enlace.h"
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
  void Close() { port_.Close(); }
  bool IsOpen() const { return port_.IsOpen(); }
  void SetOnTriggerAvail(platform::SerialPort::AvailHandler handler) { port_.SetAvailHandler(std::move(handler)); }
  // On a port set to 7 data bits bit 7 is never data: a correct line never
  // sets it, and a port that could not take 7 bits carries parity there.
  uint8_t LeByte() {
    const uint8_t b = port_.ReadByte();
    return Settings.dataBits == 7 ? static_cast<uint8_t>(b & 0x7F) : b;
  }
  size_t DescartaRecebidos() { return port_.DiscardInput(); }
  void EnviaByte(uint8_t b) { EnviaBloco(&b, 1); }
  void EnviaBloco(const uint8_t* data, uint16_t length) { port_.Write(data, length); }
  bool SoftwareParity() const { return port_.SoftwareParity(); }
#ifdef PESMO6_FUZZ
  // Fuzz builds only: bytes as if one read of the open port had taken them.
  void RecebeParaFuzz(const uint8_t* data, size_t n) { port_.FuzzReceive(data, n); }
#endif

 private:
  platform::SerialPort port_;
};

// The serial module: the channel's link over a local port.  The port opens
// for an update and closes where the family says (a reading taken, the
// request exchange over, Close_Canal, ProgSerial).
class TDMSerialDll final : public TEnlace {
 public:
  TSerCom SerCom;

  TDMSerialDll() = default;
  ~TDMSerialDll() override { SerCom.Close(); }

  bool Abre() override;
  void Fecha() override;
  bool Perdido() const override { return !SerCom.IsOpen(); }
  bool Envia(const uint8_t* bytes, size_t n) override;
  uint32_t CaractereUs() const override { return platform::CharacterTimeUs(SerCom.Settings); }
  bool FechamentoMarcaCanal() const override { return false; }
  void Encerra() override { Fecha(); }
  // A local port has nothing to connect.
  int32_t Seleciona(const std::string&, uint16_t, uint32_t, bool) override;
  void Reprograma(int32_t baud, int32_t dataBits, int32_t paridade, int32_t stopBits) override;
#ifdef PESMO6_FUZZ
  void RecebeParaFuzz(const uint8_t* data, size_t n) override { SerCom.RecebeParaFuzz(data, n); }
#endif

 protected:
  bool EsvaziaSistema() override { return SerCom.DescartaRecebidos() > 0; }

 private:
  // The port announces n waiting bytes: all are taken, judged, and handed
  // on or dropped.
  void Anuncia(uint16_t n);
};

// Port number to device path.  Without a mapping, the platform's default.
void MapSerialPort(uint16_t number, const std::string& device);
std::string DeviceForPort(uint16_t number);

// Test seam: called with the device and the settings of every open attempt,
// before the OS sees them (pseudo-terminals cannot show data bits or parity).
using SerialOpenObserver = std::function<void(const std::string&, const platform::SerialSettings&)>;
void SetSerialOpenObserver(SerialOpenObserver observer);

}  // namespace pesmo6
