#include "Familias.h"

#include <string>

#include "drivers/W_7410.h"
#include "drivers/W_KVT.h"
#include "drivers/W_MSI3360.h"
#include "drivers/W_MSI6260.h"
#include "drivers/W_Ohaus.h"
#include "drivers/W_TRILOGRAF.h"
#include "ListaFamilias.h"
#include "Mensagens.h"

namespace pesmo6 {
namespace {

template <class D>
std::shared_ptr<TBal> Cria() {
  return std::make_shared<D>();
}

// The drivers of each device code: on a local serial port, on a converter
// line.  Most families run the same driver on both.
template <int32_t Codigo>
struct Drivers;
template <class D>
struct Ambos {
  using Serial = D;
  using Rede = D;
};
template <>
struct Drivers<Disp7410> : Ambos<T7410Bal> {};
template <>
struct Drivers<Disp7410C> : Ambos<T7410Bal> {};
template <>
struct Drivers<DispKVT> : Ambos<TKVTBal> {};
template <>
struct Drivers<DispOhaus> : Ambos<TOhausBal> {};
template <>
struct Drivers<DispMSI3360> : Ambos<TMSI3360Bal> {};
template <>
struct Drivers<DispMSI6260> : Ambos<TMSI6260Bal> {};
// The reader answers requests on a serial port and talks unasked on a
// converter line.
template <>
struct Drivers<DispTrilograf> {
  using Serial = TTrilografSerial;
  using Rede = TTrilografLinha;
};

#define PESMO6_FAMILIA(codigo, nome, serial, rede, escuta, bruto, etiqueta, total) \
  {codigo, nome, &Cria<Drivers<codigo>::Serial>, &Cria<Drivers<codigo>::Rede>},
constexpr Familia kFamilias[] = {PESMO6_FAMILIAS(PESMO6_FAMILIA)};
#undef PESMO6_FAMILIA

// Appends the channel built by `monta` to the table; -1 (and the slot
// removed again) when building it fails.
template <class F>
int32_t Registra(F monta) {
  auto& tabela = Canais();
  const int32_t n = NovoSlot();
  try {
    auto ch = std::make_shared<TClVorel>();
    tabela[static_cast<size_t>(n)] = ch;
    monta(*ch, n);
    ch->Situacao = Pronto;
    return n;
  } catch (...) {
    // Whatever was built goes with the slot.
    if (tabela.size() == static_cast<size_t>(n) + 1) {
      ChannelRef ch = std::move(tabela.back());
      tabela.pop_back();
    }
    return -1;
  }
}

}  // namespace

std::span<const Familia> Familias() { return kFamilias; }

const Familia* FamiliaDe(int32_t dispositivo) {
  for (const Familia& f : kFamilias) {
    if (f.dispositivo == dispositivo) return &f;
  }
  return nullptr;
}

int32_t RegistraRede(int32_t dispositivo, int32_t conversor, const char* letra) {
  const Familia* familia = FamiliaDe(dispositivo);
  if (familia == nullptr) return -1;
  if (!ValidaIp(conversor)) return -1;
  const std::string linha = MaiusculasAscii(letra != nullptr ? letra : "");
  if (!ValidaSerial(linha)) return -1;
  return Registra([&](TClVorel& ch, int32_t n) {
    std::shared_ptr<TBal> bal = familia->criaRede();
    ch.DMDLL = std::make_unique<TDMDLL>(bal->LinhaDaFamilia());
    ch.Bal = bal;
    bal->Liga(ch, n);
    ch.IndiceIp = conversor;
    ch.CanalSerial = linha[0] - 'A' + 1;
    ch.Dispositivo = dispositivo;
    ch.Porta = kPortaComando + ch.CanalSerial;
  });
}

int32_t RegistraSerial(int32_t dispositivo, uint32_t porta) {
  const Familia* familia = FamiliaDe(dispositivo);
  if (familia == nullptr) return -1;
  if (porta > 65535) {
    MsgErro() = MsgPortaForaDaFaixa(porta);
    return -1;
  }
  return Registra([&](TClVorel& ch, int32_t n) {
    std::shared_ptr<TBal> bal = familia->criaSerial();
    ch.DMSerialDll = std::make_unique<TDMSerialDll>();
    ch.Bal = bal;
    bal->Liga(ch, n);
    TSerCom& porta_ = ch.DMSerialDll->SerCom;
    porta_.Settings = bal->LinhaDaFamilia();
    porta_.AutoOpen = false;
    porta_.ComNumber = static_cast<uint16_t>(porta);
    ch.Dispositivo = dispositivo;
  });
}

}  // namespace pesmo6
