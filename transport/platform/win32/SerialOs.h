// The Win32 calls the serial port layer makes on a port, as a table of
// function pointers.  It holds the real functions unless a test puts a
// simulated driver in their place.
#pragma once

#include "Win32.h"

namespace pesmo6::platform::win32 {

struct SerialOs {
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::SetupComm) SetupComm;
  decltype(&::GetCommState) GetCommState;
  decltype(&::SetCommState) SetCommState;
  decltype(&::SetCommTimeouts) SetCommTimeouts;
  decltype(&::SetCommMask) SetCommMask;
  decltype(&::WaitCommEvent) WaitCommEvent;
  decltype(&::GetOverlappedResult) GetOverlappedResult;
  decltype(&::CancelIoEx) CancelIoEx;
  decltype(&::ClearCommError) ClearCommError;
  decltype(&::PurgeComm) PurgeComm;
  decltype(&::ReadFile) ReadFile;
  decltype(&::WriteFile) WriteFile;
  decltype(&::CreateEventA) CreateEventA;
  // True when the process runs under Wine (ntdll exports wine_get_version).
  bool (*UnderWine)();

  // Bounds of the layer's waits for the driver, in milliseconds: for a
  // cancelled operation to complete, for a read that the driver did not
  // complete at once, and for a write beyond the time its bytes take on the
  // wire.
  DWORD cancelBoundMs;
  DWORD readBoundMs;
  DWORD writeBoundMs;
};

// The real functions and bounds.
const SerialOs& RealSerialOs();
// The table the layer uses; tests write to it.
SerialOs& Os();

}  // namespace pesmo6::platform::win32
