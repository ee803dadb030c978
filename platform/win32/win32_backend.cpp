// The Win32 backend: COM ports with overlapped I/O, GetTickCount, Sleep and
// GetAsyncKeyState.
//
// Every port is opened with FILE_FLAG_OVERLAPPED and carries three manual-reset
// events: one for reads, one for writes and one for the comm-event wait that
// lets SerialWaitReadable sleep until a byte arrives instead of polling.
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <new>

#include "platform/platform.h"

namespace kx::platform {

struct SerialPort {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OVERLAPPED readOverlap{};
  OVERLAPPED writeOverlap{};
  // The EV_RXCHAR wait. It may stay pending from one SerialWaitReadable to the
  // next; SerialClose ends it before the events go.
  OVERLAPPED waitOverlap{};
  DWORD waitMask = 0;
  bool waitPending = false;
  // False when the driver refused the comm-event wait; the port then sleeps
  // in short slices between queue queries.
  bool commEvents = false;
};

namespace {

// The longest sleep between two queue queries when comm events are not
// available: short enough for a prompt reply, long enough not to spin.
constexpr DWORD kPollSliceMs = 2;

// A read of what the driver says is waiting completes at once with these
// time-outs; a driver that still leaves it pending is given this long.
constexpr DWORD kReadSettleMs = 50;

HANDLE NewManualResetEvent() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void CloseIfOpen(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

// Waits for an overlapped operation that has been cancelled or is about to
// complete, so that its OVERLAPPED and buffer may be reused or freed.
DWORD FinishOverlapped(HANDLE port, OVERLAPPED* ov) {
  DWORD transferred = 0;
  if (!GetOverlappedResult(port, ov, &transferred, TRUE)) {
    // A cancelled read may still have moved bytes; report them.
    transferred = static_cast<DWORD>(ov->InternalHigh);
  }
  return transferred;
}

BYTE ParityFromCode(int code, BYTE current) {
  switch (code) {
    case 1:
      return NOPARITY;
    case 2:
      return EVENPARITY;
    case 3:
      return ODDPARITY;
    case 4:
      return MARKPARITY;
    case 5:
      return SPACEPARITY;
    default:
      return current;
  }
}

int QueuedBytes(HANDLE h) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(h, &errors, &stat)) return -1;
  return stat.cbInQue > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(stat.cbInQue);
}

// Starts the EV_RXCHAR wait if none is pending. False when the driver does
// not support it (the caller falls back to polling).
bool ArmCommEventWait(SerialPort* p) {
  if (p->waitPending) return true;
  p->waitMask = 0;
  ResetEvent(p->waitOverlap.hEvent);
  if (WaitCommEvent(p->handle, &p->waitMask, &p->waitOverlap)) {
    // An event was already latched: the wait completed on the spot.
    return true;
  }
  if (GetLastError() == ERROR_IO_PENDING) {
    p->waitPending = true;
    return true;
  }
  p->commEvents = false;
  return false;
}

void EndCommEventWait(SerialPort* p) {
  if (!p->waitPending) return;
  // Clearing the mask completes a pending WaitCommEvent; CancelIo covers a
  // driver that does not.
  SetCommMask(p->handle, 0);
  if (WaitForSingleObject(p->waitOverlap.hEvent, 0) != WAIT_OBJECT_0) CancelIo(p->handle);
  FinishOverlapped(p->handle, &p->waitOverlap);
  p->waitPending = false;
}

bool PollReadable(SerialPort* p, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (QueuedBytes(p->handle) > 0) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    const DWORD left = timeoutMs - elapsed;
    Sleep(left < kPollSliceMs ? left : kPollSliceMs);
  }
}

class Win32Backend final : public Backend {
 public:
  SerialPort* SerialOpen(int port) override {
    // The device namespace prefix is what lets COM10 and above open at all;
    // it is harmless for COM1 to COM9.
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;

    auto* p = new (std::nothrow) SerialPort;
    if (p == nullptr) {
      CloseHandle(h);
      return nullptr;
    }
    p->handle = h;

    // A read returns at once with whatever is queued; a write gives up after
    // 5 s (the link waits only 1 s for it anyway).
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 5000;
    SetCommTimeouts(h, &timeouts);

    p->readOverlap.hEvent = NewManualResetEvent();
    p->writeOverlap.hEvent = NewManualResetEvent();
    p->waitOverlap.hEvent = NewManualResetEvent();
    if (p->readOverlap.hEvent == nullptr || p->writeOverlap.hEvent == nullptr ||
        p->waitOverlap.hEvent == nullptr) {
      CloseIfOpen(p->readOverlap.hEvent);
      CloseIfOpen(p->writeOverlap.hEvent);
      CloseIfOpen(p->waitOverlap.hEvent);
      CloseHandle(h);
      delete p;
      return nullptr;
    }
    p->commEvents = SetCommMask(h, EV_RXCHAR) != 0;
    return p;
  }

  bool SerialSetLine(SerialPort* p, int baud, int byteSize, int parity) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p->handle, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = static_cast<BYTE>(byteSize);
    dcb.Parity = ParityFromCode(parity, dcb.Parity);
    return SetCommState(p->handle, &dcb) != 0;
  }

  bool SerialSetQueues(SerialPort* p, int inputBytes, int outputBytes) override {
    return SetupComm(p->handle, static_cast<DWORD>(inputBytes), static_cast<DWORD>(outputBytes)) !=
           0;
  }

  bool SerialSetRts(SerialPort* p, bool raised) override {
    return EscapeCommFunction(p->handle, raised ? SETRTS : CLRRTS) != 0;
  }

  void SerialPurge(SerialPort* p) override {
    PurgeComm(p->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  }

  int SerialWrite(SerialPort* p, const std::uint8_t* bytes, int count,
                  std::uint32_t timeoutMs) override {
    if (bytes == nullptr || count <= 0) return 0;
    OVERLAPPED* ov = &p->writeOverlap;
    ov->Offset = 0;
    ov->OffsetHigh = 0;
    DWORD written = 0;
    if (WriteFile(p->handle, bytes, static_cast<DWORD>(count), &written, ov)) {
      return static_cast<int>(written);
    }
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    if (WaitForSingleObject(ov->hEvent, timeoutMs) == WAIT_OBJECT_0) {
      return GetOverlappedResult(p->handle, ov, &written, FALSE) ? static_cast<int>(written) : 0;
    }
    // Too late: the caller's bytes must not be read by a write that goes on
    // after we return.
    CancelIo(p->handle);
    FinishOverlapped(p->handle, ov);
    return 0;
  }

  int SerialBytesWaiting(SerialPort* p) override { return QueuedBytes(p->handle); }

  int SerialRead(SerialPort* p, std::uint8_t* buffer, int maxBytes) override {
    if (buffer == nullptr || maxBytes <= 0) return 0;
    OVERLAPPED* ov = &p->readOverlap;
    ov->Offset = 0;
    ov->OffsetHigh = 0;
    DWORD got = 0;
    if (ReadFile(p->handle, buffer, static_cast<DWORD>(maxBytes), &got, ov)) {
      return static_cast<int>(got);
    }
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    if (WaitForSingleObject(ov->hEvent, kReadSettleMs) != WAIT_OBJECT_0) CancelIo(p->handle);
    return static_cast<int>(FinishOverlapped(p->handle, ov));
  }

  bool SerialWaitReadable(SerialPort* p, std::uint32_t timeoutMs) override {
    if (QueuedBytes(p->handle) > 0) return true;
    if (timeoutMs == 0) return false;
    if (!p->commEvents || !ArmCommEventWait(p)) return PollReadable(p, timeoutMs);
    if (p->waitPending) {
      // A byte that landed just before the wait was armed raises no event.
      if (QueuedBytes(p->handle) > 0) return true;
      if (WaitForSingleObject(p->waitOverlap.hEvent, timeoutMs) != WAIT_OBJECT_0) return false;
      DWORD ignored = 0;
      GetOverlappedResult(p->handle, &p->waitOverlap, &ignored, FALSE);
      p->waitPending = false;
    }
    return QueuedBytes(p->handle) > 0;
  }

  std::uint32_t SerialNativeHandle(SerialPort* p) override {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p->handle));
  }

  void SerialClose(SerialPort* p) override {
    if (p == nullptr) return;
    EndCommEventWait(p);
    CloseIfOpen(p->readOverlap.hEvent);
    CloseIfOpen(p->writeOverlap.hEvent);
    CloseIfOpen(p->waitOverlap.hEvent);
    CloseIfOpen(p->handle);
    delete p;
  }

  std::uint32_t TickMs() override { return GetTickCount(); }

  void SleepMs(std::uint32_t ms) override { Sleep(ms); }

  bool EscapePressed() override {
    const SHORT state = GetAsyncKeyState(VK_ESCAPE);
    return (state & 0x8000) != 0 || (state & 1) != 0;
  }
};

}  // namespace

Backend& Native() {
  static Win32Backend backend;
  return backend;
}

}  // namespace kx::platform
