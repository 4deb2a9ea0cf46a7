// The converter's digital inputs and outputs and its line buffers, each
// reached by one text command on the converter's command port; and
// ProgSerial, which changes a serial channel's line settings.
#pragma once

#include <cstdint>
#include <string>

namespace pesmo6 {

// The "IN" exchange: the input port value, or -1 when the reply holds no
// "IN" followed by a number.
int32_t LePortaEntrada(int32_t conversor);
// Sends a command; 0 whatever the reply.  Exchange errors pass on.
int32_t ComandoSaida(int32_t conversor, const std::string& comando);

int32_t DioInPort(int32_t conversor);
const char* DioInPortStr(int32_t conversor);
int32_t DioInBit(int32_t conversor, int32_t bit);
int32_t DioInBitStr(int32_t conversor, int32_t bit);
int32_t DioOutPort(int32_t conversor, int32_t valor);
int32_t DioOutPortStr(int32_t conversor, const std::string& padrao);
int32_t DioOutBit(int32_t conversor, int32_t bit, int32_t estado);
int32_t DioOutBitStr(int32_t conversor, int32_t bit, const std::string& estado);
// 'R' clears the receive buffer of a line, 'W' the transmit buffer.
int32_t LimpaBuffer(int32_t conversor, char tipo, const std::string& letra);
void ProgSerial(int32_t canal, int32_t baud, int32_t dataBits, int32_t paridade, int32_t stopBits);

}  // namespace pesmo6
