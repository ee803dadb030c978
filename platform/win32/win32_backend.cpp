// The Win32 backend: COM ports with overlapped I/O, HID devices (in
// win32_hid.cpp), GetTickCount, Sleep and GetAsyncKeyState.
//
// Every port is opened with FILE_FLAG_OVERLAPPED and carries two manual-reset
// events, one for reads and one for writes.
//
// Waiting for input sleeps in short slices between queue queries. An
// overlapped WaitCommEvent(EV_RXCHAR) would wake on the first byte, but Wine
// serves it by polling the device in a loop of its own, which kept a third of
// a core busy while a reader stayed silent; 5 ms sleep slices cost about 1 %
// (and as much again in the Wine server).
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/win32_hid.h"

namespace kx::platform {

struct SerialPort {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OVERLAPPED readOverlap{};
  OVERLAPPED writeOverlap{};
  bool inUse = false;
};

namespace {

// The longest sleep between two queue queries: short enough for a prompt
// reply, long enough not to spin. (Windows rounds a sleep up to its timer
// tick, about 15.6 ms by default; the link's 100 ms idle rule and its
// second-long limits allow for that.)
constexpr DWORD kPollSliceMs = 5;

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

bool PollReadable(SerialPort* p, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    // A device that was pulled out fails the query: the caller's own query
    // finds that out at once.
    if (QueuedBytes(p->handle) != 0) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    const DWORD left = timeoutMs - elapsed;
    Sleep(left < kPollSliceMs ? left : kPollSliceMs);
  }
}

const char* ErrorReason(DWORD code) {
  struct Reason {
    DWORD code;
    const char* text;
  };
  static constexpr Reason kReasons[] = {
      {0, "no error noted"},
      // A COM port is opened exclusively: another program holding it is what
      // this means for a port that exists.
      {ERROR_ACCESS_DENIED, "access denied (another program holds the port)"},
      {ERROR_FILE_NOT_FOUND, "no such device"},
      {ERROR_PATH_NOT_FOUND, "no such device"},
      {ERROR_SHARING_VIOLATION, "device busy (another program holds it)"},
      {ERROR_BUSY, "device busy"},
      {ERROR_DEVICE_NOT_CONNECTED, "device not connected (pulled out)"},
      {ERROR_DEV_NOT_EXIST, "device not connected (pulled out)"},
      {ERROR_GEN_FAILURE, "device failure (pulled out or not working)"},
      {ERROR_INVALID_PARAMETER,
       "setting refused (a baud rate, data bits or parity the port cannot take)"},
      {ERROR_OPERATION_ABORTED, "operation aborted"},
      {ERROR_SEM_TIMEOUT, "timed out"},
      {ERROR_TOO_MANY_OPEN_FILES, "too many open files"},
      {ERROR_NOT_ENOUGH_MEMORY, "out of system resources"},
      {ERROR_NO_SYSTEM_RESOURCES, "out of system resources"},
  };
  for (const Reason& reason : kReasons) {
    if (reason.code == code) return reason.text;
  }
  return "system error";
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
    if (h == INVALID_HANDLE_VALUE) return Noted(nullptr);

    // The link holds one port at a time; its record is static, so opening a
    // port allocates nothing.
    static SerialPort ports[2];
    SerialPort* p = nullptr;
    for (SerialPort& candidate : ports) {
      if (!candidate.inUse) {
        p = &candidate;
        break;
      }
    }
    if (p == nullptr) {
      CloseHandle(h);
      lastError_ = ERROR_TOO_MANY_OPEN_FILES;
      return nullptr;
    }
    *p = SerialPort{};
    p->inUse = true;
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
    if (p->readOverlap.hEvent == nullptr || p->writeOverlap.hEvent == nullptr) {
      lastError_ = GetLastError();
      CloseIfOpen(p->readOverlap.hEvent);
      CloseIfOpen(p->writeOverlap.hEvent);
      CloseHandle(h);
      p->inUse = false;
      return nullptr;
    }
    return p;
  }

  bool SerialSetLine(SerialPort* p, int baud, int byteSize, int parity) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p->handle, &dcb)) return Noted(false);
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = static_cast<BYTE>(byteSize);
    dcb.Parity = ParityFromCode(parity, dcb.Parity);
    return SetCommState(p->handle, &dcb) != 0 || Noted(false);
  }

  bool SerialSetQueues(SerialPort* p, int inputBytes, int outputBytes) override {
    return SetupComm(p->handle, static_cast<DWORD>(inputBytes), static_cast<DWORD>(outputBytes)) !=
               0 ||
           Noted(false);
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
    // Anything but a write under way is the device failing (pulled out).
    if (GetLastError() != ERROR_IO_PENDING) return Noted(-1);
    if (WaitForSingleObject(ov->hEvent, timeoutMs) == WAIT_OBJECT_0) {
      return GetOverlappedResult(p->handle, ov, &written, FALSE) ? static_cast<int>(written)
                                                                 : Noted(-1);
    }
    // Too late: the caller's bytes must not be read by a write that goes on
    // after we return.
    CancelIo(p->handle);
    FinishOverlapped(p->handle, ov);
    return 0;
  }

  int SerialBytesWaiting(SerialPort* p) override {
    const int waiting = QueuedBytes(p->handle);
    return waiting >= 0 ? waiting : Noted(waiting);
  }

  int SerialRead(SerialPort* p, std::uint8_t* buffer, int maxBytes) override {
    if (buffer == nullptr || maxBytes <= 0) return 0;
    OVERLAPPED* ov = &p->readOverlap;
    ov->Offset = 0;
    ov->OffsetHigh = 0;
    DWORD got = 0;
    if (ReadFile(p->handle, buffer, static_cast<DWORD>(maxBytes), &got, ov)) {
      return static_cast<int>(got);
    }
    if (GetLastError() != ERROR_IO_PENDING) return Noted(-1);
    if (WaitForSingleObject(ov->hEvent, kReadSettleMs) != WAIT_OBJECT_0) CancelIo(p->handle);
    return static_cast<int>(FinishOverlapped(p->handle, ov));
  }

  bool SerialWaitReadable(SerialPort* p, std::uint32_t timeoutMs) override {
    return PollReadable(p, timeoutMs);
  }

  std::uint32_t SerialNativeHandle(SerialPort* p) override {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p->handle));
  }

  void SerialClose(SerialPort* p) override {
    if (p == nullptr) return;
    CloseIfOpen(p->readOverlap.hEvent);
    CloseIfOpen(p->writeOverlap.hEvent);
    CloseIfOpen(p->handle);
    p->inUse = false;
  }

  HidDeviceList* HidListOpen() override {
    HidDeviceList* list = win32::HidListOpen();
    return list != nullptr ? list : Noted(list);
  }
  HidEntry HidListEntry(HidDeviceList* list, int index, HidInterface* entry) override {
    return win32::HidListEntry(list, index, entry);
  }
  void HidListRelease(HidDeviceList* list) override { win32::HidListRelease(list); }
  HidDevice* HidOpen(const char* path) override {
    HidDevice* device = win32::HidOpen(path);
    return device != nullptr ? device : Noted(device);
  }
  HidCaps HidGetReportLengths(HidDevice* device, HidReportLengths* lengths) override {
    return win32::HidGetReportLengths(device, lengths);
  }
  void HidDiscardInput(HidDevice* device) override { win32::HidDiscardInput(device); }
  int HidWriteReport(HidDevice* device, const std::uint8_t* report, int length,
                     std::uint32_t timeoutMs) override {
    const int written = win32::HidWriteReport(device, report, length, timeoutMs);
    return written >= 0 ? written : Noted(written);
  }
  int HidReadReport(HidDevice* device, std::uint8_t* report, int length,
                    std::uint32_t timeoutMs) override {
    const int got = win32::HidReadReport(device, report, length, timeoutMs);
    return got >= 0 ? got : Noted(got);
  }
  void HidCancel(HidDevice* device) override { win32::HidCancel(device); }
  void HidClose(HidDevice* device) override { win32::HidClose(device); }

  int LastOsError() override { return static_cast<int>(lastError_); }
  const char* OsErrorReason(int code) override { return ErrorReason(static_cast<DWORD>(code)); }

  std::uint32_t TickMs() override { return GetTickCount(); }

  void SleepMs(std::uint32_t ms) override { Sleep(ms); }

  bool EscapePressed() override {
    const SHORT state = GetAsyncKeyState(VK_ESCAPE);
    return (state & 0x8000) != 0 || (state & 1) != 0;
  }

  bool HasEscapeKey() override { return true; }

 private:
  // Keeps GetLastError as the reason of the operation that just failed, and
  // hands `result` back.
  template <typename T>
  T Noted(T result) {
    lastError_ = GetLastError();
    return result;
  }

  DWORD lastError_ = 0;
};

}  // namespace

Backend& Native() {
  static Win32Backend backend;
  return backend;
}

namespace {
// A slim reader/writer lock needs no set-up, so it is ready before the first
// export runs, whatever order the loader takes.
SRWLOCK libraryLock = SRWLOCK_INIT;
}  // namespace

void LockLibrary() {
  AcquireSRWLockExclusive(&libraryLock);
}

void UnlockLibrary() {
  ReleaseSRWLockExclusive(&libraryLock);
}

}  // namespace kx::platform
