#include "DataMSerial.h"

#include <map>

namespace pesmo6 {
namespace {
std::map<uint16_t, std::string>& PortMap() {
  static auto* map = new std::map<uint16_t, std::string>();
  return *map;
}
SerialOpenObserver g_observer;
}  // namespace

void MapSerialPort(uint16_t number, const std::string& device) { PortMap()[number] = device; }

std::string DeviceForPort(uint16_t number) {
  if (number == 0) return std::string();  // port 0 names no port
  auto it = PortMap().find(number);
  return it != PortMap().end() ? it->second : platform::SerialPort::DefaultDevice(number);
}

void SetSerialOpenObserver(SerialOpenObserver observer) { g_observer = std::move(observer); }

void TSerCom::Open() {
  if (port_.IsOpen()) return;
  const std::string device = DeviceForPort(ComNumber);
  if (g_observer) g_observer(device, Settings);
  port_.Open(device, Settings);
  ArmaGuarda();
}

void TSerCom::DescartaRecebidos() {
  port_.DiscardInput();
  if (port_.IsOpen()) ArmaGuarda();
}

void TSerCom::SetOnTriggerAvail(platform::SerialPort::AvailHandler handler) {
  handler_ = std::move(handler);
  if (!handler_) {
    port_.SetAvailHandler(nullptr);
    return;
  }
  port_.SetAvailHandler([this](uint16_t n) { Anuncia(n); });
}

void TSerCom::ArmaGuarda() {
  guardaAtiva_ = true;
  guardaInicio_ = platform::Tick();
}

bool TSerCom::Antigos(uint16_t n) const {
  // Characters the wire could have carried since the guard was armed: one
  // more for the tick's millisecond steps, one for a character under way.
  const uint64_t decorridoUs = (static_cast<uint64_t>(platform::Tick() - guardaInicio_) + 1) * 1000u;
  const uint64_t cabem = decorridoUs / platform::CharacterTimeUs(Settings) + 2;
  return n > cabem;
}

void TSerCom::Anuncia(uint16_t n) {
  if (guardaAtiva_) {
    if (Antigos(n)) {
      for (uint16_t i = 0; i < n; ++i) {
        try {
          port_.ReadByte();
        } catch (...) {
          break;
        }
      }
      descartados_ += n;
      return;
    }
    guardaAtiva_ = false;
  }
  // Copy: the handler may detach itself, close the port or delete the
  // channel, this object with it.
  platform::SerialPort::AvailHandler h = handler_;
  if (h) h(n);
}

void TSerCom::Close() { port_.Close(); }

}  // namespace pesmo6
