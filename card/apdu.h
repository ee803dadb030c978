// The APDU exchange: the one road by which the library talks to a card, with
// the value types every card command is built from. Results follow
// core/result.h: 0 for status 90 00, -(SW1 * 256 + SW2) for another status
// word, or the link or reader code.
#pragma once

#include <cstdint>

#include "card/operation.h"
#include "core/wipe.h"

namespace kx {

// Largest command ExchangeApdu accepts: it must fit a reader frame (3 header
// bytes + APDU <= 508) and the copy kept for the 6Cxx re-send.
inline constexpr int kMaxApduCommand = 505;
// Reply buffers passed to ExchangeApdu hold at least this many bytes.
inline constexpr int kMaxApduReply = 295;  // what one reader frame carries
inline constexpr int kMaxApduHexCommand = 600;

// A short command APDU, CLA INS P1 P2 [Lc data] [Le], built from its parts.
// Lc takes 0 to 255 and Le 1 to 256 (256 goes out as the byte 00); a command
// asked for outside those ranges is not valid and is never sent.
class CommandApdu {
 public:
  static constexpr int kMaxData = 255;
  static constexpr int kMaxLe = 256;

  // Header only (case 1).
  constexpr CommandApdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2)
      : bytes_{cla, ins, p1, p2}, size_(4) {}

  // Header and Le (case 2). Le 0 asks for 256 bytes, as its byte 00 does.
  static constexpr CommandApdu Expecting(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                         std::uint8_t p2, int le) {
    CommandApdu c(cla, ins, p1, p2);
    c.AppendLe(le);
    return c;
  }

  // Header, Lc and `lc` data bytes (case 3).
  static CommandApdu WithData(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                              const std::uint8_t* data, int lc);

  // Header, Lc, data and Le (case 4).
  static CommandApdu WithDataAndLe(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                   std::uint8_t p2, const std::uint8_t* data, int lc, int le);

  // Clears the bytes (a command that carried PIN digits, before it goes).
  void Wipe() { WipeSecret(bytes_, sizeof bytes_); }

  constexpr bool valid() const { return valid_; }
  constexpr const std::uint8_t* bytes() const { return bytes_; }
  constexpr int size() const { return size_; }
  // Bytes the card is asked for (Le), 0 when the command expects none.
  constexpr int expected() const { return expected_; }

 private:
  constexpr void AppendLe(int le) {
    if (le < 0 || le > kMaxLe) {
      valid_ = false;
      return;
    }
    bytes_[size_++] = static_cast<std::uint8_t>(le & 0xFF);
    expected_ = le == 0 ? kMaxLe : le;
  }
  void AppendData(const std::uint8_t* data, int lc);

  std::uint8_t bytes_[4 + 1 + kMaxData + 1] = {};
  int size_ = 0;
  int expected_ = 0;
  bool valid_ = true;
};

// A card's reply: its data followed by SW1 SW2.
struct Response {
  std::uint8_t bytes[kMaxApduReply] = {};
  int length = 0;  // data and status word

  const std::uint8_t* data() const { return bytes; }
  int dataLength() const { return length >= 2 ? length - 2 : 0; }
  std::uint16_t sw() const {
    return length >= 2 ? static_cast<std::uint16_t>(bytes[length - 2] << 8 | bytes[length - 1]) : 0;
  }
};

// Sends `command` to the operation's card through ExchangeApdu. A command
// that is not valid gives -12 "capdu 的长度超出范围" and nothing is sent.
int Exchange(Operation& op, const CommandApdu& command, Response* response);

// Sends `command` (1 to kMaxApduCommand bytes, else -12 and nothing is sent)
// to the operation's card, with one GET RESPONSE for 61xx and
// then one re-send with the corrected Le for 6Cxx (a command without Le,
// case 1 or 3, gets its 6Cxx back). Writes the final reply
// (data and SW1 SW2) and its length whenever a reply came back. After the
// operation's link was dropped nothing is sent: -2 "发送数据失败", as a
// closed link gives.
int ExchangeApdu(Operation& op, int length, const std::uint8_t* command, int* replyLength,
                 std::uint8_t* reply);

// The same with hex text in and out. hexReply receives the whole reply as
// packed upper-case hex (it needs 2 * kMaxApduReply + 1 bytes). Neither output
// is written on failure. -12 for more than 600 characters or a bad pair. The
// text counts up to its terminator even if hexLength says more.
int ExchangeApduText(Operation& op, int hexLength, const char* hexCommand, int* hexReplyLength,
                     char* hexReply);

// The KXSelectIFD codes: 12 contact user card, 13 contactless, 14 PSAM,
// 15 slot 17, any other slot 1.
enum InterfaceCode : int {
  kInterfaceContact = 12,
  kInterfaceContactless = 13,
  kInterfacePsam = 14,
  kInterfaceSlot17 = 15,
};

// Where the secret part of a command APDU starts: its data field for the
// commands that carry PIN data (VERIFY, the PIN change and reset commands,
// the PSAM encipherment of a PIN block), else `length`: nothing secret. The
// trace writes the secret bytes as "**".
int ApduSecretOffset(const std::uint8_t* apdu, int length);

// KXSelectIFD's work: the interface code's slot becomes the operation's,
// its failure text is cleared.
void SelectInterface(Operation& op, int code);

// KXCpuReset's work: after a 100 ms pause powers on the operation's card and
// writes its reset answer as packed upper-case hex into resetAnswerHex (at
// most 2 * kResetAnswerSize + 1 bytes). Slot 0 also refreshes the
// operation's reset answer. -2 for an empty answer; a failing PSAM power-on
// gives -5 whatever the reader said, other slots the reader's code.
int ResetSelectedCard(Operation& op, char* resetAnswerHex);

// GetCurRecordData's work: copies the last record's text with its
// terminator into `text` (kLastRecordHexSize bytes at most) and returns the
// bytes copied.
int CopyLastRecordHex(const Operation& op, char* text);

}  // namespace kx
