// The exported C interface: each export validates, calls into the engine and
// turns any failure into its defined result.  Nothing is thrown past here.
#include "pesmo6.h"

#include <string>

#include "Canal.h"
#include "ConversorIO.h"
#include "Definir.h"
#include "Familias.h"
#include "Mensagens.h"
#include "transport/DataMSerial.h"
#include "transport/EventPump.h"

using namespace pesmo6;

namespace {

template <class F, class R>
R Guarded(R falha, F&& corpo) noexcept {
  ExportScope scope;
  try {
    return corpo();
  } catch (...) {
    return falha;
  }
}

template <class F>
void Guarded(F&& corpo) noexcept {
  ExportScope scope;
  try {
    corpo();
  } catch (...) {
  }
}

const char* const kProduto = "PESMO";
// The build passes the project's version (CMakeLists.txt), the one place it is kept.
#ifndef PESMO6_VERSAO
#error "PESMO6_VERSAO must name the library version"
#endif
const char* const kVersao = PESMO6_VERSAO;
const char* const kVazio = "";
const char* const kBiblioteca = "Pesmo6";

}  // namespace

extern "C" {

PESMO6_API int32_t PESMO6_CALL Seta_Ip(const char* endereco) {
  return Guarded(-1, [&] { return SetaIp(endereco != nullptr ? endereco : ""); });
}

PESMO6_API int32_t PESMO6_CALL W7410(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return RegistraRede(Disp7410, conversor, linha); });
}

PESMO6_API int32_t PESMO6_CALL W7410C(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return RegistraRede(Disp7410C, conversor, linha); });
}

PESMO6_API int32_t PESMO6_CALL W7410Serial(uint32_t porta) {
  return Guarded(-1, [&] { return RegistraSerial(Disp7410, porta); });
}

PESMO6_API int32_t PESMO6_CALL W7410SerialC(uint32_t porta) {
  return Guarded(-1, [&] { return RegistraSerial(Disp7410C, porta); });
}

PESMO6_API int32_t PESMO6_CALL WKVT(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return RegistraRede(DispKVT, conversor, linha); });
}

PESMO6_API int32_t PESMO6_CALL WKVTSerial(uint32_t porta) {
  return Guarded(-1, [&] { return RegistraSerial(DispKVT, porta); });
}

PESMO6_API int32_t PESMO6_CALL WOhaus(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return RegistraRede(DispOhaus, conversor, linha); });
}

PESMO6_API int32_t PESMO6_CALL WOhausSerial(uint32_t porta) {
  return Guarded(-1, [&] { return RegistraSerial(DispOhaus, porta); });
}

PESMO6_API int32_t PESMO6_CALL WTrilograf(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return RegistraRede(DispTrilograf, conversor, linha); });
}

PESMO6_API int32_t PESMO6_CALL WTrilografSerial(uint32_t porta) {
  return Guarded(-1, [&] { return RegistraSerial(DispTrilograf, porta); });
}

PESMO6_API int32_t PESMO6_CALL WMSI3360(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return RegistraRede(DispMSI3360, conversor, linha); });
}

PESMO6_API int32_t PESMO6_CALL WMSI3360Serial(uint32_t porta) {
  return Guarded(-1, [&] { return RegistraSerial(DispMSI3360, porta); });
}

PESMO6_API int32_t PESMO6_CALL WMSI6260(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return RegistraRede(DispMSI6260, conversor, linha); });
}

PESMO6_API int32_t PESMO6_CALL WMSI6260Serial(uint32_t porta) {
  return Guarded(-1, [&] { return RegistraSerial(DispMSI6260, porta); });
}

PESMO6_API int32_t PESMO6_CALL Update_Canal(int32_t canal) {
  return Guarded(1, [&] { return Update_C(canal, -1); });
}

PESMO6_API int32_t PESMO6_CALL Update_NoMotion(int32_t canal, int32_t espera) {
  return Guarded(1, [&] {
    Log("Update_NoMotion[" + std::to_string(canal) + "," + std::to_string(espera) + "]");
    return Update_C(canal, espera);
  });
}

PESMO6_API int32_t PESMO6_CALL Update_Canais(const int32_t* canais, int32_t quantos, int32_t espera,
                                             int32_t* codigos) {
  return Guarded(-1, [&] { return AtualizaCanais(canais, quantos, espera, codigos); });
}

PESMO6_API int32_t PESMO6_CALL LePesoConsecutivo(int32_t canal, int32_t limite, int32_t leituras) {
  return Guarded(1, [&] { return pesmo6::LePesoConsecutivo(canal, limite, leituras); });
}

#define PESMO6_TEXT_READOUT(Export, Field)                                               \
  PESMO6_API const char* PESMO6_CALL Export(int32_t canal) {                             \
    return Guarded<>(static_cast<const char*>(kPadraoErro),                              \
                     [&] { return LeTexto(canal, &TClVorel::Field); });                  \
  }
PESMO6_TEXT_READOUT(Gross_Canal, Gross)
PESMO6_TEXT_READOUT(Net_Canal, Net)
PESMO6_TEXT_READOUT(Tare_Canal, Tare)
PESMO6_TEXT_READOUT(Tag_Canal, Tag)
PESMO6_TEXT_READOUT(Total_Canal, Total)
PESMO6_TEXT_READOUT(Contadora_Canal, Contadora)
PESMO6_TEXT_READOUT(Estado_Canal, Estado)
PESMO6_TEXT_READOUT(Estado_EmMovimento, EmMovimento)
#undef PESMO6_TEXT_READOUT

PESMO6_API double PESMO6_CALL Gross_Canal_Float(int32_t canal) {
  return Guarded(0.0, [&] { return LeNumero(canal, &TClVorel::Gross); });
}
PESMO6_API double PESMO6_CALL Net_Canal_Float(int32_t canal) {
  return Guarded(0.0, [&] { return LeNumero(canal, &TClVorel::Net); });
}
PESMO6_API double PESMO6_CALL Tare_Canal_Float(int32_t canal) {
  return Guarded(0.0, [&] { return LeNumero(canal, &TClVorel::Tare); });
}

PESMO6_API const char* PESMO6_CALL Display_Erro(int32_t canal) {
  return Guarded(kVazio, [&] { return DisplayErro(canal); });
}

PESMO6_API void PESMO6_CALL FirVer(const char** produto, const char** versao, const char** r1,
                                   const char** r2, const char** biblioteca) {
  if (produto) *produto = kProduto;
  if (versao) *versao = kVersao;
  if (r1) *r1 = kVazio;
  if (r2) *r2 = kVazio;
  if (biblioteca) *biblioteca = kBiblioteca;
}

PESMO6_API int32_t PESMO6_CALL Select_Canal(int32_t canal) {
  return Guarded(0, [&] { return SelectCanal(canal); });
}

PESMO6_API void PESMO6_CALL Close_Canal(int32_t canal) {
  Guarded([&] { CloseCanal(canal); });
}

PESMO6_API void PESMO6_CALL Deleta_Canal(int32_t canal) {
  Guarded([&] { DeletaCanal(canal); });
}

PESMO6_API int32_t PESMO6_CALL Seta_Porta(uint32_t porta, const char* dispositivo) {
  return Guarded(-1, [&] {
    if (porta > 65535) {
      MsgErro() = MsgPortaForaDaFaixa(porta);
      return -1;
    }
    if (porta == 0 || dispositivo == nullptr || *dispositivo == '\0') {
      MsgErro() = MsgPortaSemDispositivo(porta);
      return -1;
    }
    MapSerialPort(static_cast<uint16_t>(porta), dispositivo);
    return 0;
  });
}

PESMO6_API int32_t PESMO6_CALL DIO_InPort(int32_t conversor) {
  return Guarded(-1, [&] { return DioInPort(conversor); });
}

PESMO6_API const char* PESMO6_CALL DIO_InPortStr(int32_t conversor) {
  return Guarded(static_cast<const char*>("EEEEEEEE"), [&] { return DioInPortStr(conversor); });
}

PESMO6_API int32_t PESMO6_CALL DIO_InBit(int32_t conversor, int32_t bit) {
  return Guarded(-1, [&] { return DioInBit(conversor, bit); });
}

PESMO6_API int32_t PESMO6_CALL DIO_InBitStr(int32_t conversor, int32_t bit) {
  return Guarded(static_cast<int32_t>('E'), [&] { return DioInBitStr(conversor, bit); });
}

PESMO6_API int32_t PESMO6_CALL DIO_OutPort(int32_t conversor, int32_t valor) {
  return Guarded(-1, [&] { return DioOutPort(conversor, valor); });
}

PESMO6_API int32_t PESMO6_CALL DIO_OutPortStr(int32_t conversor, const char* padrao) {
  return Guarded(-1, [&] { return DioOutPortStr(conversor, padrao != nullptr ? padrao : ""); });
}

PESMO6_API int32_t PESMO6_CALL DIO_OutBit(int32_t conversor, int32_t bit, int32_t estado) {
  return Guarded(-1, [&] { return DioOutBit(conversor, bit, estado); });
}

PESMO6_API int32_t PESMO6_CALL DIO_OutBitStr(int32_t conversor, int32_t bit, const char* estado) {
  return Guarded(-1, [&] { return DioOutBitStr(conversor, bit, estado != nullptr ? estado : ""); });
}

PESMO6_API int32_t PESMO6_CALL ClrBufRx(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return LimpaBuffer(conversor, 'R', linha != nullptr ? linha : ""); });
}

PESMO6_API int32_t PESMO6_CALL ClrBufTx(int32_t conversor, const char* linha) {
  return Guarded(-1, [&] { return LimpaBuffer(conversor, 'W', linha != nullptr ? linha : ""); });
}

PESMO6_API void PESMO6_CALL ProgSerial(int32_t canal, int32_t baud, int32_t dataBits, int32_t paridade,
                                       int32_t stopBits) {
  Guarded([&] { pesmo6::ProgSerial(canal, baud, dataBits, paridade, stopBits); });
}

PESMO6_API void PESMO6_CALL Seta_Log(Pesmo6LogCallback callback) { SetLogSink(callback); }

PESMO6_API const char* PESMO6_CALL Erro_Validacao(void) { return MsgErro().c_str(); }

PESMO6_API int32_t PESMO6_CALL Seta_Idioma(int32_t idioma) { return SetaIdioma(idioma) ? 0 : -1; }

PESMO6_API void PESMO6_CALL Seta_Trafego(Pesmo6TrafficCallback callback) { SetTrafficSink(callback); }

PESMO6_API void PESMO6_CALL Seta_Eventos(Pesmo6EventCallback callback, void* contexto) {
  SetHostHook(callback, contexto);
}

}  // extern "C"
