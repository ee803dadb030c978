// Named card and PSAM commands: fixed APDU templates filled from their
// arguments and sent through ExchangeApdu to the card in the selected slot.
#include "card/commands.h"

#include <algorithm>
#include <cstring>

#include "card/apdu.h"
#include "core/hex.h"
#include "core/result.h"
#include "core/state.h"

namespace kx {

const char kMasterFileName[] = "sx1.sh.社会保障";
static_assert(sizeof kMasterFileName == 16, "the master file's name is 15 GBK bytes");

namespace {

constexpr int kNameLength = static_cast<int>(sizeof kMasterFileName) - 1;
constexpr int kMaxChallenge = 50;
// LastRecordHex holds the hex text of this many record bytes.
constexpr int kMaxRecordHexBytes = (kLastRecordHexSize - 1) / 2;
constexpr int kCardFactorOffset = 5;  // into the historical bytes
constexpr std::uint16_t kBasicInformationFile = 0xEF05;

constexpr std::uint8_t Byte(int value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

// Sends a command whose reply carries nothing the caller wants.
int SendForStatus(Operation& op, const CommandApdu& command) {
  Response response;
  return Exchange(op, command, &response);
}

// The reply read as the card's text: up to its first zero byte.
bool ReplyNamesMasterFile(const std::uint8_t* reply, int replyLength) {
  const std::uint8_t* end = std::find(reply, reply + replyLength, 0);
  const auto* name = reinterpret_cast<const std::uint8_t*>(kMasterFileName);
  return std::search(reply, end, name, name + kNameLength) != end;
}

}  // namespace

int SelectMasterFile(Operation& op) {
  static constexpr std::uint8_t kMasterFileId[] = {0x3F, 0x00};
  Response reply;
  int r = Exchange(op, CommandApdu::WithData(0x00, 0xA4, 0x00, 0x00, kMasterFileId, 2), &reply);
  if (r == kOk && ReplyNamesMasterFile(reply.bytes, reply.length)) return kOk;

  if (r == kOk) {
    const auto* name = reinterpret_cast<const std::uint8_t*>(kMasterFileName);
    r = Exchange(op, CommandApdu::WithData(0x00, 0xA4, 0x04, 0x00, name, kNameLength), &reply);
    if (r == kOk) return kOk;
  }

  // The reader drops the link after a failed master-file selection; the
  // operation's frame closes it, and the host opens it again before its next
  // card command.
  op.DropLink();
  op.text.Append(";KXReadCardIDAIO 选择主文件失败");
  return r;
}

int SelectFileBare(Operation& op, SelectBy p1, std::uint16_t fileId) {
  const std::uint8_t id[2] = {Byte(fileId >> 8), Byte(fileId)};
  return SendForStatus(
      op, CommandApdu::WithData(0x00, 0xA4, static_cast<std::uint8_t>(p1), 0x00, id, 2));
}

int SelectFile(Operation& op, SelectBy p1, std::uint16_t fileId) {
  const int r = SelectFileBare(op, p1, fileId);
  if (r != kOk) op.text.Replace("KXReadCardIDAIO 选择文件失败");
  return r;
}

int ReadRecord(Operation& op, int recordNumber, int p2, int le, int* length, std::uint8_t* data,
               int capacity) {
  if (length == nullptr || data == nullptr) return kErrParam;
  Response reply;
  const int r =
      Exchange(op, CommandApdu::Expecting(0x00, 0xB2, Byte(recordNumber), Byte(p2), le), &reply);
  if (r != kOk) return r;

  const int count = reply.dataLength();
  if (count > capacity) {
    op.text.Replace("记录长度超出缓冲区");
    return kErrParam;
  }
  std::memcpy(data, reply.bytes, static_cast<std::size_t>(count));
  *length = count;
  // A record longer than the text holds is kept there cut at a byte
  // boundary; the caller still gets all of it.
  const int textBytes = std::min(count, kMaxRecordHexBytes);
  if (textBytes > 0) {
    HexEncode(HexMode::Packed, reply.bytes, op.lastRecordHex, textBytes);
  } else {
    op.lastRecordHex[0] = '\0';
  }
  return kOk;
}

int UpdateRecord(Operation& op, int recordNumber, int p2, int length, const std::uint8_t* data) {
  return SendForStatus(
      op, CommandApdu::WithData(0x00, 0xDC, Byte(recordNumber), Byte(p2), data, length));
}

int ReadBinary(Operation& op, int offset, int le, std::uint8_t* reply) {
  if (reply == nullptr) return kErrParam;
  const CommandApdu command =
      CommandApdu::Expecting(0x00, 0xB0, Byte(offset >> 8), Byte(offset), le);
  Response answer;
  const int r = Exchange(op, command, &answer);
  // The caller's buffer holds what it asked for and the status word: Le 00
  // asks for 256 bytes.
  if (answer.length > 0) {
    std::memcpy(reply, answer.bytes,
                static_cast<std::size_t>(std::min(answer.length, command.expected() + 2)));
  }
  return r;
}

int UpdateBinary(Operation& op, int offset, int length, const std::uint8_t* data) {
  return SendForStatus(
      op, CommandApdu::WithData(0x00, 0xD6, Byte(offset >> 8), Byte(offset), data, length));
}

int GetChallengeBare(Operation& op, int length, std::uint8_t* random) {
  if (length < 0 || length > kMaxChallenge || random == nullptr) return kErrParam;
  Response reply;
  const int r = Exchange(op, CommandApdu::Expecting(0x00, 0x84, 0x00, 0x00, length), &reply);
  if (r != kOk) return r;
  // A card that gives fewer bytes than asked leaves zeros, never stale
  // buffer content, in the rest.
  const int count = std::min(length, reply.dataLength());
  std::memcpy(random, reply.bytes, static_cast<std::size_t>(count));
  std::memset(random + count, 0, static_cast<std::size_t>(length - count));
  return kOk;
}

int GetChallenge(Operation& op, int length, std::uint8_t* random) {
  const int r = GetChallengeBare(op, length, random);
  if (r != kOk) op.text.Replace("取随机数失败");
  return r;
}

int PsamDiversifyKey(Operation& op, int p1, int p2, int length, const std::uint8_t* factors) {
  return SendForStatus(op, CommandApdu::WithData(0xBF, 0xDE, Byte(p1), Byte(p2), factors, length));
}

int PsamEncrypt(Operation& op, int p1, int p2, int length, const std::uint8_t* data,
                int* replyLength, std::uint8_t* reply) {
  if (replyLength == nullptr || reply == nullptr) return kErrParam;
  Response answer;
  const int r = Exchange(
      op, CommandApdu::WithDataAndLe(0x80, 0xFA, Byte(p1), Byte(p2), data, length, 0), &answer);
  if (answer.length > 0) std::memcpy(reply, answer.bytes, static_cast<std::size_t>(answer.length));
  if (r == kOk) *replyLength = answer.dataLength();
  return r;
}

int ExternalAuthenticate(Operation& op, int p1, int p2, int length, const std::uint8_t* data) {
  return SendForStatus(op, CommandApdu::WithData(0x00, 0x82, Byte(p1), Byte(p2), data, length));
}

int ReadIdentificationCode(Operation& op, std::uint8_t* value) {
  if (value == nullptr) return kErrParam;
  int r = SelectMasterFile(op);
  if (r != kOk) return r;
  r = SelectFile(op, SelectBy::ChildIdentifier, kBasicInformationFile);
  if (r != kOk) return r;
  std::uint8_t record[kMaxApduReply] = {};
  int length = 0;
  r = ReadRecord(op, 1, 4, 0, &length, record);
  if (r != kOk) return r;

  // Tag, length, value. A value longer than the code's 32 bytes, or one the
  // record does not hold in full, is not an identification code.
  const int valueLength = length >= 2 ? record[1] : -1;
  if (valueLength < 0 || valueLength > kIdentificationCodeSize || valueLength > length - 2) {
    op.text.Replace("卡识别码长度错误");
    return kErrParam;
  }
  std::memcpy(value, record + 2, static_cast<std::size_t>(valueLength));
  return kOk;
}

int CardFactorFromResetAnswer(Operation& op, std::uint8_t* cardFactor) {
  if (cardFactor == nullptr) return kErrParam;
  const int length = *op.resetAnswerLength;
  const int historical = length >= 2 && length <= kResetAnswerSize ? (op.resetAnswer[1] & 0x0F) : 0;
  const int start = length - historical + kCardFactorOffset;
  if (historical == 0 || start < 0 || start + kFactorSize > length) {
    op.text.Replace("复位信息长度不足");
    return kErrParam;
  }
  std::memcpy(cardFactor, op.resetAnswer + start, kFactorSize);
  return kOk;
}

int BuildDiversificationFactors(Operation& op, std::uint8_t* factor1, std::uint8_t* factor2,
                                std::uint8_t* cardFactor) {
  if (factor1 == nullptr || factor2 == nullptr || cardFactor == nullptr) return kErrParam;
  std::uint8_t code[kIdentificationCodeSize] = {};
  int r = ReadIdentificationCode(op, code);
  if (r != kOk) return r;
  std::uint8_t fromResetAnswer[kFactorSize];
  r = CardFactorFromResetAnswer(op, fromResetAnswer);
  if (r != kOk) return r;
  std::memcpy(cardFactor, fromResetAnswer, kFactorSize);

  char digits[5];
  HexEncode(HexMode::Packed, code, digits, 2);
  std::memcpy(factor2, digits, 4);
  std::memcpy(factor2 + 4, "00sx", 4);
  std::memcpy(factor1, digits, 2);
  std::memcpy(factor1 + 2, "0000sh", 6);
  return kOk;
}

}  // namespace kx
