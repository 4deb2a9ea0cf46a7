#include "Canal.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <vector>
#include <cmath>

#include "Familias.h"
#include "Mensagens.h"
#include "drivers/Operacao.h"
#include "transport/EventPump.h"
#include "transport/platform/Platform.h"

namespace pesmo6 {

namespace {

// The update of channel `canal` as an operation, or null when the channel
// cannot be updated now (code 1): out of the table, deleted, closed, of no
// known family, or already updating.
std::unique_ptr<TOperacao> Prepara(int32_t canal, int32_t parametro) {
  Log("Update_C[" + std::to_string(canal) + "," + std::to_string(parametro) + "]");
  ChannelRef ch = CanalVivo(canal);
  if (!ch || ch->Situacao == Fechado) return nullptr;
  if (FamiliaDe(ch->Dispositivo) == nullptr) return nullptr;
  if (ch->Situacao != Pronto || !ch->Bal || ch->Enlace() == nullptr) return nullptr;
  return ch->Bal->CriaOperacao(ch->Bal, ch, parametro);
}

// The reason of an update that stored nothing, from what its link saw: the
// channel's pending error, which Display_Erro hands out.
Motivo MotivoDe(FalhaEnlace falha) {
  switch (falha) {
    case FalhaEnlace::PortaInexistente: return Motivo::PortaInexistente;
    case FalhaEnlace::PortaSemPermissao: return Motivo::PermissaoNegada;
    case FalhaEnlace::PortaEmUso: return Motivo::PortaEmUso;
    case FalhaEnlace::AjusteRecusado: return Motivo::LinhaRecusada;
    case FalhaEnlace::PortaPerdida: return Motivo::PortaFechada;
    case FalhaEnlace::LinhaDesconectada: return Motivo::LinhaDesconectada;
    case FalhaEnlace::LinhaCaiu: return Motivo::LinhaCaiu;
    case FalhaEnlace::ConversorRecusou: return Motivo::ConversorRecusou;
    case FalhaEnlace::ConversorMudo: return Motivo::ConversorNaoRespondeu;
    case FalhaEnlace::EnderecoInvalido: return Motivo::EnderecoNaoResolvido;
    case FalhaEnlace::EnvioFalhou: return Motivo::EnvioFalhou;
    case FalhaEnlace::Nenhuma: break;
  }
  return Motivo::SemLeitura;
}

void AnotaResultado(const TOperacao& op, int32_t codigo) {
  if (codigo == PESMO6_LIDO || codigo == PESMO6_SOBRECARGA) return;
  TClVorel& ch = *op.Canal();
  const TEnlace* enlace = ch.Enlace();
  if (enlace == nullptr) return;  // closed or deleted under the update
  AnotaFalha(ch, MotivoDe(enlace->UltimaFalha()), enlace->DetalheFalha());
}

struct Item {
  std::unique_ptr<TOperacao> op;
  int32_t codigo = 1;
  bool fim = false;
};

// One step of an operation; an error raised in it ends that update with 1.
void Passo(Item& item, bool primeiro) {
  try {
    item.fim = primeiro ? item.op->Comeca() : item.op->Avanca();
    if (item.fim) {
      item.codigo = item.op->Codigo();
      AnotaResultado(*item.op, item.codigo);
    }
  } catch (...) {
    item.op->Falhou();
    item.codigo = 1;
    item.fim = true;
  }
}

// The scheduler: every operation started, then one pump pass at a time
// (blocking until the nearest deadline among them, an event or a timer),
// each unfinished operation advanced after it, until all have ended.
void Executa(std::vector<Item>& itens) {
  for (Item& item : itens) {
    if (!item.fim) Passo(item, true);
  }
  for (;;) {
    uint32_t espera = UINT32_MAX;
    bool algum = false;
    for (const Item& item : itens) {
      if (item.fim) continue;
      algum = true;
      espera = std::min(espera, item.op->Prazo());
    }
    if (!algum) return;
    ProcessaEventos(espera);
    for (Item& item : itens) {
      if (!item.fim) Passo(item, false);
    }
  }
}

}  // namespace

int32_t Update_C(int32_t canal, int32_t parametro) {
  std::vector<Item> itens(1);
  itens[0].op = Prepara(canal, parametro);
  if (!itens[0].op) return 1;
  Executa(itens);
  return itens[0].codigo;
}

int32_t AtualizaCanais(const int32_t* canais, int32_t quantos, int32_t espera, int32_t* codigos) {
  Log("Update_Canais[" + std::to_string(quantos) + "," + std::to_string(espera) + "]");
  if (canais == nullptr || codigos == nullptr || quantos < 1 || quantos > kMaxCanaisPorAtualizacao) return -1;
  const size_t n = static_cast<size_t>(quantos);
  std::vector<Item> itens(n);
  std::vector<int32_t> vistos;
  vistos.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    codigos[i] = 1;
    const int32_t canal = canais[i];
    // Listed a second time: the first entry is the update.
    if (std::find(vistos.begin(), vistos.end(), canal) != vistos.end()) {
      itens[i].fim = true;
      continue;
    }
    vistos.push_back(canal);
    itens[i].op = Prepara(canal, espera);
    if (!itens[i].op) itens[i].fim = true;
  }
  Executa(itens);
  int32_t lidos = 0;
  for (size_t i = 0; i < n; ++i) {
    codigos[i] = itens[i].codigo;
    if (itens[i].codigo == 0 || itens[i].codigo == 3) ++lidos;
  }
  return lidos;
}

int32_t LePesoConsecutivo(int32_t canal, int32_t limiteSegundos, int32_t leituras) {
  if (limiteSegundos == 0) limiteSegundos = 10;
  if (leituras == 0) leituras = 10;
  if (canal == -1) return -1;
  int32_t resultado = 7;
  const uint32_t inicio = platform::Tick();
  const int64_t limite = static_cast<int64_t>(limiteSegundos) * 1000;
  auto decorrido = [inicio] { return static_cast<int64_t>(platform::Tick() - inicio); };
  double referencia = 0.0;
  int32_t iguais = 0;
  while (decorrido() <= limite) {
    // One pass of the pump, blocking at most the 1 ms pause of the loop.
    ProcessaEventos(1);
    SelectCanal(canal);
    resultado = Update_C(canal, -1);
    if (resultado == 0) {
      const double w = LeNumero(canal, &TClVorel::Net);
      if (w == referencia) {
        if (++iguais >= leituras) break;
      } else {
        iguais = 0;
        referencia = w;
      }
    }
  }
  if (decorrido() > limite && resultado == 0) resultado = 7;
  return resultado;
}

const char* LeTexto(int32_t canal, std::string TClVorel::*campo) {
  ChannelRef ch = CanalVivo(canal);
  if (!ch || !ch->TemTransporte() || ch->Situacao == Fechado) return kPadraoErro;
  return ((*ch).*campo).c_str();
}

bool TextoParaNumero(const std::string& texto, char separador, double& valor) {
  size_t i = 0;
  const size_t n = texto.size();
  while (i < n && texto[i] == ' ') ++i;
  size_t fim = n;
  while (fim > i && texto[fim - 1] == ' ') --fim;
  std::string normal;
  if (i < fim && (texto[i] == '+' || texto[i] == '-')) {
    if (texto[i] == '-') normal.push_back('-');
    ++i;
  }
  bool digito = false, separadorVisto = false;
  for (; i < fim; ++i) {
    const char c = texto[i];
    if (c >= '0' && c <= '9') {
      digito = true;
      normal.push_back(c);
    } else if (c == separador && !separadorVisto) {
      separadorVisto = true;
      normal.push_back('.');
    } else {
      break;
    }
  }
  if (!digito) return false;
  if (i < fim && (texto[i] == 'e' || texto[i] == 'E')) {
    normal.push_back('e');
    ++i;
    if (i < fim && (texto[i] == '+' || texto[i] == '-')) normal.push_back(texto[i++]);
    bool expoente = false;
    while (i < fim && texto[i] >= '0' && texto[i] <= '9') {
      expoente = true;
      normal.push_back(texto[i++]);
    }
    if (!expoente) return false;
  }
  if (i != fim) return false;
  double v = 0.0;
  const auto r = std::from_chars(normal.data(), normal.data() + normal.size(), v);
  if (r.ec != std::errc() || r.ptr != normal.data() + normal.size() || !std::isfinite(v)) {
    return false;
  }
  valor = v;
  return true;
}

double LeNumero(int32_t canal, std::string TClVorel::*campo) {
  ChannelRef ch = CanalVivo(canal);
  if (!ch || !ch->TemTransporte() || ch->Situacao == Fechado) return 0.0;
  double v = 0.0;
  const std::string& texto = (*ch).*campo;
  if (TextoParaNumero(texto, platform::LoadDecimalSeparator(), v)) return v;
  // The drivers write the separator of the system locale, which on real
  // Windows often differs from the thread locale read at load (a service
  // account, English Windows with Brazilian formats): a valid weight must
  // not read as 0.0 for that.
  const char doSistema = platform::SystemDecimalSeparator();
  if (doSistema != platform::LoadDecimalSeparator() && TextoParaNumero(texto, doSistema, v)) return v;
  return 0.0;
}

const char* DisplayErro(int32_t canal) {
  ChannelRef ch = CanalVivo(canal);
  if (!ch) return "";
  ch->ErroTexto = std::move(ch->ErroPendente);
  ch->ErroPendente.clear();
  return ch->ErroTexto.c_str();
}

int32_t SelectCanal(int32_t canal) {
  Log("SelectCanal[" + std::to_string(canal) + "]");
  if (!ValidaCanal(canal)) return 0;
  ChannelRef ch = CanalVivo(canal);
  TEnlace* enlace = ch->Enlace();
  if (enlace == nullptr) {
    Log("DMDLL n\xE3o existe");  // closed: nothing to connect
    return 1;
  }
  // A serial channel names no converter: its link has nothing to connect.
  const auto& ips = Ips();
  const bool temConversor = ch->IndiceIp >= 0 && static_cast<size_t>(ch->IndiceIp) < ips.size();
  const std::string endereco = temConversor ? ips[static_cast<size_t>(ch->IndiceIp)].Texto() : std::string();
  const int32_t r = enlace->Seleciona(endereco, static_cast<uint16_t>(ch->Porta), kSelectLimiteMs,
                                      ch->Situacao == Ocupado);
  if (r == 0) {
    Log("SelectCanal[" + std::to_string(canal) + "] sem conexao");
    AnotaFalha(*ch, MotivoDe(enlace->UltimaFalha()), enlace->DetalheFalha());
  }
  return r == 1 ? 1 : 0;
}

void CloseCanal(int32_t canal) {
  ChannelRef ch = CanalVivo(canal);
  if (!ch) return;
  TEnlace* enlace = ch->Enlace();
  if (enlace == nullptr) return;
  if (enlace->FechamentoMarcaCanal()) {
    Log("Fechou TCP IP");
    ch->Situacao = Fechado;
  }
  try {
    enlace->Encerra();
  } catch (...) {
    Log("Erro Fechamento!");
  }
  ch->Bal.reset();
  ch->DMDLL.reset();
  ch->DMSerialDll.reset();
}

void DeletaCanal(int32_t canal) {
  Log("Deleta_canal");
  auto& tabela = Canais();
  if (canal >= 0 && static_cast<size_t>(canal) < tabela.size()) {
    // Out of the table first, then torn down: whatever runs meanwhile finds
    // the slot empty.
    ChannelRef ch = std::move(tabela[static_cast<size_t>(canal)]);
    tabela[static_cast<size_t>(canal)] = nullptr;
    if (ch) ch->Dispose();
  }
  for (const auto& slot : tabela) {
    if (slot) return;
  }
  tabela.clear();
}

}  // namespace pesmo6
