// The update dispatcher, the readouts and the channel connection routines.
#pragma once

#include <cstdint>
#include <string>

#include "Definir.h"

namespace pesmo6 {

// One channel's update: -1 a normal update, >= 0 a no-motion update with
// that wait; the update code.
int32_t Update_C(int32_t canal, int32_t parametro);
// The updates of `quantos` channels run together on the pump; each code in
// `codigos`, the number that stored a reading (0 or 3), -1 when rejected.
constexpr int32_t kMaxCanaisPorAtualizacao = 1024;
int32_t AtualizaCanais(const int32_t* canais, int32_t quantos, int32_t espera, int32_t* codigos);
int32_t LePesoConsecutivo(int32_t canal, int32_t limiteSegundos, int32_t leituras);

// Text readouts: the field, or the error pattern for a channel without
// transport, closed, deleted or out of the table.
const char* LeTexto(int32_t canal, std::string TClVorel::*campo);
// Floating readouts: the field converted, 0.0 on any failure.
double LeNumero(int32_t canal, std::string TClVorel::*campo);
const char* DisplayErro(int32_t canal);

// Converts a weight text: blanks, a sign, digits with at most one
// `separador`, an optional exponent, blanks.  False when it is not a number.
bool TextoParaNumero(const std::string& texto, char separador, double& valor);

// Connects a network channel's line; 1 done, 0 rejected or not connected
// within kSelectLimiteMs.
constexpr uint32_t kSelectLimiteMs = 5000;
int32_t SelectCanal(int32_t canal);
void CloseCanal(int32_t canal);
void DeletaCanal(int32_t canal);

}  // namespace pesmo6
