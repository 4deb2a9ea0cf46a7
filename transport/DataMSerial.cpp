#include "DataMSerial.h"

#include <cerrno>
#include <map>

#include "Trace.h"

namespace pesmo6 {
namespace {
std::map<uint16_t, std::string>& PortMap() {
  static auto* map = new std::map<uint16_t, std::string>();
  return *map;
}
SerialOpenObserver g_observer;

// What kind of failure an open's error was.
FalhaEnlace Classifica(const platform::SerialError& e) {
  switch (e.Kind()) {
    case platform::SerialError::Missing: return FalhaEnlace::PortaInexistente;
    case platform::SerialError::Denied: return FalhaEnlace::PortaSemPermissao;
    case platform::SerialError::Busy: return FalhaEnlace::PortaEmUso;
    case platform::SerialError::Settings: return FalhaEnlace::AjusteRecusado;
    case platform::SerialError::Other: break;
  }
  return FalhaEnlace::PortaInexistente;
}
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

bool TDMSerialDll::Abre() {
  SerCom.SetOnTriggerAvail([this](uint16_t n) { Anuncia(n); });
  try {
    SerCom.Open();
    return true;
  } catch (const platform::SerialError& e) {
    Falhou(Classifica(e), e.what());
    return false;
  }
}

void TDMSerialDll::Fecha() {
  Escuta(nullptr);
  SerCom.SetOnTriggerAvail(nullptr);
  SerCom.Close();
}

bool TDMSerialDll::Envia(const uint8_t* bytes, size_t n) {
  try {
    while (n > 0) {
      const uint16_t parte = n > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(n);
      SerCom.EnviaBloco(bytes, parte);
      bytes += parte;
      n -= parte;
    }
    return true;
  } catch (const platform::SerialError& e) {
    Falhou(SerCom.IsOpen() ? FalhaEnlace::EnvioFalhou : FalhaEnlace::PortaPerdida, e.what());
    return false;
  }
}

int32_t TDMSerialDll::Seleciona(const std::string&, uint16_t, uint32_t, bool) {
  Log("DMDLL n\xE3o existe");
  return 1;
}

void TDMSerialDll::Reprograma(int32_t baud, int32_t dataBits, int32_t paridade, int32_t stopBits) {
  SerCom.Close();
  if (dataBits < 0 || dataBits > 65535 || stopBits < 0 || stopBits > 65535) return;
  SerCom.Settings.baud = baud;
  SerCom.Settings.dataBits = static_cast<uint16_t>(dataBits);
  SerCom.Settings.stopBits = static_cast<uint16_t>(stopBits);
  SerCom.Settings.parity = paridade == 1 ? Parity::Odd : paridade == 2 ? Parity::Even : Parity::None;
}

void TDMSerialDll::Anuncia(uint16_t n) {
  NovaEntrega();
  Chegaram(n, n);
  const std::shared_ptr<bool> vivo = vivo_;
  const uint64_t geracao = Geracao();
  for (uint16_t i = 0; i < n; ++i) {
    // The receptor discarded or paused the link: the rest went with it.
    if (Geracao() != geracao) return;
    uint8_t b = 0;
    try {
      b = SerCom.LeByte();
    } catch (const platform::SerialError&) {
      // Dropped meanwhile (a discard from the receptor), gone, or fewer
      // than announced.
      EntregaInterrompida(static_cast<uint64_t>(n - i));
      return;
    }
    if (!Entrega(b) || !*vivo) return;
  }
}

}  // namespace pesmo6
