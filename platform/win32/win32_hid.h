// HID devices on Windows: SetupAPI lists the HID interfaces, hid.dll tells
// their identities and report lengths, overlapped ReadFile and WriteFile
// move the reports.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kx::platform::win32 {

// A failure leaves its reason in GetLastError.

HidDeviceList* HidListOpen();
HidEntry HidListEntry(HidDeviceList* list, int index, HidInterface* entry);
void HidListRelease(HidDeviceList* list);
HidDevice* HidOpen(const char* path);
HidCaps HidGetReportLengths(HidDevice* device, HidReportLengths* lengths);
void HidDiscardInput(HidDevice* device);
int HidWriteReport(HidDevice* device, const std::uint8_t* report, int length,
                   std::uint32_t timeoutMs);
int HidReadReport(HidDevice* device, std::uint8_t* report, int length, std::uint32_t timeoutMs);
void HidCancel(HidDevice* device);
void HidClose(HidDevice* device);

}  // namespace kx::platform::win32
