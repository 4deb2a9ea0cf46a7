#include "Familias.h"

#include <string>

#include "drivers/W_7410.h"
#include "drivers/W_KVT.h"
#include "drivers/W_MSI3360.h"
#include "drivers/W_MSI6260.h"
#include "drivers/W_Ohaus.h"
#include "drivers/W_TRILOGRAF.h"

namespace pesmo6 {
namespace {

template <class D>
std::shared_ptr<TBal> Cria() {
  return std::make_shared<D>();
}

constexpr Familia kFamilias[] = {
    {Disp7410, "7410", &Cria<T7410Bal>, &Cria<T7410Bal>},
    {Disp7410C, "7410-raw", &Cria<T7410Bal>, &Cria<T7410Bal>},
    {DispKVT, "kvt", &Cria<TKVTBal>, &Cria<TKVTBal>},
    {DispOhaus, "ohaus", &Cria<TOhausBal>, &Cria<TOhausBal>},
    {DispMSI3360, "msi3360", &Cria<TMSI3360Bal>, &Cria<TMSI3360Bal>},
    {DispMSI6260, "msi6260", &Cria<TMSI6260Bal>, &Cria<TMSI6260Bal>},
    // The reader answers requests on a serial port and talks unasked on a
    // converter line.
    {DispTrilograf, "trilograf", &Cria<TTrilografSerial>, &Cria<TTrilografLinha>},
};

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
    MsgErro() = "O n\xFAmero da porta serial (" + std::to_string(porta) + ") est\xE1 errado: v\xE1lidos 0 a 65535.";
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
