#include "SerialOs.h"

namespace pesmo6::platform::win32 {

namespace {

bool DetectWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool UnderWineOnce() {
  static const bool wine = DetectWine();
  return wine;
}

}  // namespace

const SerialOs& RealSerialOs() {
  static const SerialOs real{
      ::CreateFileA, ::CloseHandle, ::SetupComm,      ::GetCommState,   ::SetCommState, ::SetCommTimeouts,
      ::SetCommMask, ::WaitCommEvent, ::GetOverlappedResult, ::CancelIoEx, ::ClearCommError, ::PurgeComm,
      ::ReadFile,    ::WriteFile,   ::CreateEventA,   UnderWineOnce,
      500,  // a conforming driver completes a cancelled request at once
      200,  // reads ask for what is buffered and return at once
      3000, // the 2 s write time-out the port is given, and some slack
  };
  return real;
}

SerialOs& Os() {
  static SerialOs os = RealSerialOs();
  return os;
}

}  // namespace pesmo6::platform::win32
