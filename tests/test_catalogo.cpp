// The failure reasons' catalogue: AnotaFalha leaves a reason that
// Display_Erro hands out once, in the language of the moment, in
// Windows-1252.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Support.h"
#include "engine/Definir.h"
#include "engine/Mensagens.h"
#include "pesmo6.h"

using namespace pesmo6;

namespace {

class Catalogo : public pesmo6test::LibraryTest {
 protected:
  void TearDown() override {
    Seta_Idioma(0);
    LibraryTest::TearDown();
  }
};

TEST_F(Catalogo, DisplayErroHandsTheReasonOutOnce) {
  const int32_t ch = W7410Serial(9);
  ASSERT_GE(ch, 0);
  AnotaFalha(*CanalVivo(ch), Motivo::PortaEmUso, "/dev/ttyUSB0");
  const char* primeira = Display_Erro(ch);
  EXPECT_STREQ(primeira, "A porta serial est\xE1 em uso por outro programa (/dev/ttyUSB0).");
  EXPECT_STREQ(Display_Erro(ch), "") << "handed out once";
  AnotaFalha(*CanalVivo(ch), Motivo::SemLeitura);
  AnotaFalha(*CanalVivo(ch), Motivo::PortaInexistente);
  EXPECT_STREQ(Display_Erro(ch), "A porta serial n\xE3o existe.") << "the last failure's reason replaces the one before";
}

TEST_F(Catalogo, EveryReasonHasTwoDistinctOneLineTexts) {
  const Motivo todos[] = {Motivo::PortaInexistente,     Motivo::PermissaoNegada,   Motivo::PortaEmUso,
                          Motivo::LinhaRecusada,        Motivo::PortaFechada,      Motivo::ConversorRecusou,
                          Motivo::ConversorNaoRespondeu, Motivo::EnderecoNaoResolvido, Motivo::LinhaCaiu,
                          Motivo::LinhaDesconectada,    Motivo::SemLeitura,        Motivo::EnvioFalhou};
  std::set<std::string> vistos;
  for (Motivo m : todos) {
    ASSERT_TRUE(SetaIdioma(0));
    const std::string pt = TextoMotivo(m);
    ASSERT_TRUE(SetaIdioma(1));
    const std::string en = TextoMotivo(m);
    SCOPED_TRACE(en);
    EXPECT_NE(pt, en);
    for (const std::string& t : {pt, en}) {
      EXPECT_TRUE(vistos.insert(t).second) << "two reasons share a text: " << t;
      EXPECT_EQ(t.find_first_of("\r\n"), std::string::npos);
      EXPECT_EQ(t.back(), '.');
      for (unsigned char c : t) EXPECT_TRUE(c < 0x80 || c >= 0xC0) << "not Windows-1252 letters: " << t;
    }
  }
}

TEST_F(Catalogo, PermissionHintsAtDialoutOnLinux) {
  SetaIdioma(1);
  EXPECT_NE(TextoMotivo(Motivo::PermissaoNegada).find("dialout"), std::string::npos);
  SetaIdioma(0);
  EXPECT_EQ(TextoMotivo(Motivo::PermissaoNegada),
            "Sem permiss\xE3o para abrir a porta serial: o usu\xE1rio deve pertencer ao grupo dialout.");
}

TEST_F(Catalogo, DetailsFromTheSystemBecomeWindows1252) {
  const int32_t ch = WOhausSerial(9);
  SetaIdioma(1);
  // strerror under a UTF-8 locale, and a device name that is already 1252.
  AnotaFalha(*CanalVivo(ch), Motivo::PortaInexistente, "Arquivo ou diret\xC3\xB3rio inexistente \xE2\x82\xAC \xE2\x98\x83");
  EXPECT_STREQ(Display_Erro(ch), "The serial port does not exist (Arquivo ou diret\xF3rio inexistente \x80 ?).");
  AnotaFalha(*CanalVivo(ch), Motivo::PortaInexistente, "COM\xE7");
  EXPECT_STREQ(Display_Erro(ch), "The serial port does not exist (COM\xE7).");
  EXPECT_EQ(ParaCp1252("a\xC3"), "a\xC3") << "a cut sequence passes unchanged";
}

}  // namespace
