// Reader commands (card power on/off, APDU transport), the reader exports'
// work, and the reader search of the all-in-one exports.
#include "reader/commands.h"

#include <algorithm>
#include <cstring>

#include "core/result.h"
#include "core/state.h"
#include "core/wipe.h"
#include "link/reader_port.h"
#include "reader/frame.h"

namespace kx {

namespace {

constexpr int kPowerOnTimeoutSeconds = 2;
constexpr int kPowerOffTimeoutSeconds = 3;
constexpr int kApduTimeoutSeconds = 5;

constexpr int kSearchBaud = 9600;
constexpr int kFirstScannedPort = 1;
constexpr int kLastScannedPort = 99;

// Written raw after a COM port opens; the reader answers nothing to it.
constexpr std::uint8_t kStartSequence[] = {0x1B, 0x25, 0x49, 0x34};

constexpr int kContact = SlotNumber(Slot::Contact);
constexpr int kPsam = SlotNumber(Slot::Psam);
constexpr int kContactless = SlotNumber(Slot::Contactless);

// Receives one reply into a scratch buffer and hands over its data only when
// it fits `capacity`, so a failed exchange leaves the caller's buffer alone.
int ReceiveInto(std::uint8_t* out, int capacity, int* length, int timeoutSeconds) {
  std::uint8_t data[kMaxReplyData] = {};
  int got = 0;
  const int r = ReceiveFrame(data, std::clamp(capacity, 0, kMaxReplyData), &got, timeoutSeconds);
  if (r != kOk) return r;
  if (got > 0) std::memcpy(out, data, static_cast<std::size_t>(got));
  if (length != nullptr) *length = got;
  return kOk;
}

bool OpenComPort(int port, int baud) {
  if (!ReaderPort.Open(port, baud, 8, 1).ok()) return false;
  ReaderPort.Write(kStartSequence, static_cast<int>(sizeof kStartSequence));
  return true;
}

bool ReaderLinkOpen() {
  return LinkKind == LinkSide::Hid ? ReaderLinkState.readerHid.device != nullptr : SerialPortOpen;
}

}  // namespace

int PowerOnSlot(int slot, std::uint8_t* resetAnswer, int capacity, int* length) {
  if (length != nullptr) *length = 0;
  std::uint8_t body[5] = {kReaderClass, kPowerOn, 0x00, 0x00, static_cast<std::uint8_t>(slot)};
  int n = 5;
  if (slot == kContactless) {
    body[1] = kActivateContactless;
    n = 4;
  }
  const int sent = SendFrame(body, n);
  if (sent != kOk) return sent;
  return ReceiveInto(resetAnswer, resetAnswer != nullptr ? capacity : 0, length,
                     kPowerOnTimeoutSeconds);
}

int PowerOffSlot(int slot) {
  std::uint8_t body[4] = {kReaderClass, kPowerOff, static_cast<std::uint8_t>(slot), 0x00};
  int n = 3;
  if (slot == kContactless) {
    body[1] = kDeactivateContactless;
    body[2] = 0x00;
    n = 4;
  }
  const int sent = SendFrame(body, n);
  if (sent != kOk) return sent;
  std::uint8_t ignored[kMaxReplyData] = {};
  int length = 0;
  return ReceiveFrame(ignored, kMaxReplyData, &length, kPowerOffTimeoutSeconds);
}

int TransmitApdu(int slot, const std::uint8_t* apdu, int n, int secretFrom, std::uint8_t* reply,
                 int capacity, int* length) {
  if (length != nullptr) *length = 0;
  if (n < 0 || n > kMaxFrameBody - 3 || (n > 0 && apdu == nullptr)) {
    ErrorTextReplace("发送数据失败");
    return kErrPort;
  }
  std::uint8_t body[kMaxFrameBody] = {kReaderClass, kTransportApdu,
                                      static_cast<std::uint8_t>(slot)};
  WipeOnExit wipeBody(body, static_cast<std::size_t>(n + 3));
  if (n > 0) std::memcpy(body + 3, apdu, static_cast<std::size_t>(n));
  const int sent = SendFrame(body, n + 3, kTransportHeader + std::clamp(secretFrom, 0, n));
  if (sent != kOk) return sent;
  return ReceiveInto(reply, reply != nullptr ? capacity : 0, length, kApduTimeoutSeconds);
}

int CheckPsam() {
  std::uint8_t scratch[kResetAnswerSize] = {};
  int length = 0;
  const int r = PowerOnSlot(kPsam, scratch, kResetAnswerSize, &length);
  if (r != kOk) return r;
  return length > 0 ? kOk : kErrPort;
}

int QueryReaderStatus(int slot, char* statusChar) {
  std::memset(ResetAnswer, 0, sizeof ResetAnswer);
  int length = 0;
  const int r = PowerOnSlot(slot, ResetAnswer, kResetAnswerSize, &length);
  if (r == kOk && length > 0) {
    if (statusChar != nullptr) *statusChar = '2';
    ResetAnswerLength = length;
    return kOk;
  }
  if (statusChar != nullptr) *statusChar = '0';
  if (r == kOk) return kErrPort;
  // A missing card is a state of the reader, not a failure of the query.
  if (r == kErrNoUserCard) return kOk;
  return r;
}

int ReaderInit(int port, int baud, std::uint32_t* handleOut) {
  if (port == kUsbPort) {
    if (ReaderPort.Open(kUsbPort, 1, 8, 1).ok()) return kOk;
    ErrorTextReplace("连接USB失败");
    return kErrPort;
  }
  ComPortNumber = port;
  ReaderPort.Close();
  if (!ReaderPort.Open(port, baud, 8, 1).ok()) {
    ErrorTextFormat("打开串口 %d 失败", port);
    return kErrPort;
  }
  // A reader that cannot be sent its start sequence cannot be sent a command
  // either: the port is given back rather than reported open.
  if (!ReaderPort.Write(kStartSequence, static_cast<int>(sizeof kStartSequence)).ok()) {
    ReaderPort.Close();
    ErrorTextReplace("发送数据失败");
    return kErrPort;
  }
  if (handleOut != nullptr) *handleOut = ReaderPort.NativeHandle();
  return kOk;
}

int ReaderPowerOff(int slot) {
  PowerOffSlot(slot);
  ReaderPort.Close();
  return kOk;
}

int ReaderInfo(char* model, char* version) {
  static_assert(sizeof "TXR-7700" == kReaderModelSize &&
                sizeof "20111201040014" == kReaderVersionSize);
  if (model != nullptr) std::strcpy(model, "TXR-7700");
  if (version != nullptr) std::strcpy(version, "20111201040014");
  return kOk;
}

ReaderSearch SearchReader(int slot, bool usbFailureEnds) {
  ReaderSearch search;
  char c = '0';
  auto ended = [&](SearchStage stage, int port) {
    search.stage = stage;
    search.port = port;
    if (c == '2') {
      search.end = SearchEnd::CardPowered;
      return search;
    }
    search.end = SearchEnd::NoCard;
    ReaderPort.Close();
    return search;
  };

  ReaderPort.Close();
  if (ReaderPort.Open(kUsbPort, kSearchBaud, 8, 1).ok()) {
    const int s = QueryReaderStatus(slot, &c);
    if (s == kOk) return ended(SearchStage::Usb, kUsbPort);
    if (usbFailureEnds) {
      ReaderPort.Close();
      search.end = SearchEnd::UsbQueryFailed;
      search.stage = SearchStage::Usb;
      search.port = kUsbPort;
      search.code = s;
      return search;
    }
  }

  ReaderPort.Close();
  if (OpenComPort(ComPortNumber, kSearchBaud) && QueryReaderStatus(slot, &c) == kOk) {
    return ended(SearchStage::RememberedPort, ComPortNumber);
  }

  for (int port = kFirstScannedPort; port <= kLastScannedPort; ++port) {
    ReaderPort.Close();
    if (!OpenComPort(port, kSearchBaud) || QueryReaderStatus(slot, &c) != kOk) continue;
    if (c == '2') ComPortNumber = port;
    return ended(SearchStage::Scan, port);
  }

  // The last port tried may have opened without a reader behind it.
  ReaderPort.Close();
  return search;
}

int ConnectUserCard(int* foundPort) {
  *foundPort = 0;
  const ReaderSearch search = SearchReader(kContact, /*usbFailureEnds=*/true);
  switch (search.end) {
    case SearchEnd::CardPowered:
      *foundPort = search.port;
      return kOk;
    case SearchEnd::UsbQueryFailed:
      return search.code;
    case SearchEnd::NoCard:
      // Found by the scan, the reader's own status message stays.
      if (search.stage != SearchStage::Scan) ErrorTextReplace("未插入用户卡");
      return kErrNoUserCard;
    case SearchEnd::NoReader:
      break;
  }
  ErrorTextReplace("没有找到设备");
  return kErrPort;
}

void DisconnectUserCard(int port) {
  // After a failed master-file selection the link was closed with only the
  // card it was talking to powered off: open the reader the search found
  // again, so that neither card is left powered.
  if (port != 0 && !ReaderLinkOpen()) {
    if (port == kUsbPort) {
      ReaderPort.Open(kUsbPort, kSearchBaud, 8, 1);
    } else {
      OpenComPort(port, kSearchBaud);
    }
  }
  PowerOffSlot(kContact);
  PowerOffSlot(kPsam);
  ReaderPort.Close();
}

}  // namespace kx
