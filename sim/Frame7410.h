// Frames of a 7410 indicator: STX, three status bytes, six weight digits,
// six tare digits, CR, checksum.
#pragma once

#include <cstdint>
#include <string>

namespace pesmo6sim {

struct Leitura7410 {
  int decimalCode = 4;        // status 1 bits 0-2 (decimals = code - 2 from 3 up)
  int increment = 1;          // 1, 2 or 5 (status 1 bits 3-4)
  bool net = false;           // status 2 bit 0
  bool negative = false;      // status 2 bit 1
  bool overload = false;      // status 2 bit 2
  bool motion = false;        // status 2 bit 3
  bool kg = true;             // status 2 bit 4
  bool auxiliary = false;     // status 3 bit 3
  std::string weight = "000000";  // six characters, sent as they are
  std::string tare = "000000";
};

// A reading with `weight` and `tare` in display units, the rest default.
Leitura7410 Leitura7410De(long weight, long tare = 0);

uint8_t Status1(const Leitura7410& r);
uint8_t Status2(const Leitura7410& r);
uint8_t Status3(const Leitura7410& r);

// The 7-bit checksum over STX and every character through the CR.
uint8_t Checksum7410(const std::string& bodyThroughCr);

// A whole frame.  `body` is everything between STX and the checksum, CR
// included; a wrong checksum flips its value.
std::string FrameFromBody(const std::string& bodyThroughCr, bool goodChecksum = true);
std::string Frame7410(const Leitura7410& r, bool goodChecksum = true);

// The frame body (status bytes through CR) of a reading.
std::string Body7410(const Leitura7410& r);

// A KVT frame: STX and the same body, no checksum.
std::string FrameKVT(const Leitura7410& r);

// Six digits for a weight in display units: 1250 -> "001250".
std::string Digits6(long value);

}  // namespace pesmo6sim
