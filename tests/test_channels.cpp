// The channel table, validation, readouts and library entry points, seen
// through the exported API.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;

namespace {

class Channels : public LibraryTest {};

TEST_F(Channels, NumbersAppendAndRestartWhenTableEmpties) {
  EXPECT_EQ(W7410Serial(1), 0);
  EXPECT_EQ(W7410Serial(2), 1);
  EXPECT_EQ(W7410SerialC(3), 2);
  Deleta_Canal(1);
  EXPECT_EQ(W7410Serial(4), 3) << "deleted slots are never reused";
  EXPECT_EQ(Update_Canal(1), 1);
  EXPECT_EQ(Select_Canal(1), 0);
  Deleta_Canal(0);
  Deleta_Canal(2);
  EXPECT_EQ(Select_Canal(3), 1);
  Deleta_Canal(3);
  EXPECT_EQ(Select_Canal(0), 0) << "table cut to nothing";
  EXPECT_EQ(W7410Serial(1), 0);
}

TEST_F(Channels, SerialPortNumberRange) {
  EXPECT_EQ(W7410Serial(65536), -1);
  EXPECT_EQ(W7410SerialC(0xFFFFFFFFu), -1);
  EXPECT_EQ(W7410Serial(65535), 0) << "a rejected port must not have taken a slot";
  EXPECT_EQ(W7410Serial(0), 1) << "port 0 registers; it fails only when opened";
}

TEST_F(Channels, ReadoutsBeforeFirstUpdate) {
  const int32_t ch = W7410Serial(7);
  for (auto readout : {Gross_Canal, Net_Canal, Tare_Canal, Tag_Canal, Total_Canal, Contadora_Canal,
                       Estado_Canal, Estado_EmMovimento}) {
    const char* text = readout(ch);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
  }
  EXPECT_EQ(Gross_Canal_Float(ch), 0.0);
  EXPECT_EQ(Net_Canal_Float(ch), 0.0);
  EXPECT_EQ(Tare_Canal_Float(ch), 0.0);
  EXPECT_STREQ(Display_Erro(ch), "");
}

TEST_F(Channels, ReadoutsOfClosedDeletedAndUnknownChannels) {
  const int32_t a = W7410Serial(7);
  const int32_t b = W7410Serial(8);
  Close_Canal(a);
  Deleta_Canal(b);
  for (int32_t ch : {a, b, 2, 99, -1, -2147483647 - 1}) {
    SCOPED_TRACE(ch);
    EXPECT_STREQ(Gross_Canal(ch), "EEEEEEEEEE");
    EXPECT_STREQ(Estado_EmMovimento(ch), "EEEEEEEEEE");
    EXPECT_EQ(Net_Canal_Float(ch), 0.0);
    EXPECT_EQ(Update_Canal(ch), 1);
    EXPECT_EQ(Update_NoMotion(ch, 10), 1);
    ASSERT_NE(Display_Erro(ch), nullptr);
    EXPECT_STREQ(Display_Erro(ch), "");
  }
  EXPECT_EQ(Select_Canal(a), 1) << "a closed channel keeps its number";
  Close_Canal(a);  // second close does nothing
  Close_Canal(-1);
  Close_Canal(1000);
  Deleta_Canal(-5);
  EXPECT_EQ(Select_Canal(a), 1);
}

TEST_F(Channels, SelectValidatesWithExactMessages) {
  EXPECT_EQ(Select_Canal(0), 0);
  EXPECT_STREQ(Erro_Validacao(),
               "N\xE3o existe Canal registrado !\n\rUtilize a fun\xE7\xE3o de acordo com o dispositivo "
               "(W7410,W5318, etc.).");
  W7410Serial(1);
  W7410Serial(2);
  EXPECT_EQ(Select_Canal(2), 0);
  EXPECT_STREQ(Erro_Validacao(),
               "O n\xFAmero de Canal registrado (2) est\xE1 errado !\n\rTemos 2 Canal(is) registrado(s).");
  EXPECT_EQ(Select_Canal(-1), 0);
  EXPECT_STREQ(Erro_Validacao(),
               "O n\xFAmero de Canal registrado (-1) est\xE1 errado !\n\rTemos 2 Canal(is) registrado(s).");
  Deleta_Canal(0);
  EXPECT_EQ(Select_Canal(0), 0);
  EXPECT_STREQ(Erro_Validacao(), "O n\xFAmero de Canal registrado (0) n\xE3o est\xE1 inicializado !\n\r");
  EXPECT_EQ(Select_Canal(1), 1) << "a serial channel has no link to open";
  EXPECT_STREQ(Erro_Validacao(), "O n\xFAmero de Canal registrado (0) n\xE3o est\xE1 inicializado !\n\r")
      << "a passing validation leaves the message alone";
}

TEST_F(Channels, TraceLines) {
  TraceLog log;
  const int32_t ch = W7410Serial(1);
  Close_Canal(ch);
  Update_NoMotion(ch, 250);
  Update_Canal(ch);
  Select_Canal(ch);
  Deleta_Canal(ch);
  const std::vector<std::string> expected = {"Update_NoMotion[0,250]", "Update_C[0,250]", "Update_C[0,-1]",
                                             "SelectCanal[0]", "DMDLL n\xE3o existe", "Deleta_canal"};
  EXPECT_EQ(log.Lines(), expected);
}

TEST_F(Channels, FirVerAndNullArguments) {
  const char *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr, *e = nullptr;
  FirVer(&a, &b, &c, &d, &e);
  EXPECT_STREQ(a, "PESMO");
  EXPECT_STREQ(b, "2.0.24");
  EXPECT_STREQ(c, "");
  EXPECT_STREQ(d, "");
  EXPECT_STREQ(e, "Pesmo6");
  FirVer(nullptr, nullptr, nullptr, nullptr, nullptr);  // must not crash

  EXPECT_EQ(Seta_Porta(1, nullptr), -1);
  EXPECT_EQ(Seta_Porta(1, ""), -1);
  EXPECT_EQ(Seta_Porta(0, "/dev/null"), -1);
  EXPECT_EQ(Seta_Porta(65536, "/dev/null"), -1);
  EXPECT_EQ(Seta_Porta(65535, "/dev/ttyUSB0"), 0);
  EXPECT_EQ(LePesoConsecutivo(-1, 1, 1), -1);
}

}  // namespace
