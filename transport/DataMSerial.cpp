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
}

void TSerCom::Close() { port_.Close(); }

}  // namespace pesmo6
