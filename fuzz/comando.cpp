// The converter's command reply: the collector of EnviaComando and the
// parsing of the "IN" reply by the digital I/O exports.  A listener of this
// process plays the command port: it reads the command up to its CR and
// answers with the input, piece by piece, then hangs up.  Mode byte: bits
// 0-2 the export (DIO_InPort, DIO_InPortStr, DIO_InBit, DIO_InBitStr,
// DIO_OutPort, DIO_OutPortStr, ClrBufRx, the exchange itself), bits 3-7 the
// bit number.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "Comum.h"
#include "engine/Definir.h"
#include "transport/DataMDll.h"

using namespace pesmo6fuzz;

namespace {

// The command port: one connection per exchange, answered with the pieces
// of the current input.
class PortaComando {
 public:
  explicit PortaComando(const std::string& endereco) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(pesmo6::kPortaComando);
    inet_pton(AF_INET, endereco.c_str(), &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0) {
      std::perror("command port");
      std::abort();
    }
    std::thread([this] { Serve(); }).detach();
  }

  void Responde(const Entrada& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    entrada_ = e;
  }

 private:
  void Serve() {
    for (;;) {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      const int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const timeval limite{2, 0};
      setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limite, sizeof limite);
      // The command, up to its CR.
      char ch = 0;
      while (recv(c, &ch, 1, 0) == 1 && ch != '\r') {
      }
      Entrada e;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        e = entrada_;
      }
      size_t inicio = 0;
      for (size_t n : e.pedacos) {
        if (send(c, e.bytes.data() + inicio, n, MSG_NOSIGNAL) < 0) break;
        inicio += n;
      }
      close(c);
    }
  }

  int fd_ = -1;
  std::mutex mutex_;
  Entrada entrada_;
};

bool Padrao(const std::string& t) {
  if (t == "EEEEEEEE") return true;
  if (t.size() != 8) return false;
  for (char c : t) {
    if (c != 'S' && c != 'N') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bancada& b = Bancada::Instancia();
  static PortaComando* porta = new PortaComando(b.Endereco());
  const Entrada e = Corta(data, size);
  porta->Responde(e);
  const int32_t conv = b.Conversor();
  const int32_t bit = e.modo >> 3;
  // A zero byte drops the rest of its piece, so an "IN" may form across
  // pieces; without both letters there is none.
  const bool temIN = e.bytes.find('I') != std::string::npos && e.bytes.find('N') != std::string::npos;
  switch (e.modo & 7) {
    case 0: {
      const int32_t v = DIO_InPort(conv);
      FUZZ_CHECK(v >= -99 && v <= 999);
      if (!temIN) FUZZ_CHECK(v == -1);
      break;
    }
    case 1: {
      const std::string t = Texto(DIO_InPortStr(conv));
      FUZZ_CHECK(Padrao(t));
      if (!temIN) FUZZ_CHECK(t == "EEEEEEEE");
      break;
    }
    case 2: {
      const int32_t v = DIO_InBit(conv, bit);
      FUZZ_CHECK(v == -1 || v == 0 || v == 1);
      break;
    }
    case 3: {
      const int32_t v = DIO_InBitStr(conv, bit);
      FUZZ_CHECK(v == 'S' || v == 'N' || v == 'E');
      break;
    }
    case 4:
      FUZZ_CHECK(DIO_OutPort(conv, bit) == 0);
      break;
    case 5:
      FUZZ_CHECK(DIO_OutPortStr(conv, "SNS") == 0);
      break;
    case 6:
      FUZZ_CHECK(ClrBufRx(conv, "a") == 0);
      break;
    default: {
      // The collector itself: never more than was sent, never past its
      // bound, and nothing after the terminator's first end.
      const std::string r = pesmo6::EnviaComando(b.Endereco(), "IN", conv);
      FUZZ_CHECK(r.size() <= e.bytes.size() && r.size() <= pesmo6::kMaxResposta + 1024);
      const size_t fim = r.find(pesmo6::kFimResposta);
      if (fim != std::string::npos) FUZZ_CHECK(fim + 5 <= r.size());
      break;
    }
  }
  return 0;
}
