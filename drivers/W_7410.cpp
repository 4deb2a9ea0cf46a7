#include "W_7410.h"

#include <cstdlib>

#include "Formato.h"

namespace pesmo6 {

void T7410Bal::ConfiguraLinha(TSerCom& porta) {
  porta.Settings.baud = 4800;
  porta.Settings.dataBits = 7;
  porta.Settings.parity = Parity::Even;
  porta.Settings.stopBits = 1;
  porta.Settings.dtr = false;
  porta.Settings.rts = false;
  porta.Settings.swFlow = SoftwareFlow::None;
  porta.AutoOpen = false;
}

int32_t T7410Bal::Atualiza(const ChannelRef& canal, int32_t parametro) {
  const Atualizacao a{canal, this};
  // IniciaLeitura
  canal->Gross = "0";
  canal->Net = "0";
  canal->Tare = "0";
  Recebido = false;
  DescartaPendentes(*canal);
  TrataByte = &T7410Bal::EsperaInicio;

  const int64_t espera = Comeca(a, parametro);
  if (espera < 0) return 1;

  const Inicio inicio = FaseInicio(a);
  if (inicio != Inicio::Aberta) return TerminaSemLeitura(a, inicio);

  FaseEspera(a, static_cast<uint32_t>(espera));
  if (!a.Vivo()) return TerminaSemLeitura(a, Inicio::Interrompida);

  int32_t resultado = 0;
  if (!Recebido) {
    TrataByte = nullptr;
    resultado = SemMovimento ? 2 : 1;
  }
  if (Sobrecarga == "S") resultado = 3;
  canal->Situacao = Pronto;
  return resultado;
}

void T7410Bal::EsperaInicio(uint8_t b) {
  if (b != 0x02) return;
  Buffer.clear();
  TrataByte = &T7410Bal::RecebeQuadro;
}

void T7410Bal::RecebeQuadro(uint8_t b) {
  if (Buffer.size() >= kMaxQuadro) {
    // Noise without CR: give up on this frame and look for the next STX.
    Buffer.clear();
    TrataByte = &T7410Bal::EsperaInicio;
    return;
  }
  Buffer.push_back(static_cast<char>(b));
  if (b == 0x0D) TrataByte = &T7410Bal::ConfereSoma;
}

uint8_t T7410Bal::CalculaSoma(std::string_view quadro) {
  uint32_t soma = 2;  // the STX
  for (char c : quadro) soma += static_cast<uint8_t>(c) & 0x7Fu;
  return static_cast<uint8_t>((((~soma) & 0x7Fu) + 1u) & 0x7Fu);
}

void T7410Bal::ConfereSoma(uint8_t b) {
  // Too short to hold the status bytes: not a frame, whatever its checksum.
  if (b != CalculaSoma(Buffer) || Buffer.size() < 3) {
    TrataByte = &T7410Bal::EsperaInicio;
    return;
  }
  TClVorel& ch = *Dono;
  if (ch.Dispositivo == Disp7410) {
    DecodificaQuadro(Buffer);
    if (SemMovimento && Movimento != "N") {
      TrataByte = &T7410Bal::EsperaInicio;  // the channel already shows the moving frame
      return;
    }
    FechaPorta(ch);
    TrataByte = nullptr;
    Recebido = true;
  } else {
    ch.Contadora = Buffer;
    Buffer.clear();
    TrataByte = nullptr;
    Recebido = true;
  }
}

namespace {
const char* Flag(bool on) { return on ? "S" : "N"; }
}  // namespace

void T7410Bal::DecodificaQuadro(const std::string& t) {
  const uint8_t s1 = static_cast<uint8_t>(t[0]);
  const uint8_t s2 = static_cast<uint8_t>(t[1]);
  const uint8_t s3 = static_cast<uint8_t>(t[2]);

  const int codigo = s1 & 0x07;
  Decimais = codigo >= 3 ? codigo - 2 : 0;
  Incremento = (s1 & 0x18) == 0x18 ? "5" : (s1 & 0x10) != 0 ? "2" : "1";

  Liquido = Flag(s2 & 0x01);
  Negativo = Flag(s2 & 0x02);
  Sobrecarga = Flag(s2 & 0x04);
  Movimento = Flag(s2 & 0x08);
  Unidade = (s2 & 0x10) != 0 ? "kg" : "lb";
  Auxiliar = Flag(s3 & 0x08);

  auto campo = [&t](size_t inicio) {
    return inicio < t.size() ? std::string_view(t).substr(inicio, 6) : std::string_view();
  };
  const int64_t peso = InteiroOuZero(campo(3));
  const int64_t tara = InteiroOuZero(campo(9));
  const bool negativo = Negativo == "S";
  const char sep = platform::SystemDecimalSeparator();

  std::string liquido = FormataPeso(std::to_string(peso), Decimais, negativo, sep);
  std::string taraTexto = FormataPeso(std::to_string(tara), Decimais, false, sep);
  const int64_t bruto = negativo ? tara - peso : peso + tara;

  TClVorel& ch = *Dono;
  ch.Gross = FormataPeso(std::to_string(std::llabs(bruto)), Decimais, bruto < 0, sep);
  ch.Tare = std::move(taraTexto);
  ch.Net = std::move(liquido);
  ch.EmMovimento = Movimento;
  ch.Estado = Incremento + Liquido + Negativo + Sobrecarga + Movimento + Unidade + Auxiliar;
}

}  // namespace pesmo6
