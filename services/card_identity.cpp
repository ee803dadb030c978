#include "services/card_identity.h"

#include <cstring>

#include "card/apdu.h"
#include "card/commands.h"
#include "core/hex.h"
#include "core/result.h"
#include "core/state.h"
#include "reader/commands.h"
#include "services/file_access.h"
#include "services/key_authentication.h"

namespace kx {

namespace {

constexpr int kRegionDigits = 6;
constexpr int kSerialDigits = 8;
constexpr int kCodeSize = 16;
// The part of the code the PSAM's check covers, and its check bytes.
constexpr int kCheckedSize = 12;
constexpr int kCheckSize = 4;
// Bytes 3 to 7 of the current code stay; the record's value starts at byte 2.
constexpr int kKeptFirst = 3;
constexpr int kKeptSize = 5;
constexpr int kRecordValue = 2;
// The check bytes are the first four of the answer's second block.
constexpr int kCheckAt = 8;
constexpr int kCheckAnswerSize = kCheckAt + kCheckSize;

constexpr int kIdentificationRecord = 1;
constexpr int kOrganisationRecord = 4;
constexpr int kCardNumberRecord = 7;
constexpr int kCardNumberSize = kCardNumberTextSize - 1;

// The keys this service uses, as constants: IRK for the check bytes (three
// levels) and UKMF for the authentication before the write (two levels).
constexpr AuthenticationKey kCheckKey = {0x3F00, 0x00, 0x67, 0x08, 3};
constexpr AuthenticationKey kWriteKey = {0x3F00, 0x04, 0x48, 0x12, 2};

constexpr char kMasterFileText[] = ";KXReadCardIDAIO 选择主文件";
constexpr char kBasicFileText[] = ";KXReadCardIDAIO ef05 错";
constexpr char kIdentificationText[] = ";KXReadCardIDAIO 读卡识别码出错";
constexpr char kPsamMasterFileText[] = ";KXReadCardIDAIO PSAM选择主文件出错";
constexpr char kPsamApplicationText[] = ";KXReadCardIDAIO PSAM选择应用文件出错";
constexpr char kPsamDiversifyText[] = ";KXReadCardIDAIO PSAM分散密钥出错";
constexpr char kPsamComputeText[] = ";KXReadCardIDAIO PSAM数据安全计算出错";
constexpr char kWriteText[] = ";KXReadCardIDAIO IC选择应用文件出错";

// The check bytes: the PSAM reset and its application selected by name,
// IRK diversified with the factors and eight zero bytes.
constexpr AuthenticationTexts kCheckTexts = {
    .factors = nullptr,
    .masterFile = nullptr,
    .directory = nullptr,
    .challenge1 = nullptr,
    .challenge2 = nullptr,
    .psamPowerOn = ";KXReadCardIDAIO PSAM 复位失败",
    .psamMasterFile = kPsamMasterFileText,
    .psamDirectory = kPsamApplicationText,
    .levels = nullptr,
    .diversify = kPsamDiversifyText,
    .encrypt = kPsamComputeText,
    .authenticate = nullptr,
    .append = true,
};

// The authentication with UKMF from the card's master file on; the PSAM,
// already reset, selects DF01.
constexpr AuthenticationTexts kWriteKeyTexts = {
    .factors = nullptr,
    .masterFile = ";KXReadCardIDAIO IC选择主文件出错",
    .directory = nullptr,
    .challenge1 = ";KXReadCardIDAIO IC取第一次随即数出错",
    .challenge2 = ";KXReadCardIDAIO IC取第二次随即数出错",
    .psamPowerOn = nullptr,
    .psamMasterFile = kPsamMasterFileText,
    .psamDirectory = kPsamApplicationText,
    .levels = nullptr,
    .diversify = kPsamDiversifyText,
    .encrypt = kPsamComputeText,
    .authenticate = ";KXReadCardIDAIO 做外部认证出错",
    .append = true,
};

// Every identity call ends with the card powered off and the link closed,
// the failure's words kept: after a failed master-file selection, the card
// that was addressed then.
void CloseKeepingText(Operation& op) {
  FailureTextKeeper keep(op.text);
  if (!CloseDroppedLink(op)) ReaderPowerOff(op.slot);
}

// A failed step: its words after the failing command's, then the closing.
int StepFailed(Operation& op, int code, const char* stepText) {
  if (stepText != nullptr) op.text.Append(stepText);
  CloseKeepingText(op);
  return code;
}

// A step that gave `code`: on failure, its words and the closing.
int Step(Operation& op, int code, const char* stepText) {
  return code == kOk ? kOk : StepFailed(op, code, stepText);
}

int SelectBasicInformationFile(Operation& op) {
  static constexpr std::uint8_t kBasicInformationFile[] = {0xEF, 0x05};
  Response reply;
  return Exchange(op, CommandApdu::WithData(0x00, 0xA4, 0x02, 0x00, kBasicInformationFile, 2),
                  &reply);
}

// The master file, then EF05 under it.
int OpenBasicInformationFile(Operation& op, const char* masterFileText) {
  const int r = Step(op, SelectMasterFile(op), masterFileText);
  if (r != kOk) return r;
  return Step(op, SelectBasicInformationFile(op), kBasicFileText);
}

// READ RECORD with Le FF into a fresh zero-filled reply.
int ReadIdentityRecord(Operation& op, int number, Response* reply, const char* stepText) {
  *reply = Response{};
  return Step(
      op,
      Exchange(op,
               CommandApdu::Expecting(0x00, 0xB2, static_cast<std::uint8_t>(number), 0x04, 0xFF),
               reply),
      stepText);
}

// `count` characters of the whole reply's hex text (status word included)
// from character 4 on, and a terminator: the record's value past its tag and
// length, whatever its length byte says. A short reply leaves the text short.
void CopyValueHex(const Response& reply, int count, char* out) {
  char text[2 * kMaxApduReply + 1] = {};
  HexEncode(HexMode::Packed, reply.bytes, text, reply.length);
  std::memcpy(out, text + 2 * kRecordValue, static_cast<std::size_t>(count));
  out[count] = '\0';
}

int CheckNewCodeParts(Operation& op, const char* regionCode, const char* serialPart) {
  if (!IsHexText(regionCode, kRegionDigits)) {
    return Refused(op, "KXUpdateCardIDAIO 地区码应为6位十六进制数字");
  }
  if (!IsHexText(serialPart, kSerialDigits)) {
    return Refused(op, "KXUpdateCardIDAIO 序号应为8位十六进制数字");
  }
  return kOk;
}

// The factors of the check and of the authentication: the card factor from
// the reset answer, the other two from the region code as typed (no case
// folding), not from the card.
int RegionFactors(Operation& op, const char* regionCode, DiversificationFactors* factors) {
  const int r = CardFactorFromResetAnswer(op, factors->cardFactor);
  if (r != kOk) return r;
  std::memcpy(factors->factor2, regionCode, 4);
  std::memcpy(factors->factor2 + 4, "00sx", 4);
  std::memcpy(factors->factor1, regionCode, 2);
  std::memcpy(factors->factor1 + 2, "0000sh", 6);
  return kOk;
}

// Bytes 0 to 11 of the new code: region, the kept part, serial.
int BuildCheckedPart(Operation& op, const char* regionCode, const char* serialPart,
                     std::uint8_t* code) {
  Response record;
  int r = OpenBasicInformationFile(op, kMasterFileText);
  if (r != kOk) return r;
  r = ReadIdentityRecord(op, kIdentificationRecord, &record, kIdentificationText);
  if (r != kOk) return r;
  // A record too short to hold the kept bytes would put its status word
  // into the new code.
  if (record.dataLength() < kRecordValue + kKeptFirst + kKeptSize) {
    op.text.Replace("卡识别码长度错误");
    return StepFailed(op, kErrParam, kIdentificationText);
  }
  char text[2 * kCheckedSize + 1] = {};
  std::memcpy(text, regionCode, kRegionDigits);
  HexEncode(HexMode::Packed, record.bytes + kRecordValue + kKeptFirst, text + kRegionDigits,
            kKeptSize);
  std::memcpy(text + kRegionDigits + 2 * kKeptSize, serialPart, kSerialDigits);
  HexDecode(text, code, 2 * kCheckedSize);
  return kOk;
}

// The PSAM's check bytes over bytes 0 to 11 (IRK, then 80 FA without Le).
int ComputeCheckBytes(Operation& op, const DiversificationFactors& factors, std::uint8_t* code) {
  AuthenticationOptions options;
  options.texts = &kCheckTexts;
  options.psamMasterFileById = true;
  options.psamApplicationByName = true;
  KeyAuthentication check(op, kCheckKey, options);
  check.factors() = factors;
  int r = check.Run(AuthenticationStep::PsamPowerOn, AuthenticationStep::Diversify);
  if (r != kOk) return StepFailed(op, r, nullptr);
  std::uint8_t block[kCodeSize] = {};
  std::memcpy(block, code, kCheckedSize);
  std::uint8_t answer[kCheckAnswerSize];
  r = PsamCompute(op, 0x00, block, kCodeSize, /*withLe=*/false, kCheckAnswerSize, answer);
  if (r != kOk) return StepFailed(op, r, kPsamComputeText);
  std::memcpy(code + kCheckedSize, answer + kCheckAt, kCheckSize);
  return kOk;
}

// The terminal proves UKMF to the card, the PSAM not reset again.
int AuthenticateForWrite(Operation& op, const DiversificationFactors& factors) {
  AuthenticationOptions options;
  options.texts = &kWriteKeyTexts;
  options.resetPsam = false;
  options.encryptWithLe = false;
  options.psamMasterFileById = true;
  KeyAuthentication flow(op, kWriteKey, options);
  flow.factors() = factors;
  const int r = flow.Run(AuthenticationStep::MasterFile, AuthenticationStep::Authenticate);
  return r == kOk ? kOk : StepFailed(op, r, nullptr);
}

int WriteCode(Operation& op, const std::uint8_t* code) {
  int r = Step(op, SelectBasicInformationFile(op), kWriteText);
  if (r != kOk) return r;
  // Tag 01, length 10 hex, the value.
  std::uint8_t record[2 + kCodeSize] = {0x01, kCodeSize};
  std::memcpy(record + 2, code, kCodeSize);
  return Step(op, UpdateRecord(op, kIdentificationRecord, 4, sizeof record, record), kWriteText);
}

}  // namespace

int ReadCardIdentity(Operation& op, char* cardNumber, char* identificationCode,
                     char* organisationNumber) {
  int r = CheckPsam();
  if (r != kOk) return StepFailed(op, r, nullptr);
  r = OpenBasicInformationFile(op, kMasterFileText);
  if (r != kOk) return r;

  Response record;
  r = ReadIdentityRecord(op, kIdentificationRecord, &record, kIdentificationText);
  if (r != kOk) return r;
  CopyValueHex(record, kIdentificationCodeTextSize - 1, identificationCode);

  r = ReadIdentityRecord(op, kCardNumberRecord, &record, ";KXReadCardIDAIO 读卡号出错");
  if (r != kOk) return r;
  // Nine bytes as stored; a shorter value runs on into the status word and
  // the zero-filled rest of the reply.
  std::memcpy(cardNumber, record.bytes + kRecordValue, kCardNumberSize);
  cardNumber[kCardNumberSize] = '\0';

  r = ReadIdentityRecord(op, kOrganisationRecord, &record, ";KXReadCardIDAIO 读机构编号出错");
  if (r != kOk) return r;
  CopyValueHex(record, kOrganisationNumberTextSize - 1, organisationNumber);

  CloseKeepingText(op);
  return kOk;
}

int FindReaderForIdentity(Operation& op, IdentitySearch variant) {
  SelectInterface(op, kInterfaceContact);
  const ReaderSearch search = SearchReader(op.slot, /*usbFailureEnds=*/false);
  if (search.end == SearchEnd::CardPowered) return kOk;
  if (search.end == SearchEnd::NoCard) {
    if (variant == IdentitySearch::Update) return kErrUnknown;
    op.text.Replace("未插入用户卡");
    return kErrNoUserCard;
  }
  op.text.Replace("没有找到设备");
  return kErrUnknown;
}

int ReadCardIdentityAllInOne(Operation& op, char* cardNumber, char* identificationCode,
                             char* organisationNumber) {
  const int r = FindReaderForIdentity(op, IdentitySearch::Read);
  if (r != kOk) return r;
  return ReadCardIdentity(op, cardNumber, identificationCode, organisationNumber);
}

int RewriteIdentificationCode(Operation& op, const char* regionCode, const char* serialPart,
                              char* newIdentificationCode) {
  int r = CheckNewCodeParts(op, regionCode, serialPart);
  if (r != kOk) return r;
  DiversificationFactors factors;
  r = RegionFactors(op, regionCode, &factors);
  if (r != kOk) return StepFailed(op, r, nullptr);

  std::uint8_t code[kCodeSize + 1] = {};
  r = BuildCheckedPart(op, regionCode, serialPart, code);
  if (r != kOk) return r;
  r = ComputeCheckBytes(op, factors, code);
  if (r != kOk) return r;
  r = AuthenticateForWrite(op, factors);
  if (r != kOk) return r;
  r = WriteCode(op, code);
  if (r != kOk) return r;
  HexEncode(HexMode::Packed, code, newIdentificationCode, kCodeSize);
  return kOk;
}

int RewriteIdentificationCodeAllInOne(Operation& op, const char* regionCode, const char* serialPart,
                                      char* newIdentificationCode) {
  // Refused before the search: nothing reaches the reader.
  int r = CheckNewCodeParts(op, regionCode, serialPart);
  if (r != kOk) return r;
  r = FindReaderForIdentity(op, IdentitySearch::Update);
  if (r != kOk) return r;
  r = RewriteIdentificationCode(op, regionCode, serialPart, newIdentificationCode);
  CloseKeepingText(op);
  return r;
}

}  // namespace kx
