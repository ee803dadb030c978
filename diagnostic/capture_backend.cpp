// The capture at the platform seam: a backend that hands every call on to
// the native one and records what crossed it, each byte with its time. PIN
// data never reach the file: the frame that carries a PIN-bearing APDU has
// its PIN digits and check byte written as "**", found by the reader's frame
// layout (reader/frame.cpp) and the APDU's secret part (ApduSecretOffset);
// the PIN pad's answer after ESC 'I' / ESC 'E' is written as "**" but for
// its STX and ETX.
#include <array>
#include <string>

#include "capture/kxcap.h"
#include "card/apdu.h"
#include "diagnostic/capture_sink.h"
#include "link/frame_bytes.h"
#include "platform/platform.h"
#include "reader/frame.h"

namespace kx::diagnostic {

namespace {

using platform::Backend;

constexpr std::uint8_t kEsc = 0x1B;

int Nibble(std::uint8_t c) {
  if (c >= 0x30 && c <= 0x3F) return c - 0x30;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The wire bytes [from, to) of a command frame that hide PIN data; from ==
// to when it carries none.
std::pair<int, int> SecretWireBytes(const std::uint8_t* wire, int count) {
  // STX, two digits a raw byte (length, body, check), ETX.
  if (count < 8 || wire[0] != kStx || wire[count - 1] != kEtx || count % 2 != 0) return {0, 0};
  std::array<std::uint8_t, 520> raw{};
  const int rawCount = (count - 2) / 2;
  if (rawCount > static_cast<int>(raw.size())) return {0, 0};
  for (int i = 0; i < rawCount; ++i) {
    const int high = Nibble(wire[1 + 2 * i]);
    const int low = Nibble(wire[2 + 2 * i]);
    if (high < 0 || low < 0) return {0, 0};
    raw[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  const int bodyLength = raw[0] * 256 + raw[1];
  const std::uint8_t* body = raw.data() + 2;
  if (bodyLength + 3 != rawCount || bodyLength < kTransportHeader + 1) return {0, 0};
  if (body[0] != kReaderClass || body[1] != kTransportApdu) return {0, 0};
  const int apduLength = bodyLength - kTransportHeader;
  const int secret = ApduSecretOffset(body + kTransportHeader, apduLength);
  if (secret >= apduLength) return {0, 0};
  // Body byte i is raw byte i + 2, wire bytes 1 + 2 (i + 2) and the next;
  // the check byte after the body goes too, as it depends on the PIN.
  return {1 + 2 * (kTransportHeader + secret + 2), 1 + 2 * (bodyLength + 3)};
}

class CaptureBackend final : public Backend {
 public:
  explicit CaptureBackend(Backend& inner) : inner_(inner) {}

  platform::SerialPort* SerialOpen(int port) override {
    platform::SerialPort* opened = inner_.SerialOpen(port);
    Record("open", port, opened != nullptr ? " ok" : " failed");
    if (opened != nullptr) ports_[Slot(opened)] = {opened, port};
    return opened;
  }
  bool SerialSetLine(platform::SerialPort* port, int baud, int byteSize, int parity) override {
    Record("line", PortOf(port),
           std::string(" ") + std::to_string(baud) + " " + std::to_string(byteSize) + " " +
               std::to_string(parity));
    return inner_.SerialSetLine(port, baud, byteSize, parity);
  }
  bool SerialSetQueues(platform::SerialPort* port, int in, int out) override {
    return inner_.SerialSetQueues(port, in, out);
  }
  bool SerialSetRts(platform::SerialPort* port, bool raised) override {
    return inner_.SerialSetRts(port, raised);
  }
  void SerialPurge(platform::SerialPort* port) override { inner_.SerialPurge(port); }
  int SerialWrite(platform::SerialPort* port, const std::uint8_t* bytes, int count,
                  std::uint32_t timeoutMs) override {
    if (count > 0 && CaptureOn()) {
      auto [from, to] = SecretWireBytes(bytes, count);
      std::string line = " ";
      capture::AppendBytes(line, bytes, static_cast<std::size_t>(count),
                           static_cast<std::size_t>(from), static_cast<std::size_t>(to));
      Record("tx", PortOf(port), line);
      padAnswerNext_ = count >= 2 && bytes[0] == kEsc && (bytes[1] == 'I' || bytes[1] == 'E');
    }
    return inner_.SerialWrite(port, bytes, count, timeoutMs);
  }
  int SerialBytesWaiting(platform::SerialPort* port) override {
    return inner_.SerialBytesWaiting(port);
  }
  int SerialRead(platform::SerialPort* port, std::uint8_t* buffer, int maxBytes) override {
    const int n = inner_.SerialRead(port, buffer, maxBytes);
    if (n > 0 && CaptureOn()) {
      std::string line = " ";
      if (padAnswerNext_) {
        capture::AppendBytes(line, PadAnswer(buffer, n));
      } else {
        capture::AppendBytes(line, buffer, static_cast<std::size_t>(n));
      }
      Record("rx", PortOf(port), line);
    }
    return n;
  }
  bool SerialWaitReadable(platform::SerialPort* port, std::uint32_t timeoutMs) override {
    return inner_.SerialWaitReadable(port, timeoutMs);
  }
  std::uint32_t SerialNativeHandle(platform::SerialPort* port) override {
    return inner_.SerialNativeHandle(port);
  }
  void SerialClose(platform::SerialPort* port) override {
    Record("close", PortOf(port), "");
    ports_[Slot(port)] = {};
    inner_.SerialClose(port);
  }

  platform::HidDeviceList* HidListOpen() override { return inner_.HidListOpen(); }
  platform::HidEntry HidListEntry(platform::HidDeviceList* list, int index,
                                  platform::HidInterface* entry) override {
    return inner_.HidListEntry(list, index, entry);
  }
  void HidListRelease(platform::HidDeviceList* list) override { inner_.HidListRelease(list); }
  platform::HidDevice* HidOpen(const char* path) override {
    platform::HidDevice* device = inner_.HidOpen(path);
    std::string line = device != nullptr ? std::string("hid-open ") + Ms() + " ok "
                                         : std::string("hid-open ") + Ms() + " failed ";
    capture::AppendText(line, path, std::char_traits<char>::length(path));
    CaptureWrite(line);
    return device;
  }
  platform::HidCaps HidGetReportLengths(platform::HidDevice* device,
                                        platform::HidReportLengths* lengths) override {
    return inner_.HidGetReportLengths(device, lengths);
  }
  void HidDiscardInput(platform::HidDevice* device) override { inner_.HidDiscardInput(device); }
  int HidWriteReport(platform::HidDevice* device, const std::uint8_t* report, int length,
                     std::uint32_t timeoutMs) override {
    if (length > 0) {
      std::string line = std::string("hid-out ") + Ms() + " ";
      // A frame for the USB reader travels in the reports after the id.
      auto [from, to] = SecretWireBytes(report + 1, length - 1);
      capture::AppendBytes(line, report, static_cast<std::size_t>(length),
                           from < to ? static_cast<std::size_t>(from + 1) : SIZE_MAX,
                           static_cast<std::size_t>(to + 1));
      CaptureWrite(line);
      padAnswerNext_ = length >= 3 && report[1] == kEsc && (report[2] == 'I' || report[2] == 'E');
    }
    return inner_.HidWriteReport(device, report, length, timeoutMs);
  }
  int HidReadReport(platform::HidDevice* device, std::uint8_t* report, int length,
                    std::uint32_t timeoutMs) override {
    const int n = inner_.HidReadReport(device, report, length, timeoutMs);
    if (n > 0) {
      std::string line = std::string("hid-in ") + Ms() + " ";
      if (padAnswerNext_) {
        capture::Bytes bytes = PadAnswer(report, n);
        bytes[0] = report[0];
        capture::AppendBytes(line, bytes);
      } else {
        capture::AppendBytes(line, report, static_cast<std::size_t>(n));
      }
      CaptureWrite(line);
    }
    return n;
  }
  void HidCancel(platform::HidDevice* device) override { inner_.HidCancel(device); }
  void HidClose(platform::HidDevice* device) override { inner_.HidClose(device); }

  int LastOsError() override { return inner_.LastOsError(); }
  const char* OsErrorReason(int code) override { return inner_.OsErrorReason(code); }
  std::uint32_t TickMs() override { return inner_.TickMs(); }
  void SleepMs(std::uint32_t ms) override { inner_.SleepMs(ms); }
  bool EscapePressed() override { return inner_.EscapePressed(); }
  bool HasEscapeKey() override { return inner_.HasEscapeKey(); }

 private:
  struct OpenPort {
    platform::SerialPort* handle = nullptr;
    int number = 0;
  };

  static std::string Ms() { return std::to_string(CaptureMs()); }

  // The PIN pad's answer with every byte but STX and ETX hidden.
  static capture::Bytes PadAnswer(const std::uint8_t* bytes, int n) {
    capture::Bytes out;
    for (int i = 0; i < n; ++i) {
      out.push_back(bytes[i] == kStx || bytes[i] == kEtx || bytes[i] == 0 ? bytes[i]
                                                                          : capture::kRedacted);
    }
    return out;
  }

  std::size_t Slot(platform::SerialPort* handle) const {
    for (std::size_t i = 0; i < ports_.size(); ++i) {
      if (ports_[i].handle == handle) return i;
    }
    for (std::size_t i = 0; i < ports_.size(); ++i) {
      if (ports_[i].handle == nullptr) return i;
    }
    return ports_.size() - 1;
  }
  int PortOf(platform::SerialPort* handle) const {
    for (const OpenPort& p : ports_) {
      if (p.handle == handle) return p.number;
    }
    return 0;
  }
  void Record(const char* kind, int port, const std::string& rest) {
    if (!CaptureOn()) return;
    CaptureWrite(std::string(kind) + " " + Ms() + " " + std::to_string(port) + rest);
  }

  Backend& inner_;
  std::array<OpenPort, 8> ports_{};
  bool padAnswerNext_ = false;
};

}  // namespace

void InstallCaptureBackend() {
  static CaptureBackend backend(platform::Native());
  platform::SetBackend(&backend);
}

}  // namespace kx::diagnostic
