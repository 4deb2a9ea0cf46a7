// The channel object, the channel table, the validation routines and the
// trace point shared by the engine and the drivers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pesmo6.h"
#include "transport/DataMDll.h"
#include "transport/DataMSerial.h"
#include "transport/Trace.h"

namespace pesmo6 {

// Channel states (Situacao).
constexpr int32_t Ocupado = 0;
constexpr int32_t Fechado = 1;
constexpr int32_t Pronto = 2;

// Device-type codes (Dispositivo).
constexpr int32_t Disp7410 = 1;
constexpr int32_t DispOhaus = 2;
constexpr int32_t DispMSI3360 = 3;
constexpr int32_t Disp7410C = 4;
constexpr int32_t DispMSI6260 = 5;
constexpr int32_t DispKVT = 6;
constexpr int32_t DispTrilograf = 7;

// What a text readout gives for a channel without transport or closed.
inline constexpr const char* kPadraoErro = "EEEEEEEEEE";

class TClVorel;
class TOperacao;
using ChannelRef = std::shared_ptr<TClVorel>;

// Common base of the drivers: the family table (engine/Familias.h) creates
// them, the dispatcher asks them for their update.
class TBal {
 public:
  virtual ~TBal() = default;
  int32_t Canal = -1;
  // The update of channel `canal` by this driver (`self` is this driver's
  // own reference, which the update holds while it runs).
  virtual std::unique_ptr<TOperacao> CriaOperacao(std::shared_ptr<TBal> self, ChannelRef canal,
                                                  int32_t parametro) = 0;
  // Binds the driver to its channel at registration.
  virtual void Liga(TClVorel& canal, int32_t numero) = 0;
  // The line settings of the family: a serial registration applies them, a
  // converter line is assumed to run at them.
  virtual const platform::SerialSettings& LinhaDaFamilia() const = 0;
};

// One registered indicator.
//
// Ownership: the table holds channels by shared_ptr, and so does an update
// while it runs.  Close_Canal and Deleta_Canal tear the channel down at once
// (Dispose: port closed, module and driver released), but the memory of the
// channel and of its driver lives until the running update has unwound; the
// update sees that Bal no longer holds its driver and returns.
class TClVorel {
 public:
  ~TClVorel();

  std::string ErroTexto;
  std::string ErroPendente;
  std::unique_ptr<TDMDLL> DMDLL;
  std::unique_ptr<TDMSerialDll> DMSerialDll;
  std::shared_ptr<TBal> Bal;
  int32_t Situacao = Pronto;
  int32_t IndiceIp = 0;
  int32_t CanalSerial = 0;
  int32_t Dispositivo = 0;
  int32_t Porta = 0;
  std::string EmMovimento;
  std::string Estado;
  std::string Gross;
  std::string Net;
  std::string Tare;
  std::string Total;
  std::string Contadora;
  std::string Tag;

  bool TemTransporte() const { return DMDLL != nullptr || DMSerialDll != nullptr; }
  // The channel's one link, whichever module carries it; null once closed.
  TEnlace* Enlace() const {
    if (DMSerialDll) return DMSerialDll.get();
    return DMDLL.get();
  }
  // Destroys the network module, the serial module and the driver, in that
  // order, each where present.
  void Dispose();
};

std::vector<ChannelRef>& Canais();
// The live channel with number n, or null (out of range, or deleted).
ChannelRef CanalVivo(int32_t n);
// Appends an empty slot and returns its number.
int32_t NovoSlot();

// A converter: its address text, NUL-padded to 16 characters.
struct TIpProg {
  char Ip[16];
  std::string Texto() const;  // up to the first NUL
};

// The converter table: only ever appended to.
std::vector<TIpProg>& Ips();
// The number of the converter with this address, appended when new; -1
// for an address longer than 16 characters.
int32_t SetaIp(std::string_view endereco);

// Validation: false leaves the reason in MsgErro.
bool ValidaIp(int32_t n);
bool ValidaCanal(int32_t n);
bool ValidaSerial(std::string_view letra);
std::string& MsgErro();

// Upper-cases ASCII letters only.
std::string MaiusculasAscii(std::string_view s);

}  // namespace pesmo6
