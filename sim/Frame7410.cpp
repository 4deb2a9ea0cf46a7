#include "Frame7410.h"

#include <cstdio>

namespace pesmo6sim {

Leitura7410 Leitura7410De(long weight, long tare) {
  Leitura7410 r;
  r.weight = Digits6(weight);
  r.tare = Digits6(tare);
  return r;
}

// Bit 5 keeps the status bytes printable, as indicators send them.
uint8_t Status1(const Leitura7410& r) {
  uint8_t s = 0x20 | static_cast<uint8_t>(r.decimalCode & 0x07);
  if (r.increment == 2) s |= 0x10;
  if (r.increment == 5) s |= 0x18;
  return s;
}

uint8_t Status2(const Leitura7410& r) {
  uint8_t s = 0x20;
  if (r.net) s |= 0x01;
  if (r.negative) s |= 0x02;
  if (r.overload) s |= 0x04;
  if (r.motion) s |= 0x08;
  if (r.kg) s |= 0x10;
  return s;
}

uint8_t Status3(const Leitura7410& r) { return r.auxiliary ? 0x28 : 0x20; }

uint8_t Checksum7410(const std::string& body) {
  unsigned sum = 2;
  for (char c : body) sum += static_cast<uint8_t>(c) & 0x7Fu;
  return static_cast<uint8_t>((0u - sum) & 0x7Fu);
}

std::string FrameFromBody(const std::string& body, bool goodChecksum) {
  uint8_t sum = Checksum7410(body);
  if (!goodChecksum) sum = static_cast<uint8_t>((sum + 1) & 0x7F);
  std::string frame(1, '\x02');
  frame += body;
  frame.push_back(static_cast<char>(sum));
  return frame;
}

std::string Body7410(const Leitura7410& r) {
  std::string body;
  body.push_back(static_cast<char>(Status1(r)));
  body.push_back(static_cast<char>(Status2(r)));
  body.push_back(static_cast<char>(Status3(r)));
  body += r.weight;
  body += r.tare;
  body.push_back('\r');
  return body;
}

std::string Frame7410(const Leitura7410& r, bool goodChecksum) { return FrameFromBody(Body7410(r), goodChecksum); }

std::string FrameKVT(const Leitura7410& r) { return "\x02" + Body7410(r); }

std::string Digits6(long value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%06ld", value < 0 ? -value : value);
  return buf;
}

}  // namespace pesmo6sim
