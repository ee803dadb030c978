#include "link/hid_link.h"

#include <cstring>

#include "core/result.h"

namespace kx {

HidLink ReaderHidLink(State.link.readerHid);
HidLink PinPadPort(State.link.pinPad);

namespace {

void SetText(char* dest, const char* text) {
  std::strncpy(dest, text, kHidStatusTextSize - 1);
  dest[kHidStatusTextSize - 1] = '\0';
}

}  // namespace

int HidLink::Open() {
  SetText(state_.statusText, "设备未连接!");
  return 0;
}

int HidLink::Write(int /*count*/, const std::uint8_t* /*bytes*/) {
  SetText(state_.statusText, "设备尚未连接!");
  return kErrPort;
}

int HidLink::Read(std::uint8_t* buffer, int capacity, int /*timeoutSeconds*/) {
  if (buffer != nullptr && capacity > 0) buffer[0] = 0;
  SetText(state_.statusText, "设备尚未连接!");
  return 0;
}

int HidLink::Close() {
  SetText(state_.statusText, "设备未连接!");
  return kErrCloseReader;
}

void CloseHidLinksForTests() {}

}  // namespace kx
