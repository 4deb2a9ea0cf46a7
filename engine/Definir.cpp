#include "Definir.h"

#include <cstring>


namespace pesmo6 {
namespace {
std::string g_msgErro;
}  // namespace

TClVorel::~TClVorel() { Dispose(); }

void TClVorel::Dispose() {
  DMDLL.reset();
  DMSerialDll.reset();
  Bal.reset();
}

// Never destroyed: unloading the library must close nothing (the host closes
// and deletes its channels first), and the ports' registry may already be
// gone by then.
std::vector<ChannelRef>& Canais() {
  static auto* table = new std::vector<ChannelRef>();
  return *table;
}

ChannelRef CanalVivo(int32_t n) {
  auto& t = Canais();
  if (n < 0 || static_cast<size_t>(n) >= t.size()) return nullptr;
  return t[static_cast<size_t>(n)];
}

int32_t NovoSlot() {
  Canais().emplace_back();
  return static_cast<int32_t>(Canais().size() - 1);
}

std::string& MsgErro() { return g_msgErro; }

std::string TIpProg::Texto() const { return std::string(Ip, strnlen(Ip, sizeof Ip)); }

std::vector<TIpProg>& Ips() {
  static auto* table = new std::vector<TIpProg>();
  return *table;
}

int32_t SetaIp(std::string_view endereco) {
  Log("SetaIP[" + std::string(endereco) + "]");
  if (endereco.size() > sizeof(TIpProg::Ip)) return -1;  // would reach another host if cut
  auto& tabela = Ips();
  for (size_t i = 0; i < tabela.size(); ++i) {
    if (tabela[i].Texto() == endereco) return static_cast<int32_t>(i);
  }
  TIpProg novo{};
  std::memcpy(novo.Ip, endereco.data(), endereco.size());
  tabela.push_back(novo);
  return static_cast<int32_t>(tabela.size() - 1);
}

bool ValidaIp(int32_t n) {
  const auto& t = Ips();
  if (t.empty()) {
    g_msgErro = "N\xE3o existe IP registrado !\n\rUtilize a fun\xE7\xE3o Seta_Ip.";
    return false;
  }
  if (n < 0 || static_cast<size_t>(n) > t.size() - 1) {
    g_msgErro = "O n\xFAmero de IP registrado (" + std::to_string(n) + ") est\xE1 errado !\n\rTemos " +
                std::to_string(t.size()) + " IP registrado(s).";
    return false;
  }
  return true;
}

bool ValidaCanal(int32_t n) {
  const auto& t = Canais();
  const std::string num = std::to_string(n);
  if (t.empty()) {
    g_msgErro =
        "N\xE3o existe Canal registrado !\n\rUtilize a fun\xE7\xE3o de acordo com o dispositivo "
        "(W7410,W5318, etc.).";
    return false;
  }
  if (n < 0 || static_cast<size_t>(n) > t.size() - 1) {
    g_msgErro = "O n\xFAmero de Canal registrado (" + num + ") est\xE1 errado !\n\rTemos " +
                std::to_string(t.size()) + " Canal(is) registrado(s).";
    return false;
  }
  if (!t[static_cast<size_t>(n)]) {
    g_msgErro = "O n\xFAmero de Canal registrado (" + num + ") n\xE3o est\xE1 inicializado !\n\r";
    return false;
  }
  return true;
}

bool ValidaSerial(std::string_view letra) {
  if (letra == "A" || letra == "B" || letra == "C" || letra == "D") return true;
  g_msgErro = "O canal (" + std::string(letra) +
              ") n\xE3o existe !\n\rUtilize os canais seriais A,B,C ou D.";
  return false;
}

std::string MaiusculasAscii(std::string_view s) {
  std::string r(s);
  for (char& c : r) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return r;
}

}  // namespace pesmo6
