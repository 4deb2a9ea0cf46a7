// The update dispatcher, the readouts and the channel connection routines.
#pragma once

#include <cstdint>
#include <string>

#include "Definir.h"

namespace pesmo6 {

int32_t Update_C(int32_t canal, int32_t parametro);
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
