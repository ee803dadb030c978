#include "core/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kx {

namespace {

// Room for the longest frame the link reads (1024 bytes, up to four
// characters each) and its label; a longer line ends in "...".
constexpr int kLineSize = 4608;

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kReaderClass = 0x32;
constexpr std::uint8_t kTransportApdu = 0x26;
// Reader class, command and slot come before the APDU in a transport frame.
constexpr int kTransportHeader = 3;

class Line {
 public:
  void Add(const char* text) {
    while (*text != '\0') Put(*text++);
  }
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char piece[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    Add(piece);
  }
  // Bytes as spaced hex, those from `secretFrom` on as "**".
  void Hex(const std::uint8_t* bytes, int count, int secretFrom) {
    for (int i = 0; i < count; ++i) {
      if (i > 0) Put(' ');
      if (i >= secretFrom) {
        Add("**");
      } else {
        Format("%02X", bytes[i]);
      }
    }
  }
  void Emit() {
    text_[used_] = '\0';
    if (full_) std::memcpy(text_ + used_, "...", 4);
    if (State.traceSink != nullptr) State.traceSink(text_);
  }

 private:
  void Put(char c) {
    if (used_ < kLineSize - 4) {
      text_[used_++] = c;
    } else {
      full_ = true;
    }
  }
  char text_[kLineSize];
  int used_ = 0;
  bool full_ = false;
};

// Wire bytes as text: frame digits as they are, STX and ETX by name, any
// other byte as <XX>. Characters whose index is in [secretFrom, secretTo)
// are written as '*'.
void AddWire(Line& line, const std::uint8_t* wire, int count, int secretFrom, int secretTo) {
  for (int i = 0; i < count; ++i) {
    const std::uint8_t b = wire[i];
    if (i >= secretFrom && i < secretTo) {
      line.Add("*");
    } else if (b == kStx) {
      line.Add("<STX>");
    } else if (b == kEtx) {
      line.Add("<ETX>");
    } else if (b > 0x20 && b < 0x7F) {
      const char c[2] = {static_cast<char>(b), '\0'};
      line.Add(c);
    } else {
      line.Format("<%02X>", b);
    }
  }
}

const char* FrameCommandName(std::uint8_t command) {
  switch (command) {
    case 0x22:
      return "power on";
    case 0x23:
      return "power off";
    case 0x24:
      return "activate contactless";
    case 0x25:
      return "deactivate contactless";
    case kTransportApdu:
      return "APDU";
    default:
      return "command";
  }
}

}  // namespace

void SetTraceSink(TraceSink sink) {
  State.traceSink = sink;
}

int ApduSecretOffset(const std::uint8_t* apdu, int length) {
  constexpr int kDataStart = 5;
  if (apdu == nullptr || length <= kDataStart) return length;
  const std::uint8_t cla = apdu[0];
  const std::uint8_t ins = apdu[1];
  const std::uint8_t p1 = apdu[2];
  const std::uint8_t lc = apdu[4];
  switch (ins) {
    case 0x20:  // VERIFY
    case 0x24:  // change or reset of the PIN (the reset's enciphered PIN block)
    case 0x2C:  // reset of the retry counter
    case 0x5E:  // change PIN, reload PIN
      return kDataStart;
    case 0xFA:
      // The PSAM enciphers the PIN block of a PIN reset together with a
      // challenge, 16 bytes or more; challenges alone are 8.
      if (cla == 0x80 && p1 == 0x00 && lc >= 16) return kDataStart;
      return length;
    default:
      return length;
  }
}

namespace trace_detail {

void FrameSent(const std::uint8_t* body, int bodyLength, const std::uint8_t* wire, int wireLength) {
  Line line;
  line.Add("frame > ");
  int secretFrom = wireLength;
  int secretTo = wireLength;
  if (body != nullptr && bodyLength >= 2 && body[0] == kReaderClass) {
    line.Add(FrameCommandName(body[1]));
    // Power-on carries its slot last (32 22 00 00 slot), the others third.
    const int slotAt = body[1] == 0x22 ? 4 : 2;
    if (bodyLength > slotAt) line.Format(" slot %d", body[slotAt]);
    if (body[1] == kTransportApdu && bodyLength > kTransportHeader) {
      const int apduLength = bodyLength - kTransportHeader;
      const int secret = ApduSecretOffset(body + kTransportHeader, apduLength);
      if (secret < apduLength) {
        // Body byte i is raw byte i + 2 (after the length), written as the
        // wire characters 1 + 2 * (i + 2) and the one after; the check byte
        // that follows the body is hidden too, as it depends on the PIN.
        secretFrom = 1 + 2 * (kTransportHeader + secret + 2);
        secretTo = 1 + 2 * (bodyLength + 3);
      }
    }
    line.Add(": ");
  }
  if (wire != nullptr) AddWire(line, wire, wireLength, secretFrom, secretTo);
  line.Format(" (%d bytes)", wireLength);
  line.Emit();
}

void FrameReceived(const std::uint8_t* wire, int wireLength) {
  Line line;
  line.Add("frame < ");
  if (wireLength < 0 || wire == nullptr) {
    line.Format("no reply (%d)", wireLength);
  } else {
    AddWire(line, wire, wireLength, wireLength, wireLength);
    line.Format(" (%d bytes)", wireLength);
  }
  line.Emit();
}

void Apdu(int slot, const std::uint8_t* command, int commandLength, const std::uint8_t* reply,
          int replyLength, int result, std::uint32_t elapsedMs) {
  Line line;
  line.Format("apdu slot %d > ", slot);
  if (command != nullptr && commandLength > 0) {
    line.Hex(command, commandLength, ApduSecretOffset(command, commandLength));
  }
  line.Add(" < ");
  if (reply != nullptr && replyLength >= 2) {
    line.Hex(reply, replyLength - 2, replyLength);
    line.Format("%sSW %02X%02X", replyLength > 2 ? " " : "", reply[replyLength - 2],
                reply[replyLength - 1]);
  } else {
    line.Add("no reply");
  }
  line.Format(" = %d, %u ms", result, static_cast<unsigned>(elapsedMs));
  line.Emit();
}

void PinPad(int mode, int characters, int result) {
  Line line;
  line.Format("pin pad > ESC %c < ", mode == 1 ? 'I' : 'E');
  if (characters > 0) {
    line.Add("<STX>");
    for (int i = 0; i < characters; ++i) line.Add(i == 0 ? "**" : " **");
    line.Add("<ETX>");
  } else {
    line.Add("no characters");
  }
  line.Format(" = %d", result);
  line.Emit();
}

void ExportResult(const char* name, int result) {
  Line line;
  line.Format("export %.48s = %d", name != nullptr ? name : "?", result);
  line.Emit();
}

void Text(const char* text) {
  Line line;
  line.Add(text != nullptr ? text : "");
  line.Emit();
}

}  // namespace trace_detail

}  // namespace kx
