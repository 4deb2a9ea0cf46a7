#include "Definir.h"

#include <cstring>

#include "Mensagens.h"

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
  if (endereco.size() > sizeof(TIpProg::Ip)) {  // would reach another host if cut
    g_msgErro = MsgEnderecoLongo(endereco);
    return -1;
  }
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
    g_msgErro = MsgSemIp();
    return false;
  }
  if (n < 0 || static_cast<size_t>(n) > t.size() - 1) {
    g_msgErro = MsgIpErrado(n, t.size());
    return false;
  }
  return true;
}

bool ValidaCanal(int32_t n) {
  const auto& t = Canais();
  if (t.empty()) {
    g_msgErro = MsgSemCanal();
    return false;
  }
  if (n < 0 || static_cast<size_t>(n) > t.size() - 1) {
    g_msgErro = MsgCanalErrado(n, t.size());
    return false;
  }
  if (!t[static_cast<size_t>(n)]) {
    g_msgErro = MsgCanalNaoInicializado(n);
    return false;
  }
  return true;
}

bool ValidaSerial(std::string_view letra) {
  if (letra == "A" || letra == "B" || letra == "C" || letra == "D") return true;
  g_msgErro = MsgLinhaInexistente(letra);
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
