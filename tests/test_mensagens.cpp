// The library's texts in both languages, through the exports: Seta_Idioma and
// the validation messages of Erro_Validacao.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;

namespace {

class Idioma : public LibraryTest {
 protected:
  void TearDown() override {
    Seta_Idioma(0);
    LibraryTest::TearDown();
  }
  static std::string Msg() { return Erro_Validacao(); }
};

TEST_F(Idioma, OnlyZeroAndOneAreLanguages) {
  EXPECT_EQ(Seta_Idioma(1), 0);
  for (int32_t bad : {2, -1, 100, -2147483647 - 1}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Seta_Idioma(bad), -1);
  }
  EXPECT_EQ(W7410(UnusedConverter(), "A"), -1);
  EXPECT_EQ(Msg().rfind("Converter number ", 0), 0u) << "a refused value left English set: " << Msg();
  EXPECT_EQ(Seta_Idioma(0), 0);
  EXPECT_EQ(W7410(UnusedConverter(), "A"), -1);
  EXPECT_EQ(Msg().rfind("O n\xFAmero de IP registrado (", 0), 0u) << Msg();
}

// Each validation, in English then again in Portuguese: the texts follow the
// setting at the moment of the failure, and Portuguese keeps its LF CR.
TEST_F(Idioma, ValidationMessagesFollowTheLanguage) {
  const int32_t conv = Seta_Ip("127.0.0.1");
  const std::string nl = "\n";  // an English line ends as the platform's (Linux here)
  struct Caso {
    const char* nome;
    std::function<void()> falha;
    std::string en, pt;
  };
  const std::vector<Caso> casos = {
      {"empty channel table", [] { EXPECT_EQ(Select_Canal(0), 0); },
       "No channel is registered." + nl + "Register one with the function of the device's family (W7410, WKVT, etc.).",
       "N\xE3o existe Canal registrado !\n\rUtilize a fun\xE7\xE3o de acordo com o dispositivo (W7410,W5318, etc.)."},
      {"line letter", [&] { EXPECT_EQ(WOhaus(conv, "e"), -1); },
       "Converter line (E) does not exist." + nl + "Use line A, B, C or D.",
       "O canal (E) n\xE3o existe !\n\rUtilize os canais seriais A,B,C ou D."},
      {"converter number", [&] { EXPECT_EQ(WKVT(conv + 1000, "A"), -1); },
       "Converter number " + std::to_string(conv + 1000) + " is not registered." + nl + "There are " +
           std::to_string(conv + 1) + " converter(s) registered.",
       "O n\xFAmero de IP registrado (" + std::to_string(conv + 1000) + ") est\xE1 errado !\n\rTemos " +
           std::to_string(conv + 1) + " IP registrado(s)."},
      {"address too long", [] { EXPECT_EQ(Seta_Ip("conversor-do-patio-norte"), -1); },
       "The converter address is longer than 16 characters: conversor-do-patio-norte",
       "O endere\xE7o do conversor tem mais de 16 caracteres: conversor-do-patio-norte"},
      {"port above 65535", [] { EXPECT_EQ(Seta_Porta(70000, "/dev/ttyUSB0"), -1); },
       "Serial port number 70000 is above 65535.",
       "O n\xFAmero de porta serial (70000) passa de 65535."},
      {"port 0", [] { EXPECT_EQ(Seta_Porta(0, "/dev/ttyUSB0"), -1); },
       "Serial port 0 cannot be mapped: use 1 to 65535.",
       "A porta serial 0 n\xE3o pode ser mapeada: utilize 1 a 65535."},
      {"no device path", [] { EXPECT_EQ(Seta_Porta(3, ""), -1); }, "The serial port's device path is missing.",
       "Falta o caminho do dispositivo da porta serial."},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.nome);
    ASSERT_EQ(Seta_Idioma(1), 0);
    c.falha();
    EXPECT_EQ(Msg(), c.en);
    ASSERT_EQ(Seta_Idioma(0), 0);
    EXPECT_EQ(Msg(), c.en) << "a text already composed keeps its language";
    c.falha();
    EXPECT_EQ(Msg(), c.pt);
  }
}

TEST_F(Idioma, DeletedChannelAndRangeInBothLanguages) {
  ASSERT_EQ(W7410Serial(1), 0);
  ASSERT_EQ(W7410Serial(2), 1);
  Deleta_Canal(0);
  Seta_Idioma(1);
  EXPECT_EQ(Select_Canal(0), 0);
  EXPECT_EQ(Msg(), "Channel number 0 was deleted.");
  EXPECT_EQ(Select_Canal(5), 0);
  EXPECT_EQ(Msg(), "Channel number 5 is out of range.\nThere are 2 channel(s) registered.");
  EXPECT_EQ(Select_Canal(1), 1);
  EXPECT_EQ(Msg(), "Channel number 5 is out of range.\nThere are 2 channel(s) registered.")
      << "a passing validation leaves the message alone";
  Seta_Idioma(0);
  EXPECT_EQ(Select_Canal(0), 0);
  EXPECT_EQ(Msg(), "O n\xFAmero de Canal registrado (0) n\xE3o est\xE1 inicializado !\n\r");
}

// The language changes no reading: weights, status and codes are the same.
TEST_F(Idioma, ReadoutsDoNotDependOnIt) {
  Seta_Idioma(1);
  const int32_t ch = W7410Serial(7);
  EXPECT_STREQ(Gross_Canal(ch), "");
  Close_Canal(ch);
  EXPECT_STREQ(Gross_Canal(ch), "EEEEEEEEEE");
  EXPECT_EQ(Update_Canal(ch), 1);
}

}  // namespace
