// Named card and PSAM commands: fixed APDU templates filled from their
// arguments and sent through ExchangeApdu to the card in the selected slot.
#include "card/commands.h"

#include <algorithm>
#include <cstring>

#include "card/apdu.h"
#include "interface/state.h"
#include "interface/status.h"
#include "reader/commands.h"
#include "reader/frame.h"

namespace kx {

const char kMasterFileName[] = "sx1.sh.社会保障";
static_assert(sizeof kMasterFileName == 16, "the master file's name is 15 GBK bytes");

namespace {

constexpr int kNameLength = static_cast<int>(sizeof kMasterFileName) - 1;
constexpr int kMaxLc = 255;
constexpr int kMaxLe = 256;  // Le byte 00
constexpr int kMaxChallenge = 50;
// LastRecordHex holds the hex text of this many record bytes.
constexpr int kMaxRecordHexBytes = (kLastRecordHexSize - 1) / 2;
constexpr int kPsamIdBytes = 6;
constexpr int kCardFactorOffset = 5;  // into the historical bytes
constexpr int kFactorSize = 8;

constexpr std::uint8_t Byte(int value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

// Commands carrying data: header, Lc, the Lc data bytes and, when asked, Le
// 00. Lc is one byte, so a longer (or negative) count is refused rather than
// cut to its low byte, which would send a different command than asked.
int SendWithData(std::uint8_t cla, std::uint8_t ins, int p1, int p2, int lc,
                 const std::uint8_t* data, bool trailingLe, int* replyLength, std::uint8_t* reply) {
  if (lc < 0 || lc > kMaxLc || (lc > 0 && data == nullptr)) {
    ErrorTextReplace("capdu 的长度超出范围");
    return kErrParam;
  }
  std::uint8_t command[5 + kMaxLc + 1] = {cla, ins, Byte(p1), Byte(p2), Byte(lc)};
  if (lc > 0) std::memcpy(command + 5, data, static_cast<std::size_t>(lc));
  int length = 5 + lc;
  if (trailingLe) command[length++] = 0x00;
  return ExchangeApdu(length, command, replyLength, reply);
}

int SendWithData(std::uint8_t cla, std::uint8_t ins, int p1, int p2, int lc,
                 const std::uint8_t* data) {
  std::uint8_t reply[kMaxApduReply] = {};
  int replyLength = 0;
  return SendWithData(cla, ins, p1, p2, lc, data, false, &replyLength, reply);
}

bool LeInRange(int le) {
  return le >= 0 && le <= kMaxLe;
}

// Restores what ErrorText held when the master file could not be selected
// after the power-off reply has cleared it, and adds this step's words.
void CloseAfterFailedSelection() {
  char heldText[kErrorTextSize];
  std::memcpy(heldText, ErrorText, sizeof heldText);
  heldText[kErrorTextSize - 1] = '\0';
  ReaderPowerOff();
  ErrorTextReplace(heldText);
  ErrorTextAppend(";KXReadCardIDAIO 选择主文件失败");
}

// The reply read as the card's text: up to its first zero byte.
bool ReplyNamesMasterFile(const std::uint8_t* reply, int replyLength) {
  const std::uint8_t* end = std::find(reply, reply + replyLength, 0);
  const auto* name = reinterpret_cast<const std::uint8_t*>(kMasterFileName);
  return std::search(reply, end, name, name + kNameLength) != end;
}

}  // namespace

int SelectMasterFile() {
  static constexpr std::uint8_t kSelectById[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
  std::uint8_t reply[kMaxApduReply] = {};
  int replyLength = 0;
  int r = ExchangeApdu(static_cast<int>(sizeof kSelectById), kSelectById, &replyLength, reply);
  if (r == kOk && ReplyNamesMasterFile(reply, replyLength)) return kOk;

  if (r == kOk) {
    std::uint8_t selectByName[5 + kNameLength] = {0x00, 0xA4, 0x04, 0x00, Byte(kNameLength)};
    std::memcpy(selectByName + 5, kMasterFileName, kNameLength);
    r = ExchangeApdu(static_cast<int>(sizeof selectByName), selectByName, &replyLength, reply);
    if (r == kOk) return kOk;
  }

  // The reader drops the link after a failed master-file selection; the host
  // opens it again before the next card command.
  CloseAfterFailedSelection();
  return r;
}

int SelectFile(const char* pathText) {
  // "P1 P2 Lc" and the identifier, after 00 A4.
  constexpr int kMaxPathBytes = kMaxApduCommand - 2;
  std::uint8_t command[2 + kMaxPathBytes + 1] = {0x00, 0xA4};
  int r = kErrParam;
  if (pathText != nullptr) {
    const int textLength =
        static_cast<int>(std::find(pathText, pathText + 2 * kMaxPathBytes + 1, '\0') - pathText);
    const int pathBytes =
        textLength <= 2 * kMaxPathBytes ? HexDecode(pathText, command + 2, textLength) : -1;
    if (pathBytes >= 0) {
      std::uint8_t reply[kMaxApduReply] = {};
      int replyLength = 0;
      r = ExchangeApdu(2 + pathBytes, command, &replyLength, reply);
    }
  }
  if (r != kOk) ErrorTextReplace("KXReadCardIDAIO 选择文件失败");
  return r;
}

int ReadRecord(int recordNumber, int p2, int le, int* length, std::uint8_t* data) {
  if (!LeInRange(le)) {
    ErrorTextReplace("capdu 的长度超出范围");
    return kErrParam;
  }
  if (length == nullptr || data == nullptr) return kErrParam;
  const std::uint8_t command[5] = {0x00, 0xB2, Byte(recordNumber), Byte(p2), Byte(le)};
  std::uint8_t reply[kMaxApduReply] = {};
  int replyLength = 0;
  const int r = ExchangeApdu(5, command, &replyLength, reply);
  if (r != kOk) return r;

  const int count = replyLength - 2;
  std::memcpy(data, reply, static_cast<std::size_t>(count));
  *length = count;
  // A record longer than the text holds is kept there cut at a byte
  // boundary; the caller still gets all of it.
  const int textBytes = std::min(count, kMaxRecordHexBytes);
  if (textBytes > 0) {
    HexEncode(1, reply, LastRecordHex, textBytes);
  } else {
    LastRecordHex[0] = '\0';
  }
  return kOk;
}

int UpdateRecord(int recordNumber, int p2, int length, const std::uint8_t* data) {
  return SendWithData(0x00, 0xDC, recordNumber, p2, length, data);
}

int ReadBinary(int offset, int le, std::uint8_t* reply) {
  if (!LeInRange(le)) {
    ErrorTextReplace("capdu 的长度超出范围");
    return kErrParam;
  }
  if (reply == nullptr) return kErrParam;
  const std::uint8_t command[5] = {0x00, 0xB0, Byte(offset >> 8), Byte(offset), Byte(le)};
  std::uint8_t answer[kMaxApduReply] = {};
  int answerLength = 0;
  const int r = ExchangeApdu(5, command, &answerLength, answer);
  // The caller's buffer holds what it asked for and the status word.
  if (answerLength > 0) {
    std::memcpy(reply, answer, static_cast<std::size_t>(std::min(answerLength, le + 2)));
  }
  return r;
}

int UpdateBinary(int offset, int length, const std::uint8_t* data) {
  return SendWithData(0x00, 0xD6, offset >> 8, offset, length, data);
}

int GetChallenge(int length, std::uint8_t* random) {
  int r = kErrParam;
  if (length >= 0 && length <= kMaxChallenge && random != nullptr) {
    const std::uint8_t command[5] = {0x00, 0x84, 0x00, 0x00, Byte(length)};
    std::uint8_t reply[kMaxApduReply] = {};
    int replyLength = 0;
    r = ExchangeApdu(5, command, &replyLength, reply);
    if (r == kOk) {
      // A card that gives fewer bytes than asked leaves zeros, never stale
      // buffer content, in the rest.
      const int count = std::min(length, replyLength - 2);
      std::memcpy(random, reply, static_cast<std::size_t>(count));
      std::memset(random + count, 0, static_cast<std::size_t>(length - count));
      return kOk;
    }
  }
  ErrorTextReplace("取随机数失败");
  return r;
}

int PsamDiversifyKey(int p1, int p2, int length, const std::uint8_t* factors) {
  return SendWithData(0xBF, 0xDE, p1, p2, length, factors);
}

int PsamEncrypt(int p1, int p2, int length, const std::uint8_t* data, int* replyLength,
                std::uint8_t* reply) {
  if (replyLength == nullptr || reply == nullptr) return kErrParam;
  int n = 0;
  const int r = SendWithData(0x80, 0xFA, p1, p2, length, data, true, &n, reply);
  if (r == kOk) *replyLength = n - 2;
  return r;
}

int ExternalAuthenticate(int p1, int p2, int length, const std::uint8_t* data) {
  return SendWithData(0x00, 0x82, p1, p2, length, data);
}

int ReadIdentificationCode(std::uint8_t* value) {
  if (value == nullptr) return kErrParam;
  int r = SelectMasterFile();
  if (r != kOk) return r;
  r = SelectFile("020002EF05");
  if (r != kOk) return r;
  std::uint8_t record[kMaxApduReply] = {};
  int length = 0;
  r = ReadRecord(1, 4, 0, &length, record);
  if (r != kOk) return r;

  // Tag, length, value. A value longer than the code's 32 bytes, or one the
  // record does not hold in full, is not an identification code.
  const int valueLength = length >= 2 ? record[1] : -1;
  if (valueLength < 0 || valueLength > kIdentificationCodeSize || valueLength > length - 2) {
    ErrorTextReplace("卡识别码长度错误");
    return kErrParam;
  }
  std::memcpy(value, record + 2, static_cast<std::size_t>(valueLength));
  return kOk;
}

int CardFactorFromResetAnswer(std::uint8_t* cardFactor) {
  if (cardFactor == nullptr) return kErrParam;
  const int length = ResetAnswerLength;
  const int historical = length >= 2 && length <= kResetAnswerSize ? (ResetAnswer[1] & 0x0F) : 0;
  const int start = length - historical + kCardFactorOffset;
  if (historical == 0 || start < 0 || start + kFactorSize > length) {
    ErrorTextReplace("复位信息长度不足");
    return kErrParam;
  }
  std::memcpy(cardFactor, ResetAnswer + start, kFactorSize);
  return kOk;
}

int BuildDiversificationFactors(std::uint8_t* factor1, std::uint8_t* factor2,
                                std::uint8_t* cardFactor) {
  if (factor1 == nullptr || factor2 == nullptr || cardFactor == nullptr) return kErrParam;
  std::uint8_t code[kIdentificationCodeSize] = {};
  int r = ReadIdentificationCode(code);
  if (r != kOk) return r;
  std::uint8_t fromResetAnswer[kFactorSize];
  r = CardFactorFromResetAnswer(fromResetAnswer);
  if (r != kOk) return r;
  std::memcpy(cardFactor, fromResetAnswer, kFactorSize);

  char digits[5];
  HexEncode(1, code, digits, 2);
  std::memcpy(factor2, digits, 4);
  std::memcpy(factor2 + 4, "00sx", 4);
  std::memcpy(factor1, digits, 2);
  std::memcpy(factor1 + 2, "0000sh", 6);
  return kOk;
}

int ReadPsamId(char* psamId, char* resetAnswerHex) {
  if (psamId == nullptr || resetAnswerHex == nullptr) return kErrParam;
  SelectInterface(14);
  std::memset(psamId, 0, 4);
  std::memset(resetAnswerHex, 0, 4);
  int r = ResetSelectedCard(resetAnswerHex);
  if (r != kOk) return r;
  SelectInterface(14);

  char hexReply[2 * kMaxApduReply + 1] = {};
  int hexLength = 0;
  r = ExchangeApduText(14, "00A40000020016", &hexLength, hexReply);
  if (r != kOk) {
    ErrorTextReplace("KXGetPsamID 选择文件0016失败");
    return r;
  }
  r = ExchangeApduText(10, "00B0000006", &hexLength, hexReply);
  if (r != kOk) {
    ErrorTextReplace("KXGetPsamID 获取PSAM卡终端信息唯一标识号失败");
    return r;
  }
  // The identifier is the 6 bytes asked for; a PSAM that answers more does
  // not get to write past them.
  const int idLength = std::min(hexLength - 4, 2 * kPsamIdBytes);
  std::memcpy(psamId, hexReply, static_cast<std::size_t>(idLength));
  psamId[idLength] = '\0';
  SelectInterface(12);
  return kOk;
}

int ReadPsamId(char* psamId) {
  char resetAnswerHex[2 * kResetAnswerSize + 1] = {};
  return ReadPsamId(psamId, resetAnswerHex);
}

}  // namespace kx
