#include "ConversorIO.h"

#include "Definir.h"
#include "drivers/Formato.h"
#include "transport/DataMDll.h"

namespace pesmo6 {
namespace {

const char* const kEntradaErro = "EEEEEEEE";

std::string EnderecoDe(int32_t conversor) { return Ips()[static_cast<size_t>(conversor)].Texto(); }

}  // namespace

int32_t LePortaEntrada(int32_t conversor) {
  const std::string r = EnviaComando(EnderecoDe(conversor), "IN", conversor);
  const size_t p = r.find("IN");
  if (p == std::string::npos) return -1;
  int64_t v = 0;
  if (!InteiroDecimal(std::string_view(r).substr(p + 2, 3), v)) return -1;
  return static_cast<int32_t>(v);
}

int32_t ComandoSaida(int32_t conversor, const std::string& comando) {
  EnviaComando(EnderecoDe(conversor), comando, conversor);
  return 0;
}

int32_t DioInPort(int32_t conversor) {
  try {
    if (!ValidaIp(conversor)) return -1;
    return LePortaEntrada(conversor);
  } catch (...) {
    return -1;
  }
}

const char* DioInPortStr(int32_t conversor) {
  // One library-wide result: valid until the next call.
  static std::string resultado;
  try {
    if (!ValidaIp(conversor)) return kEntradaErro;
    const int32_t v = DioInPort(conversor);
    if (v == -1) return kEntradaErro;
    resultado.clear();
    for (int32_t mascara = 1; mascara <= 128; mascara <<= 1) resultado += (v & mascara) > 0 ? 'S' : 'N';
    return resultado.c_str();
  } catch (...) {
    return kEntradaErro;
  }
}

int32_t DioInBit(int32_t conversor, int32_t bit) {
  try {
    if (!ValidaIp(conversor)) return -1;
    const int32_t v = DioInPort(conversor);
    if (v == -1) return -1;
    const uint32_t mascara = 1u << (static_cast<uint32_t>(bit) & 31u);
    return static_cast<int32_t>(static_cast<uint32_t>(v) & mascara) > 0 ? 1 : 0;
  } catch (...) {
    return -1;
  }
}

int32_t DioInBitStr(int32_t conversor, int32_t bit) {
  try {
    if (!ValidaIp(conversor)) return 'E';
    switch (DioInBit(conversor, bit)) {
      case 0: return 'N';
      case 1: return 'S';
      default: return 'E';
    }
  } catch (...) {
    return 'E';
  }
}

namespace {

// Validates, sends, and on an exchange error traces `rotulo` + " com except".
int32_t Saida(int32_t conversor, const std::string& comando, const std::string& rotulo) {
  try {
    if (!ValidaIp(conversor)) return -1;
    return ComandoSaida(conversor, comando);
  } catch (...) {
    Log(rotulo + " com except");
    return -1;
  }
}

}  // namespace

int32_t DioOutPort(int32_t conversor, int32_t valor) {
  const std::string rotulo = "DIO_OutPort[" + std::to_string(conversor) + "," + std::to_string(valor) + "]";
  Log(rotulo);
  return Saida(conversor, "OP" + std::to_string(valor), rotulo);
}

int32_t DioOutPortStr(int32_t conversor, const std::string& padrao) {
  Log("DIO_OutPort[" + std::to_string(conversor) + "," + padrao + "]");
  uint32_t v = 0;
  for (size_t i = 0; i < padrao.size() && i < 32; ++i) {
    if (padrao[i] == 'S') v |= 1u << i;
  }
  return Saida(conversor, "OP" + std::to_string(static_cast<int32_t>(v)),
               "DIO_OutPortStr[" + std::to_string(conversor) + "," + padrao + "]");
}

int32_t DioOutBit(int32_t conversor, int32_t bit, int32_t estado) {
  const std::string rotulo = "DIO_Outbit[" + std::to_string(conversor) + "," + std::to_string(bit) + "," +
                             std::to_string(estado) + "]";
  Log(rotulo);
  return Saida(conversor, "OB" + std::to_string(estado) + std::to_string(bit), rotulo);
}

int32_t DioOutBitStr(int32_t conversor, int32_t bit, const std::string& estado) {
  const std::string rotulo =
      "DIO_Outbit[" + std::to_string(conversor) + "," + std::to_string(bit) + "," + estado + "]";
  Log(rotulo);
  return Saida(conversor, std::string("OB") + (estado == "S" ? "1" : "0") + std::to_string(bit), rotulo);
}

int32_t LimpaBuffer(int32_t conversor, char tipo, const std::string& letra) {
  try {
    if (!ValidaIp(conversor)) return -1;
    const std::string linha = MaiusculasAscii(letra);
    if (!ValidaSerial(linha)) return -1;
    return ComandoSaida(conversor, std::string(1, tipo) + linha);
  } catch (...) {
    return -1;
  }
}

void ProgSerial(int32_t canal, int32_t baud, int32_t dataBits, int32_t paridade, int32_t stopBits) {
  try {
    ChannelRef ch = CanalVivo(canal);
    if (TEnlace* enlace = ch ? ch->Enlace() : nullptr) enlace->Reprograma(baud, dataBits, paridade, stopBits);
  } catch (...) {
  }
}

}  // namespace pesmo6
