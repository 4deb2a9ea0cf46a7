// The Windows serial layer against a simulated serial driver that keeps the
// Win32 contract strictly (FakeSerial.h), driven through the library's
// exports.  Runs under Wine: the simulated driver signals real event
// handles, so the library's real pump waits on them and the event-driven
// path (overlapped WaitCommEvent) runs, which Wine's own ports never reach.
//
//   pesmo6-serial-contract
#include "transport/platform/win32/SerialOs.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "FakeSerial.h"
#include "Frame7410.h"
#include "Load.h"
#include "pesmo6.h"
#include "transport/platform/Platform.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* what, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("  FAILED (line %d): %s\n", line, what);
  }
}
#define CHECK(cond) Check((cond), #cond, __LINE__)
#define CHECK_LT(a, b)                                                                          \
  do {                                                                                          \
    const double a_ = (a), b_ = (b);                                                            \
    Check(a_ < b_, (std::string(#a) + " is " + std::to_string(a_) + ", expected below " + #b).c_str(), __LINE__); \
  } while (0)

double NowMs() {
  LARGE_INTEGER f, t;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t);
  return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

std::string Frame() {
  pesmo6sim::Leitura7410 r;
  r.decimalCode = 4;
  r.net = true;
  r.weight = pesmo6sim::Digits6(1234);
  r.tare = pesmo6sim::Digits6(250);
  return pesmo6sim::Frame7410(r);
}

std::string WithParity(const std::string& s, pesmo6::platform::Parity p) {
  std::string out;
  for (char c : s) out.push_back(static_cast<char>(pesmo6::platform::ParityBit7(static_cast<uint8_t>(c), p)));
  return out;
}

// Calls into the driver per update: a pump that spins makes thousands.  An
// update's settle adds two discards and a few passes to what it reads.
int Activity(const fakeserial::Counters& c) { return c.overlappedQueries + c.statusQueries + c.waitCalls; }

// A 7410 channel on the fake device `name` (port n).
int32_t Channel7410(uint32_t n, const std::string& name) {
  Seta_Porta(n, name.c_str());
  return W7410Serial(n);
}

void EventDriven() {
  std::printf("== event-driven reception\n");
  const std::string dev = "\\\\.\\FAKE1";
  fakeserial::Add(dev);
  const int32_t ch = Channel7410(1, dev);
  fakeserial::ArriveLater(dev, Frame(), 60);
  CHECK(Update_Canal(ch) == 0);
  fakeserial::JoinLater();
  CHECK(std::fabs(Net_Canal_Float(ch) - 12.34) < 1e-9);
  const fakeserial::Counters c = fakeserial::Count(dev);
  CHECK(c.rxcharCompletions >= 1);  // delivered by EV_RXCHAR, not by polling
  CHECK(c.waitRejects == 0);
  CHECK(c.unboundedWaits == 0);
  CHECK(!fakeserial::IsOpen(dev));  // the 7410 closes after a frame

  // A silent port: half a second of waiting costs a handful of calls.
  fakeserial::ResetCount(dev);
  const double t0 = NowMs();
  CHECK(Update_NoMotion(ch, 500) == 2);
  CHECK(NowMs() - t0 >= 450);
  CHECK_LT(Activity(fakeserial::Count(dev)), 20);
  CHECK(fakeserial::WaitPending(dev));  // the port stays open and armed
  Close_Canal(ch);
  CHECK(!fakeserial::IsOpen(dev));
  Deleta_Canal(ch);
}

// Bytes that arrive while no wait is armed raise no event: the layer must
// find them itself, without spinning on the pending wait's event.
void UnannouncedBytes() {
  std::printf("== bytes no event announces\n");
  const std::string frame = Frame();
  const std::string dev = "\\\\.\\FAKE2";
  fakeserial::DeviceConfig cfg;
  // The tail of the frame comes while the handler reads the head.
  cfg.onRead = [dev, frame](int soFar) {
    if (soFar == 8) fakeserial::Arrive(dev, frame.substr(8));
  };
  fakeserial::Add(dev, cfg);
  const int32_t ch = Channel7410(2, dev);
  fakeserial::ArriveLater(dev, frame.substr(0, 8), 60);
  const double t0 = winload::OwnNowMs();
  CHECK(Update_NoMotion(ch, 1500) == 0);
  fakeserial::JoinLater();
  CHECK_LT(winload::OwnNowMs() - t0, 1000);
  CHECK(std::fabs(Net_Canal_Float(ch) - 12.34) < 1e-9);
  fakeserial::Counters c = fakeserial::Count(dev);
  CHECK(c.waitRejects == 0);
  CHECK_LT(Activity(c), 60);

  // Bytes on the wire when the port opens arrive after its purge, before
  // any wait is armed.
  Deleta_Canal(ch);

  // Bytes still on the wire when the port opens arrive after its purge,
  // before any wait is armed, and no more follow them.
  const std::string dev3 = "\\\\.\\FAKE3";
  fakeserial::Add(dev3);
  const int32_t ch3 = Channel7410(3, dev3);
  fakeserial::SetInTransit(dev3, frame.substr(0, 2));
  CHECK(Update_NoMotion(ch3, 300) == 2);
  c = fakeserial::Count(dev3);
  CHECK(fakeserial::Unread(dev3) == 0);  // taken or dropped without another byte coming
  CHECK(c.reads <= 2);
  CHECK(c.rxcharCompletions == 0);
  CHECK_LT(Activity(c), 60);
  Deleta_Canal(ch3);
}

// An Ohaus no-motion update asks again from inside the byte handler, and
// the request runs the pump: the handler's pass is re-entered.
void ReentrantHandler() {
  std::printf("== handler that runs the pump\n");
  const std::string dev = "\\\\.\\FAKE4";
  fakeserial::DeviceConfig cfg;
  auto requests = std::make_shared<int>(0);
  cfg.onWrite = [dev, requests](const std::string& bytes) {
    if (bytes != "\n") return;
    ++*requests;
    fakeserial::ArriveLater(dev, *requests == 1 ? "   12.5 kg ?\r\n" : "   12.5 kg\r\n", 20);
  };
  fakeserial::Add(dev, cfg);
  Seta_Porta(4, dev.c_str());
  const int32_t ch = WOhausSerial(4);
  const double t0 = winload::OwnNowMs();
  CHECK(Update_NoMotion(ch, 3000) == 0);
  const double took = winload::OwnNowMs() - t0;
  fakeserial::JoinLater();
  CHECK(*requests == 2);
  CHECK(std::fabs(Net_Canal_Float(ch) - 12.5) < 1e-9);
  const fakeserial::Counters c = fakeserial::Count(dev);
  CHECK(c.waitRejects == 0);
  CHECK(c.unboundedWaits == 0);
  CHECK_LT(took, 1500);
  CHECK_LT(Activity(c), 120);
  Deleta_Canal(ch);
}

void Removal() {
  std::printf("== adapter removed and plugged in again\n");
  const std::string dev = "\\\\.\\FAKE5";
  fakeserial::Add(dev);
  const int32_t ch = Channel7410(5, dev);
  fakeserial::ArriveLater(dev, Frame(), 40);
  CHECK(Update_Canal(ch) == 0);
  fakeserial::JoinLater();

  // Pulled while an update waits on the open port.
  fakeserial::ResetCount(dev);
  fakeserial::RemoveLater(dev, 100);
  CHECK(Update_NoMotion(ch, 500) == 2);
  fakeserial::JoinLater();
  fakeserial::Counters c = fakeserial::Count(dev);
  CHECK(!fakeserial::IsOpen(dev));  // closed, not polled for ever
  CHECK(c.closes == 1);
  CHECK_LT(Activity(c), 60);

  // Gone: the update cannot open it.
  fakeserial::ResetCount(dev);
  CHECK(Update_NoMotion(ch, 300) == 4);
  CHECK(fakeserial::Count(dev).failedOpens >= 1);

  // Back: the next update opens it again.
  fakeserial::Reinsert(dev);
  fakeserial::ResetCount(dev);
  fakeserial::ArriveLater(dev, Frame(), 100);
  CHECK(Update_NoMotion(ch, 1500) == 0);
  fakeserial::JoinLater();
  CHECK(fakeserial::Count(dev).opens == 1);

  // Removed at the start of an update, the port still open from the last
  // one (no frame came): the update opens it afresh once it is back.
  CHECK(Update_NoMotion(ch, 100) == 2);
  CHECK(fakeserial::IsOpen(dev));
  fakeserial::Remove(dev);
  fakeserial::Reinsert(dev);
  fakeserial::ResetCount(dev);
  fakeserial::ArriveLater(dev, Frame(), 100);
  CHECK(Update_NoMotion(ch, 1500) == 0);
  fakeserial::JoinLater();
  CHECK(fakeserial::Count(dev).opens == 1);
  Deleta_Canal(ch);

  // A driver that cannot wait (Wine's ports): polled, and still read.
  std::printf("== a port that cannot wait for events\n");
  const std::string pty = "\\\\.\\FAKE6";
  fakeserial::DeviceConfig cfg;
  cfg.waitMode = fakeserial::WaitMode::FailAtOnce;
  fakeserial::Add(pty, cfg);
  const int32_t p = Channel7410(6, pty);
  fakeserial::ArriveLater(pty, Frame(), 60);
  CHECK(Update_NoMotion(p, 1500) == 0);
  fakeserial::JoinLater();
  CHECK(fakeserial::Count(pty).waitCalls >= 1);
  // Pulled while polled: noticed too.
  CHECK(Update_NoMotion(p, 100) == 2);
  fakeserial::RemoveLater(pty, 50);
  CHECK(Update_NoMotion(p, 300) == 2);
  fakeserial::JoinLater();
  CHECK(!fakeserial::IsOpen(pty));
  Deleta_Canal(p);
}

void BoundedClose() {
  std::printf("== closing with a wait the driver never completes\n");
  const std::string dev = "\\\\.\\FAKE7";
  fakeserial::DeviceConfig cfg;
  cfg.waitMode = fakeserial::WaitMode::IgnoreCancel;
  fakeserial::Add(dev, cfg);
  const int32_t ch = Channel7410(7, dev);
  CHECK(Update_NoMotion(ch, 100) == 2);
  CHECK(fakeserial::WaitPending(dev));
  const double t0 = winload::OwnNowMs();
  Close_Canal(ch);
  CHECK_LT(winload::OwnNowMs() - t0, 1500);
  const fakeserial::Counters c = fakeserial::Count(dev);
  CHECK(c.unboundedWaits == 0);
  CHECK(c.cancels >= 1);
  CHECK(!fakeserial::IsOpen(dev));
  Deleta_Canal(ch);

  std::printf("== a wait aborted because its thread ended\n");
  const std::string dev2 = "\\\\.\\FAKE8";
  fakeserial::Add(dev2);
  const int32_t ch2 = Channel7410(8, dev2);
  std::thread other([ch2] { Update_NoMotion(ch2, 100); });
  other.join();
  // Windows aborts the wait of the thread that ended.
  for (int i = 0; i < 100 && fakeserial::Count(dev2).aborts == 0; ++i) Sleep(10);
  CHECK(fakeserial::Count(dev2).aborts == 1);
  fakeserial::ArriveLater(dev2, Frame(), 150);
  CHECK(Update_NoMotion(ch2, 1500) == 0);
  fakeserial::JoinLater();
  const fakeserial::Counters c2 = fakeserial::Count(dev2);
  CHECK(c2.waitsAfterAbort >= 1);     // armed again on this thread
  CHECK(c2.rxcharCompletions >= 1);   // and the frame came by its event
  CHECK(c2.waitRejects == 0);
  Deleta_Canal(ch2);
}

void OpeningAndTransfers() {
  std::printf("== opening: names, failed calls\n");
  // COM10 and above only exist as \\.\COMn.
  const std::string com12 = "\\\\.\\COM12";
  fakeserial::Add(com12);
  Seta_Porta(12, "COM12");
  const int32_t c12 = W7410Serial(12);
  fakeserial::ArriveLater(com12, Frame(), 60);
  CHECK(Update_NoMotion(c12, 1500) == 0);
  fakeserial::JoinLater();
  CHECK(fakeserial::Count(com12).opens == 1);
  Deleta_Canal(c12);

  const std::string dev = "\\\\.\\FAKE9";
  fakeserial::DeviceConfig cfg;
  cfg.failTimeouts = true;
  fakeserial::Add(dev, cfg);
  const int32_t ch = Channel7410(9, dev);
  CHECK(Update_NoMotion(ch, 200) == 4);
  CHECK(!fakeserial::IsOpen(dev));
  CHECK(fakeserial::Count(dev).opens >= 1);
  CHECK(fakeserial::Count(dev).closes == fakeserial::Count(dev).opens);

  fakeserial::Configure(dev, {});
  fakeserial::ResetCount(dev);
  fakeserial::FailEvents(1000);
  CHECK(Update_NoMotion(ch, 200) == 4);
  fakeserial::FailEvents(0);
  CHECK(!fakeserial::IsOpen(dev));
  CHECK(fakeserial::Count(dev).opens >= 1);
  CHECK(fakeserial::Count(dev).closes == fakeserial::Count(dev).opens);
  // Opens again once events can be had.
  fakeserial::ArriveLater(dev, Frame(), 60);
  CHECK(Update_NoMotion(ch, 1500) == 0);
  fakeserial::JoinLater();
  Deleta_Canal(ch);

  std::printf("== reads and writes the driver never completes\n");
  auto& os = pesmo6::platform::win32::Os();
  os.readBoundMs = 50;
  os.writeBoundMs = 200;
  const std::string rd = "\\\\.\\FAKE10";
  fakeserial::DeviceConfig hang;
  hang.readHangs = true;
  fakeserial::Add(rd, hang);
  const int32_t r = Channel7410(10, rd);
  fakeserial::ArriveLater(rd, "\x02" "abc", 60);
  double t0 = winload::OwnNowMs();
  CHECK(Update_NoMotion(r, 400) == 2);
  fakeserial::JoinLater();
  CHECK_LT(winload::OwnNowMs() - t0, 1500);
  CHECK(fakeserial::Count(rd).unboundedWaits == 0);
  CHECK(fakeserial::Count(rd).cancels >= 1);
  Deleta_Canal(r);

  const std::string wr = "\\\\.\\FAKE11";
  fakeserial::DeviceConfig wcfg;
  wcfg.writeHangs = true;
  fakeserial::Add(wr, wcfg);
  Seta_Porta(11, wr.c_str());
  const int32_t w = WOhausSerial(11);
  t0 = winload::OwnNowMs();
  CHECK(Update_NoMotion(w, 400) != 0);
  CHECK_LT(winload::OwnNowMs() - t0, 1500);
  CHECK(fakeserial::Count(wr).unboundedWaits == 0);
  CHECK(fakeserial::Count(wr).cancels >= 1);
  Deleta_Canal(w);
  os.readBoundMs = pesmo6::platform::win32::RealSerialOs().readBoundMs;
  os.writeBoundMs = pesmo6::platform::win32::RealSerialOs().writeBoundMs;
}

void LineSettings() {
  std::printf("== Wine's workaround only under Wine\n");
  const std::string dev = "\\\\.\\FAKE13";
  fakeserial::DeviceConfig cfg;
  cfg.sevenBitParity = fakeserial::SevenBitParity::ApplyRestAndFail;
  cfg.reject8N = true;
  fakeserial::Add(dev, cfg);
  const int32_t ch = Channel7410(13, dev);
  // Windows: neither 7E1 nor 8N1 applies, so the port does not open.
  fakeserial::SetWine(false);
  CHECK(Update_NoMotion(ch, 200) == 4);
  CHECK(!fakeserial::IsOpen(dev));
  // Wine: accepted as Wine's pseudo-terminals need (speed and stop bits hold).
  fakeserial::SetWine(true);
  fakeserial::ArriveLater(dev, Frame(), 60);
  CHECK(Update_NoMotion(ch, 1500) == 0);
  fakeserial::JoinLater();
  fakeserial::SetWine(false);
  Deleta_Canal(ch);

  std::printf("== software parity where 7 data bits with parity are refused\n");
  const std::string oh = "\\\\.\\FAKE14";
  fakeserial::DeviceConfig ocfg;
  ocfg.sevenBitParity = fakeserial::SevenBitParity::Reject;
  ocfg.onWrite = [oh](const std::string& bytes) {
    if (bytes == WithParity("\n", pesmo6::platform::Parity::Even)) {
      fakeserial::ArriveLater(oh, WithParity("   -3.5 kg\r\n", pesmo6::platform::Parity::Even), 20);
    }
  };
  fakeserial::Add(oh, ocfg);
  Seta_Porta(14, oh.c_str());
  const int32_t o = WOhausSerial(14);
  CHECK(Update_Canal(o) == 0);
  fakeserial::JoinLater();
  CHECK(fakeserial::Written(oh) == "\x50\x8D\x0A");  // P, CR, LF with even parity in bit 7
  CHECK(std::fabs(Net_Canal_Float(o) + 3.5) < 1e-9);
  DCB line = fakeserial::LineSettings(oh);
  CHECK(line.ByteSize == 8 && line.Parity == NOPARITY && line.StopBits == TWOSTOPBITS && line.BaudRate == 9600);
  Deleta_Canal(o);

  // Taken without complaint and not applied: read back, and the same.
  const std::string sil = "\\\\.\\FAKE15";
  fakeserial::DeviceConfig scfg;
  scfg.sevenBitParity = fakeserial::SevenBitParity::IgnoreSilently;
  fakeserial::Add(sil, scfg);
  const int32_t s = Channel7410(15, sil);
  fakeserial::ArriveLater(sil, WithParity(Frame(), pesmo6::platform::Parity::Even), 60);
  CHECK(Update_NoMotion(s, 1500) == 0);
  fakeserial::JoinLater();
  CHECK(std::fabs(Net_Canal_Float(s) - 12.34) < 1e-9);
  line = fakeserial::LineSettings(sil);
  CHECK(line.ByteSize == 8 && line.Parity == NOPARITY && line.BaudRate == 4800);
  Deleta_Canal(s);

  // A port that takes 7E1 as asked gets it, and no emulation.
  const std::string ok = "\\\\.\\FAKE16";
  fakeserial::Add(ok);
  const int32_t k = Channel7410(16, ok);
  fakeserial::ArriveLater(ok, Frame(), 60);
  CHECK(Update_NoMotion(k, 1500) == 0);
  fakeserial::JoinLater();
  line = fakeserial::LineSettings(ok);
  CHECK(line.ByteSize == 7 && line.Parity == EVENPARITY);
  Deleta_Canal(k);
}

}  // namespace

// Fresh readings on Windows: leftovers that arrive after the purge (an
// adapter's buffer, bytes in flight) and a backlog handed out at once in the
// middle of the update are never the reading; the frame that comes at the
// wire's pace after them is.
void Freshness() {
  std::printf("== fresh readings\n");
  pesmo6sim::Leitura7410 velho;
  velho.decimalCode = 4;
  velho.net = true;
  velho.weight = pesmo6sim::Digits6(9999);
  velho.tare = pesmo6sim::Digits6(0);
  std::string velhos;
  for (int i = 0; i < 20; ++i) velhos += pesmo6sim::Frame7410(velho);

  const std::string dev = "\\\\.\\FAKE29";
  fakeserial::Add(dev);
  const int32_t ch = Channel7410(29, dev);
  // 20 old frames still on the wire when the port opens.
  fakeserial::SetInTransit(dev, velhos);
  fakeserial::ArriveLater(dev, Frame(), 40);
  CHECK(Update_Canal(ch) == 0);
  fakeserial::JoinLater();
  CHECK(std::fabs(Net_Canal_Float(ch) - 12.34) < 1e-9);

  // 20 old frames at once once the update has settled, then a live frame
  // at the wire's pace; the port stays open between updates (raw mode
  // would too; here the reading closes it, so it opens again).
  std::thread rajada([&] {
    Sleep(60);
    fakeserial::Arrive(dev, velhos);
  });
  fakeserial::ArriveLater(dev, Frame(), 80);
  CHECK(Update_Canal(ch) == 0);
  rajada.join();
  fakeserial::JoinLater();
  CHECK(std::fabs(Net_Canal_Float(ch) - 12.34) < 1e-9);
  Deleta_Canal(ch);

  // Bytes that arrive between the open's purge and its first wait make that
  // wait complete at once; the update's discard then takes them, and the
  // port must still be watched for the live frame that follows.
  const std::string atOnce = "\\\\.\\FAKE30";
  fakeserial::DeviceConfig cfg;
  cfg.waitMode = fakeserial::WaitMode::AtOnceWhenBytesWait;
  fakeserial::Add(atOnce, cfg);
  const int32_t ch2 = Channel7410(30, atOnce);
  for (int i = 0; i < 3; ++i) {
    fakeserial::SetInTransit(atOnce, velhos);
    fakeserial::ArriveLater(atOnce, Frame(), 40);
    CHECK(Update_Canal(ch2) == 0);
    fakeserial::JoinLater();
    CHECK(std::fabs(Net_Canal_Float(ch2) - 12.34) < 1e-9);
  }
  Deleta_Canal(ch2);
}

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  fakeserial::Install(false);
  EventDriven();
  UnannouncedBytes();
  ReentrantHandler();
  Removal();
  BoundedClose();
  OpeningAndTransfers();
  LineSettings();
  Freshness();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
