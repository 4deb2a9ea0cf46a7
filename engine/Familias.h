// The indicator families: one table from which the device codes, the driver
// of each transport and the registrations derive.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "Definir.h"

namespace pesmo6 {

struct Familia {
  int32_t dispositivo;  // the channel's device code
  const char* nome;     // as the tools name it
  // The driver on a local serial port and on a converter line.
  std::shared_ptr<TBal> (*criaSerial)();
  std::shared_ptr<TBal> (*criaRede)();
};

std::span<const Familia> Familias();
// The family of a device code, or null for a code no family has.
const Familia* FamiliaDe(int32_t dispositivo);

// A new channel of family `dispositivo` on line `letra` ("A" to "D", either
// case) of converter `conversor`: its number, or -1 with the reason in
// MsgErro.
int32_t RegistraRede(int32_t dispositivo, int32_t conversor, const char* letra);
// A new channel of family `dispositivo` on local serial port `porta`; -1
// with the reason in MsgErro for a number above 65535.
int32_t RegistraSerial(int32_t dispositivo, uint32_t porta);

}  // namespace pesmo6
