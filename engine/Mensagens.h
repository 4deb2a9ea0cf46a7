// The library's messages: why an update failed (the channel's pending error,
// handed out by Display_Erro) and why a validation failed (Erro_Validacao),
// in the language the host chose with Seta_Idioma.
//
// Texts leave the library in Windows-1252.  Portuguese is the default and
// keeps the validation texts hosts have always received, lines ended by
// LF CR; English ends its lines as the platform does (CR LF on Windows, LF
// elsewhere).  A text is composed when the failure happens, in the language
// set at that moment.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pesmo6 {

class TClVorel;

enum class Idioma : int32_t { Portugues = 0, Ingles = 1 };

Idioma IdiomaAtual();
// Seta_Idioma: false, and the setting unchanged, for a value that names no
// language.
bool SetaIdioma(int32_t idioma);

// Why an update (or the connection before it) failed.
enum class Motivo {
  PortaInexistente,       // the serial device does not exist
  PermissaoNegada,        // no read-write access (Linux: the dialout group)
  PortaEmUso,             // another program holds the port
  LinhaRecusada,          // the port or adapter refused the line settings
  PortaFechada,           // the port went away under the update (unplugged)
  ConversorRecusou,       // the converter refused the connection
  ConversorNaoRespondeu,  // the connection timed out
  EnderecoNaoResolvido,   // the converter's name did not resolve
  LinhaCaiu,              // the converter closed or lost the line link
  LinhaDesconectada,      // the line is not connected (no Select_Canal, or it failed)
  SemLeitura,             // no reading within the wait
  EnvioFalhou,            // the request to the indicator could not be sent
};

// The reason's text in the current language, Windows-1252, one line.
std::string TextoMotivo(Motivo motivo);

// Leaves the reason of a failed update in the channel's pending error
// (ErroPendente, which Display_Erro hands out), replacing what was there.
// `detalhe` is the system's own word for it (strerror, a device path) and is
// appended in parentheses when given; UTF-8 there is turned into
// Windows-1252.
void AnotaFalha(TClVorel& canal, Motivo motivo, std::string_view detalhe = {});

// The validation messages (Windows-1252), in the current language.
std::string MsgSemIp();
std::string MsgIpErrado(int32_t numero, size_t registrados);
std::string MsgEnderecoLongo(std::string_view endereco);
std::string MsgSemCanal();
std::string MsgCanalErrado(int32_t numero, size_t registrados);
std::string MsgCanalNaoInicializado(int32_t numero);
std::string MsgLinhaInexistente(std::string_view letra);
// A serial port number above 65535 (registrations and Seta_Porta).
std::string MsgPortaForaDaFaixa(uint32_t porta);
// Seta_Porta given port 0 or no device path.
std::string MsgPortaSemDispositivo(uint32_t porta);

// UTF-8 to Windows-1252: code points the code page holds become its byte,
// any other '?'; bytes that are not UTF-8 pass unchanged.
std::string ParaCp1252(std::string_view utf8);

}  // namespace pesmo6
