// The reason behind each failed update, as Display_Erro hands it out right
// after the failure, in both languages.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Converter.h"
#include "Frame7410.h"
#include "Indicator.h"
#include "Support.h"
#include "pesmo6.h"

using namespace pesmo6test;

namespace {

class MotivosPendentes : public LibraryTest {
 protected:
  void TearDown() override {
    Seta_Idioma(0);
    LibraryTest::TearDown();
  }
  // The reason starts with `texto` less its full stop (a detail may follow).
  static void EsperaMotivo(int32_t ch, std::string texto) {
    const std::string motivo = Display_Erro(ch);
    ASSERT_FALSE(motivo.empty()) << "no reason for the failure";
    texto.pop_back();
    EXPECT_EQ(motivo.rfind(texto, 0), 0u) << "reason: [" << motivo << "]";
    EXPECT_EQ(motivo.back(), '.') << motivo;
    EXPECT_STREQ(Display_Erro(ch), "") << "handed out once";
  }
};

TEST_F(MotivosPendentes, RegistrationPortOutOfRange) {
  EXPECT_EQ(W7410Serial(70000), -1);
  EXPECT_STREQ(Erro_Validacao(), "O n\xFAmero de porta serial (70000) passa de 65535.");
  Seta_Idioma(1);
  EXPECT_EQ(WOhausSerial(0xFFFFFFFFu), -1);
  EXPECT_STREQ(Erro_Validacao(), "Serial port number 4294967295 is above 65535.");
}

TEST_F(MotivosPendentes, MissingDevice) {
  ASSERT_EQ(Seta_Porta(201, "/dev/pesmo6-no-such-device"), 0);
  const int32_t ch = W7410Serial(201);
  EXPECT_EQ(Update_Canal(ch), 4);
  EsperaMotivo(ch, "A porta serial n\xE3o existe.");
  Seta_Idioma(1);
  EXPECT_EQ(Update_Canal(ch), 4);
  EsperaMotivo(ch, "The serial port does not exist.");
}

TEST_F(MotivosPendentes, PortHeldByAnotherProgram) {
  pesmo6sim::StreamingIndicator sim;
  const int other = open(sim.Device().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(Seta_Porta(202, sim.Device().c_str()), 0);
  const int32_t ch = W7410Serial(202);
  EXPECT_EQ(Update_NoMotion(ch, 0), 4);
  EsperaMotivo(ch, "A porta serial est\xE1 em uso por outro programa.");
  close(other);
}

TEST_F(MotivosPendentes, PermissionDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens any device";
  char dir[] = "/tmp/pesmo6-perm-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string device = std::string(dir) + "/tty";
  const int fd = open(device.c_str(), O_CREAT | O_WRONLY, 0);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(Seta_Porta(203, device.c_str()), 0);
  const int32_t ch = WMSI3360Serial(203);
  EXPECT_EQ(Update_Canal(ch), 4);
  EsperaMotivo(ch, "Sem permiss\xE3o para abrir a porta serial: o usu\xE1rio deve pertencer ao grupo dialout.");
  unlink(device.c_str());
  rmdir(dir);
}

TEST_F(MotivosPendentes, SilentIndicator) {
  pesmo6sim::StreamingIndicator sim;  // no frame set: silence
  ASSERT_EQ(Seta_Porta(204, sim.Device().c_str()), 0);
  const int32_t ch = W7410Serial(204);
  Seta_Idioma(1);
  EXPECT_EQ(Update_NoMotion(ch, 200), 2);
  EsperaMotivo(ch, "No reading from the indicator within the wait.");
}

TEST_F(MotivosPendentes, ConverterRefusesTheLine) {
  pesmo6sim::Converter conv;
  conv.SetLineListening(1, false);
  const int32_t ch = W7410(Seta_Ip(conv.Address().c_str()), "A");
  EXPECT_EQ(Select_Canal(ch), 0);
  EsperaMotivo(ch, "O conversor recusou a conex\xE3o.");
}

TEST_F(MotivosPendentes, UpdateWithoutSelect) {
  pesmo6sim::Converter conv;
  conv.SetLineFrame(2, pesmo6sim::Frame7410(pesmo6sim::Leitura7410{}));
  const int32_t ch = W7410(Seta_Ip(conv.Address().c_str()), "B");
  Seta_Idioma(1);
  EXPECT_NE(Update_NoMotion(ch, 100), 0);
  EsperaMotivo(ch, "The converter line is not connected: call Select_Canal before the update.");
}

TEST_F(MotivosPendentes, ConverterDropsTheLine) {
  pesmo6sim::Converter conv;
  const int32_t ch = W7410(Seta_Ip(conv.Address().c_str()), "C");
  ASSERT_EQ(Select_Canal(ch), 1);
  ASSERT_TRUE(Eventually([&] { return conv.LineClients(3) == 1; }));
  conv.DropLine(3);
  EXPECT_NE(Update_NoMotion(ch, 500), 0);
  EsperaMotivo(ch, "A conex\xE3o com a linha do conversor caiu.");
}

}  // namespace
