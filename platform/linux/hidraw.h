// HID devices on Linux through hidraw: the device nodes the kernel lists in
// sysfs (/sys/class/hidraw/hidrawN), their identities from sysfs, and their
// report lengths from their report descriptors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "platform/platform_state.h"

namespace kx::platform::hidraw {

// Report lengths as the Windows HID capabilities give them: for each
// direction, the longest report of any report id in bytes, plus the report-id
// byte (counted whether or not the device numbers its reports); 0 for a
// direction without reports.
struct ReportDescriptorSummary {
  int inputLength = 0;
  int outputLength = 0;
  bool numbered = false;  // the device uses report ids
};

// Reads a HID report descriptor: Report Size x Report Count of every Input
// and Output item, per report id, with Push and Pop. False for a descriptor
// that ends inside an item or misuses Push and Pop. Lengths beyond any real
// report are capped, never wrapped.
bool ParseReportDescriptor(const std::uint8_t* descriptor, std::size_t size,
                           ReportDescriptorSummary* summary);

// Where the devices are looked for: the sysfs tree and the folder of the
// device nodes (null or "" for the defaults /sys and /dev). False, with
// nothing changed, for a path longer than kMaxDevicePathLength bytes.
bool SetHidrawRoots(const char* sysfsRoot, const char* deviceRoot);

// The HID operations of the platform seam, for the Linux backend. A failure
// leaves its reason in errno.
HidDeviceList* ListOpen();
HidEntry ListEntry(HidDeviceList* list, int index, HidInterface* entry);
void ListRelease(HidDeviceList* list);
HidDevice* Open(const char* path);
HidCaps ReportLengths(HidDevice* device, HidReportLengths* lengths);
void DiscardInput(HidDevice* device);
int WriteReport(HidDevice* device, const std::uint8_t* report, int length, std::uint32_t timeoutMs);
int ReadReport(HidDevice* device, std::uint8_t* report, int length, std::uint32_t timeoutMs);
void Close(HidDevice* device);

}  // namespace kx::platform::hidraw
