#include "W_MSI6260.h"

namespace pesmo6 {

namespace {
constexpr uint8_t kLF = 0x0A;
constexpr std::string_view kGross = "GROSS ";
constexpr std::string_view kTare = " TARE ";
constexpr std::string_view kNet = "  NET ";
constexpr std::string_view kTotal = "TOTAL ";
constexpr const char* kSemValor = "EEEEEEE";

bool Contem(std::string_view texto, std::string_view parte) { return texto.find(parte) != std::string_view::npos; }
}  // namespace

std::string TMSI6260Bal::ExtraiValor(std::string_view linha, std::string_view rotulo, std::string_view unidade) {
  const size_t p = linha.find(rotulo);
  if (p == std::string_view::npos) return kSemValor;
  const size_t q = linha.find(unidade);
  if (q == std::string_view::npos) return kSemValor;
  // One separating character after the six-character label and one before
  // the unit belong to neither; a unit before the label leaves nothing.
  const size_t inicio = p + rotulo.size() + 1;
  if (q < inicio + 1) return std::string();
  return std::string(linha.substr(inicio, q - 1 - inicio));
}

void TMSI6260Bal::IniciaLeitura() {
  Buffer.clear();
  TrataByte = &TMSI6260Bal::RecebeLinha;
}

void TMSI6260Bal::ReiniciaColeta(bool noMeio) {
  IniciaLeitura();
  if (noMeio) TrataByte = &TMSI6260Bal::PulaLinha;
}

void TMSI6260Bal::PulaLinha(uint8_t b) {
  if (b == kLF) TrataByte = &TMSI6260Bal::RecebeLinha;
}

void TMSI6260Bal::RecebeLinha(uint8_t b) {
  if (b != kLF && Buffer.size() >= kMaxAcumulado) Buffer.clear();  // a line that never ends
  Buffer.push_back(static_cast<char>(b));
  if (b != kLF) return;
  const std::string_view linha = Buffer;
  if (!Contem(linha, kTotal) && !Contem(linha, kGross) && !Contem(linha, kTare) && !Contem(linha, kNet)) {
    Buffer.clear();  // no label: not a reading
    return;
  }
  DecodificaLinha(std::move(Buffer));
  Buffer.clear();
  Conclui();
}

void TMSI6260Bal::DecodificaLinha(std::string linha) {
  TrocaMarcasDecimais(linha);
  Status.SoUnidade(Contem(linha, "KG") ? "KG" : "LB");
  TClVorel& ch = *Dono;
  ch.Total = ExtraiValor(linha, kTotal, Status.Unidade);
  ch.Gross = ExtraiValor(linha, kGross, Status.Unidade);
  ch.Net = ExtraiValor(linha, kNet, Status.Unidade);
  ch.Tare = ExtraiValor(linha, kTare, Status.Unidade);
}

}  // namespace pesmo6
