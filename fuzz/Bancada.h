// The bench every driver target runs on: real channels on a serial port (a
// pseudo-terminal the library opens like any device) and on line A of a
// converter (a loopback listener of this process), and the delivery of one
// input to a channel's port in the pieces the event pump hands over, while
// real updates of the channel run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// An invariant that fails is a finding: libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      __builtin_trap();                                                                   \
    }                                                                                     \
  } while (0)

namespace pesmo6fuzz {

// One input as the targets read it: byte 0 chooses the target's mode, byte
// 1 the piece sizes (0: all in one piece; n: pieces of 1 to n bytes drawn
// from a generator seeded by the input), the rest is what the indicator sent.
struct Entrada {
  uint8_t modo = 0;
  std::string bytes;
  std::vector<size_t> pedacos;  // sizes, adding up to bytes.size()
};
Entrada Corta(const uint8_t* data, size_t size);

// How a family's updates are run.
struct Ritmo {
  uint32_t caractereUs;    // wire time of one character: a piece arrives after it
  uint32_t passoMinimoMs;  // at least this much time passes per piece
  int32_t espera;          // -1 normal updates (Update_Canal), else Update_NoMotion's wait
};

class Bancada {
 public:
  static Bancada& Instancia();

  // A new channel of a family on the bench's serial port or converter line
  // (connected); -1 when it could not be set up.
  int32_t NoSerial(int32_t (*registra)(uint32_t porta));
  int32_t NaLinha(int32_t (*registra)(int32_t conversor, const char* linha));

  // Runs updates of `canal` until every piece was delivered, one piece per
  // pump pass; `confere` sees each update's code.  Time moves on by each
  // piece's wire time; after the last piece it jumps past every wait, so
  // the update running then ends.
  void Alimenta(int32_t canal, const Entrada& entrada, const Ritmo& ritmo,
                const std::function<void(int32_t codigo)>& confere);

  // Closes and deletes the channel; drops what it sent.
  void Encerra(int32_t canal);

  int32_t Conversor() const { return conversor_; }
  const std::string& Endereco() const { return endereco_; }

 private:
  Bancada();
  void Drena();

  int master_ = -1;       // the pseudo-terminal's master side
  int ouvinte_ = -1;      // listener of line A
  int par_ = -1;          // the accepted end of the line channel's link
  int32_t conversor_ = -1;
  std::string endereco_;
};

// The readouts of a channel as the host sees them.
std::string Texto(const char* p);

// The serial port number the bench maps to its pseudo-terminal.
constexpr uint32_t kPortaBancada = 60001;

}  // namespace pesmo6fuzz
