#include "Mensagens.h"

#include <array>

#include "Definir.h"

namespace pesmo6 {
namespace {

// The setting lives for the process; hosts call the library from one thread.
Idioma g_idioma = Idioma::Portugues;

bool Ingles() { return g_idioma == Idioma::Ingles; }

// English lines end as the platform's text files do; the Portuguese texts
// keep the LF CR that hosts have always received.
#if defined(_WIN32)
constexpr const char* kFimLinhaIngles = "\r\n";
#else
constexpr const char* kFimLinhaIngles = "\n";
#endif
const char* FimLinha() { return Ingles() ? kFimLinhaIngles : "\n\r"; }

struct Texto {
  const char* pt;
  const char* en;
};

// Written in UTF-8 here, handed out in Windows-1252.
Texto TextoDe(Motivo m) {
  switch (m) {
    case Motivo::PortaInexistente:
      return {"A porta serial não existe.", "The serial port does not exist."};
    case Motivo::PermissaoNegada:
#if defined(_WIN32)
      return {"Sem permissão para abrir a porta serial.", "Permission denied on the serial port."};
#else
      return {"Sem permissão para abrir a porta serial: o usuário deve pertencer ao grupo dialout.",
              "Permission denied on the serial port: the user must belong to the dialout group."};
#endif
    case Motivo::PortaEmUso:
      return {"A porta serial está em uso por outro programa.",
              "The serial port is in use by another program."};
    case Motivo::LinhaRecusada:
      return {"A porta ou o adaptador recusou a configuração da linha (velocidade, bits, paridade).",
              "The port or adapter refused the line settings (speed, data bits, parity)."};
    case Motivo::PortaFechada:
      return {"A porta serial fechou durante a leitura (dispositivo desconectado?).",
              "The serial port closed during the update (device unplugged?)."};
    case Motivo::ConversorRecusou:
      return {"O conversor recusou a conexão.", "The converter refused the connection."};
    case Motivo::ConversorNaoRespondeu:
      return {"O conversor não respondeu (tempo de conexão esgotado).",
              "The converter did not answer (connection timed out)."};
    case Motivo::EnderecoNaoResolvido:
      return {"O endereço do conversor não pôde ser resolvido.",
              "The converter address could not be resolved."};
    case Motivo::LinhaCaiu:
      return {"A conexão com a linha do conversor caiu.", "The connection to the converter line dropped."};
    case Motivo::LinhaDesconectada:
      return {"A linha do conversor não está conectada: chame Select_Canal antes da leitura.",
              "The converter line is not connected: call Select_Canal before the update."};
    case Motivo::SemLeitura:
      return {"Nenhuma leitura do indicador dentro do tempo de espera.",
              "No reading from the indicator within the wait."};
    case Motivo::EnvioFalhou:
      return {"O pedido ao indicador não pôde ser enviado.", "The request to the indicator could not be sent."};
  }
  return {"Falha desconhecida.", "Unknown failure."};
}

std::string Escolhe(const char* pt, const char* en) { return ParaCp1252(Ingles() ? en : pt); }

// Code points of Windows-1252 bytes 0x80 to 0x9F (0 where the byte is unused).
constexpr std::array<char32_t, 32> kAltos = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char ByteCp1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (size_t i = 0; i < kAltos.size(); ++i) {
    if (kAltos[i] == c) return static_cast<char>(0x80 + i);
  }
  return '?';
}

}  // namespace

Idioma IdiomaAtual() { return g_idioma; }

bool SetaIdioma(int32_t idioma) {
  if (idioma != static_cast<int32_t>(Idioma::Portugues) && idioma != static_cast<int32_t>(Idioma::Ingles)) {
    return false;
  }
  g_idioma = static_cast<Idioma>(idioma);
  return true;
}

std::string ParaCp1252(std::string_view s) {
  std::string r;
  r.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    char32_t c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    bool valido = b < 0x80 || (b >= 0xC2 && b <= 0xF4 && i + n <= s.size());
    for (size_t k = 1; valido && k < n; ++k) {
      const auto cont = static_cast<unsigned char>(s[i + k]);
      if ((cont & 0xC0) != 0x80) valido = false;
      c = (c << 6) | (cont & 0x3F);
    }
    if (!valido) {  // already a Windows-1252 byte
      r.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    r.push_back(ByteCp1252(c));
    i += n;
  }
  return r;
}

std::string TextoMotivo(Motivo motivo) {
  const Texto t = TextoDe(motivo);
  return Escolhe(t.pt, t.en);
}

void AnotaFalha(TClVorel& canal, Motivo motivo, std::string_view detalhe) {
  std::string texto = TextoMotivo(motivo);
  if (!detalhe.empty()) {
    texto.pop_back();  // the full stop goes after the detail
    texto += " (" + ParaCp1252(detalhe) + ").";
  }
  canal.ErroPendente = std::move(texto);
}

std::string MsgSemIp() {
  return Escolhe("Não existe IP registrado !", "No converter address is registered.") + FimLinha() +
         Escolhe("Utilize a função Seta_Ip.", "Register one with Seta_Ip.");
}

std::string MsgIpErrado(int32_t numero, size_t registrados) {
  const std::string n = std::to_string(numero), total = std::to_string(registrados);
  if (Ingles()) {
    return "Converter number " + n + " is not registered." + FimLinha() + "There are " + total +
           " converter(s) registered.";
  }
  return ParaCp1252("O número de IP registrado (" + n + ") está errado !") + FimLinha() + "Temos " + total +
         " IP registrado(s).";
}

std::string MsgEnderecoLongo(std::string_view endereco) {
  return Escolhe("O endereço do conversor tem mais de 16 caracteres: ",
                 "The converter address is longer than 16 characters: ") +
         std::string(endereco);
}

std::string MsgSemCanal() {
  if (Ingles()) {
    return std::string("No channel is registered.") + FimLinha() +
           "Register one with the function of the device's family (W7410, WKVT, etc.).";
  }
  return ParaCp1252("Não existe Canal registrado !") + FimLinha() +
         ParaCp1252("Utilize a função de acordo com o dispositivo (W7410,W5318, etc.).");
}

std::string MsgCanalErrado(int32_t numero, size_t registrados) {
  const std::string n = std::to_string(numero), total = std::to_string(registrados);
  if (Ingles()) {
    return "Channel number " + n + " is out of range." + FimLinha() + "There are " + total +
           " channel(s) registered.";
  }
  return ParaCp1252("O número de Canal registrado (" + n + ") está errado !") + FimLinha() + "Temos " + total +
         " Canal(is) registrado(s).";
}

std::string MsgCanalNaoInicializado(int32_t numero) {
  const std::string n = std::to_string(numero);
  if (Ingles()) return "Channel number " + n + " was deleted.";
  return ParaCp1252("O número de Canal registrado (" + n + ") não está inicializado !") + FimLinha();
}

std::string MsgLinhaInexistente(std::string_view letra) {
  const std::string l(letra);
  if (Ingles()) {
    return "Converter line (" + l + ") does not exist." + FimLinha() + "Use line A, B, C or D.";
  }
  return "O canal (" + l + ParaCp1252(") não existe !") + FimLinha() + "Utilize os canais seriais A,B,C ou D.";
}

std::string MsgPortaForaDaFaixa(uint32_t porta) {
  const std::string n = std::to_string(porta);
  return Escolhe(("O número de porta serial (" + n + ") passa de 65535.").c_str(),
                 ("Serial port number " + n + " is above 65535.").c_str());
}

std::string MsgPortaSemDispositivo(uint32_t porta) {
  if (porta == 0) {
    return Escolhe("A porta serial 0 não pode ser mapeada: utilize 1 a 65535.",
                   "Serial port 0 cannot be mapped: use 1 to 65535.");
  }
  return Escolhe("Falta o caminho do dispositivo da porta serial.", "The serial port's device path is missing.");
}

}  // namespace pesmo6
