// HID devices on Windows.
//
// Every device is opened with FILE_FLAG_OVERLAPPED and carries two
// manual-reset events, one for reads and one for writes. A read that has
// not completed when its wait ends stays under way, into the device's own
// buffer, so the report it takes later is not lost; HidCancel stops it and
// waits until it has stopped.
#include "platform/win32/win32_hid.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// MinGW's HID headers declare C functions without saying so.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <cstring>

#include "core/wipe.h"

namespace kx::platform {

struct HidDeviceList {
  bool inUse = false;
  HDEVINFO info = INVALID_HANDLE_VALUE;
  GUID guid{};
  // The interface detail record; a HID path is far shorter.
  alignas(8) BYTE detail[2048] = {};
};

struct HidDevice {
  bool inUse = false;
  HANDLE handle = INVALID_HANDLE_VALUE;
  OVERLAPPED readOverlap{};
  OVERLAPPED writeOverlap{};
  bool readPending = false;
  BYTE readBuffer[256] = {};
};

namespace win32 {

namespace {

constexpr int kReportBufferSize = 256;
// Usage page of the generic desktop controls.
constexpr USAGE kGenericDesktopPage = 1;

// The reader link and the PIN pad link each hold one device, and an open
// walks one candidate at a time.
HidDevice devices[4];
HidDeviceList list;

void CloseIfOpen(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

// Stops the read under way, if any, and waits until it has stopped.
void StopRead(HidDevice* device) {
  if (!device->readPending) return;
  CancelIo(device->handle);
  DWORD ignored = 0;
  GetOverlappedResult(device->handle, &device->readOverlap, &ignored, TRUE);
  device->readPending = false;
  WipeSecret(device->readBuffer, sizeof device->readBuffer);
}

// Hands a completed read to the caller; the device's copy goes.
int Deliver(HidDevice* device, std::uint8_t* report, int length, DWORD got) {
  if (got == 0) return -1;
  const int taken = got < static_cast<DWORD>(length) ? static_cast<int>(got) : length;
  std::memset(report, 0, static_cast<std::size_t>(length));
  std::memcpy(report, device->readBuffer, static_cast<std::size_t>(taken));
  WipeSecret(device->readBuffer, sizeof device->readBuffer);
  return length;
}

}  // namespace

HidDeviceList* HidListOpen() {
  if (list.inUse) return nullptr;
  HidD_GetHidGuid(&list.guid);
  list.info =
      SetupDiGetClassDevsA(&list.guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list.info == INVALID_HANDLE_VALUE) return nullptr;
  list.inUse = true;
  return &list;
}

HidEntry HidListEntry(HidDeviceList* from, int index, HidInterface* entry) {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (!SetupDiEnumDeviceInterfaces(from->info, nullptr, &from->guid, static_cast<DWORD>(index),
                                   &data)) {
    return GetLastError() == ERROR_NO_MORE_ITEMS ? HidEntry::kEnd : HidEntry::kFailed;
  }
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(from->info, &data, nullptr, 0, &required, nullptr);
  if (required == 0 || required > sizeof from->detail) return HidEntry::kNoPath;
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(from->detail);
  // cbSize is the size of the fixed part, whatever room follows it.
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(from->info, &data, detail, required, nullptr, nullptr)) {
    return HidEntry::kNoPath;
  }
  const std::size_t length = strnlen(detail->DevicePath, kHidPathSize);
  if (length >= static_cast<std::size_t>(kHidPathSize)) return HidEntry::kNoPath;
  std::memcpy(entry->path, detail->DevicePath, length + 1);

  // The attributes need a handle, not access: this one opens even where
  // another program holds the device.
  entry->identityKnown = false;
  HANDLE probe = CreateFileA(entry->path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (HidD_GetAttributes(probe, &attributes)) {
      entry->identityKnown = true;
      entry->vendorId = attributes.VendorID;
      entry->productId = attributes.ProductID;
      entry->version = attributes.VersionNumber;
    }
    CloseHandle(probe);
  }
  return HidEntry::kFound;
}

void HidListRelease(HidDeviceList* from) {
  SetupDiDestroyDeviceInfoList(from->info);
  from->info = INVALID_HANDLE_VALUE;
  from->inUse = false;
}

HidDevice* HidOpen(const char* path) {
  HidDevice* device = nullptr;
  for (HidDevice& candidate : devices) {
    if (!candidate.inUse) {
      device = &candidate;
      break;
    }
  }
  if (device == nullptr) return nullptr;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  *device = HidDevice{};
  device->handle = h;
  device->readOverlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  device->writeOverlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (device->readOverlap.hEvent == nullptr || device->writeOverlap.hEvent == nullptr) {
    CloseIfOpen(device->readOverlap.hEvent);
    CloseIfOpen(device->writeOverlap.hEvent);
    CloseHandle(h);
    *device = HidDevice{};
    return nullptr;
  }
  device->inUse = true;
  return device;
}

HidCaps HidGetReportLengths(HidDevice* device, HidReportLengths* lengths) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(device->handle, &preparsed)) return HidCaps::kNoPreparsedData;
  HIDP_CAPS caps{};
  if (HidP_GetCaps(preparsed, &caps) != HIDP_STATUS_SUCCESS) {
    HidD_FreePreparsedData(preparsed);
    return HidCaps::kNoCapabilities;
  }
  lengths->input = caps.InputReportByteLength;
  lengths->output = caps.OutputReportByteLength;
  // An output report set up with no usages: the device must accept one.
  lengths->outputReportSettable = false;
  if (lengths->output >= 1 && lengths->output <= kReportBufferSize) {
    CHAR report[kReportBufferSize] = {};
    USAGE none[1] = {0};
    ULONG count = 0;
    lengths->outputReportSettable =
        HidP_SetUsages(HidP_Output, kGenericDesktopPage, 0, none, &count, preparsed, report,
                       static_cast<ULONG>(lengths->output)) == HIDP_STATUS_SUCCESS;
  }
  HidD_FreePreparsedData(preparsed);
  return HidCaps::kOk;
}

void HidDiscardInput(HidDevice* device) {
  StopRead(device);
  HidD_FlushQueue(device->handle);
}

int HidWriteReport(HidDevice* device, const std::uint8_t* report, int length,
                   std::uint32_t timeoutMs) {
  OVERLAPPED* ov = &device->writeOverlap;
  HANDLE event = ov->hEvent;
  *ov = OVERLAPPED{};
  ov->hEvent = event;
  ResetEvent(event);
  DWORD written = 0;
  // A device that takes part of a report is failing.
  const auto whole = [&] {
    if (written == static_cast<DWORD>(length)) return length;
    SetLastError(ERROR_GEN_FAILURE);
    return -1;
  };
  if (WriteFile(device->handle, report, static_cast<DWORD>(length), &written, ov)) return whole();
  if (GetLastError() != ERROR_IO_PENDING) return -1;
  if (WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0) {
    return GetOverlappedResult(device->handle, ov, &written, FALSE) ? whole() : -1;
  }
  // CancelIo stops every operation of this thread on the handle, a read
  // under way included: wait for both before the buffers are reused.
  CancelIo(device->handle);
  GetOverlappedResult(device->handle, ov, &written, TRUE);
  StopRead(device);
  return 0;
}

int HidReadReport(HidDevice* device, std::uint8_t* report, int length, std::uint32_t timeoutMs) {
  if (length < 1 || length > kReportBufferSize) return -1;
  OVERLAPPED* ov = &device->readOverlap;
  DWORD got = 0;
  if (!device->readPending) {
    HANDLE event = ov->hEvent;
    *ov = OVERLAPPED{};
    ov->hEvent = event;
    ResetEvent(event);
    if (ReadFile(device->handle, device->readBuffer, static_cast<DWORD>(length), &got, ov)) {
      return Deliver(device, report, length, got);
    }
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    device->readPending = true;
  }
  if (WaitForSingleObject(ov->hEvent, timeoutMs) != WAIT_OBJECT_0) return 0;
  device->readPending = false;
  if (!GetOverlappedResult(device->handle, ov, &got, FALSE)) return -1;
  return Deliver(device, report, length, got);
}

void HidCancel(HidDevice* device) {
  StopRead(device);
}

void HidClose(HidDevice* device) {
  StopRead(device);
  CloseIfOpen(device->readOverlap.hEvent);
  CloseIfOpen(device->writeOverlap.hEvent);
  CloseIfOpen(device->handle);
  *device = HidDevice{};
}

}  // namespace win32
}  // namespace kx::platform
