#include "services/secured_commands.h"

#include <cstring>

#include "card/apdu.h"
#include "card/commands.h"
#include "card/pin.h"
#include "core/hex.h"
#include "core/result.h"
#include "core/state.h"
#include "core/wipe.h"
#include "dictionary/dictionary.h"
#include "reader/pin_pad.h"
#include "services/file_access.h"
#include "services/key_authentication.h"

namespace kx {

namespace {

constexpr int kPinBytes = 3;
// The six BCD digits 258147: the PIN a card gets when the host names none.
constexpr std::uint8_t DefaultPin[kPinBytes] = {0x25, 0x81, 0x47};

// PIN block: the PIN's length in bytes, the PIN, 80, zero fill.
constexpr int kPinBlockSize = 8;
constexpr std::uint8_t kPinBlockEnd = 0x80;

constexpr int kHeaderSize = 4;
constexpr std::uint8_t kResetPinHeader[kHeaderSize] = {0x84, 0x24, 0x00, 0x01};
constexpr std::uint8_t kLockHeader[kHeaderSize] = {0x84, 0x1E, 0x00, 0x01};
constexpr int kMacSize = 4;
// The secured command's data: the 8-byte cryptogram and the MAC.
constexpr int kSecuredDataSize = kChallengeSize + kMacSize;
// The PSAM makes the MAC over 8 zero bytes, the header with Lc, the
// cryptogram and the padding 80 00 00.
constexpr int kMacInputSize = 8 + kHeaderSize + 1 + kChallengeSize + 3;
constexpr std::uint8_t kMacComputation = 0x05;  // P1 of 80 FA

constexpr int kDirectoryDigits = 4;

constexpr AuthenticationTexts kUnlockTexts = {
    .factors = "KXCardUnlockPIN 得到分散因子失败",
    .masterFile = "KXCardUnlockPIN 选择主文件失败",
    .directory = nullptr,
    .challenge1 = "KXCardUnlockPIN 取随机数1失败",
    .challenge2 = "KXCardUnlockPIN 取随机数2失败",
    .psamPowerOn = nullptr,
    .psamMasterFile = "KXCardUnlockPIN 选择PSAM主文件失败",
    .psamDirectory = "KXCardUnlockPIN 选择PSAM df文件失败",
    .levels = "未找到密钥分散级数",
    .diversify = "分散密钥失败",
    .encrypt = "数据加密失败",
    .authenticate = nullptr,
};

// The PIN reset's own run names the master file its own way.
constexpr AuthenticationTexts ResetPinTexts() {
  AuthenticationTexts texts = kUnlockTexts;
  texts.masterFile = "KXCardUnlockPIN 选择mf文件失败";
  return texts;
}
constexpr AuthenticationTexts kResetPinTexts = ResetPinTexts();

constexpr AuthenticationTexts kLockTexts = {
    .factors = "KXAppLock 得到分散因子失败",
    .masterFile = "KXAppLock 选择主文件失败",
    .directory = "KXAppLock 选择df文件失败",
    .challenge1 = "KXAppLock 取随机数1失败",
    .challenge2 = "KXAppLock 取随机数2失败",
    .psamPowerOn = nullptr,
    .psamMasterFile = "KXAppLock 选择PSAM主文件失败",
    .psamDirectory = "KXAppLock 选择PSAM df文件失败",
    .levels = "未找到密钥分散级数",
    .diversify = kUnlockTexts.diversify,
    .encrypt = kUnlockTexts.encrypt,
    .authenticate = nullptr,
};

// The key `name` of the master file, or -12 with `missingText`.
int FindMasterFileKey(Operation& op, const char* name, const char* missingText,
                      AuthenticationKey* key) {
  CardKeyInfoRow row{};
  if (FindCardKey("3F00", name, &row) != kOk) return Refused(op, missingText);
  *key = KeyOfRow(row);
  return kOk;
}

// The flow from the factors to the PSAM's DF01, then up to `last` with the
// master file's key `name`, looked up only once the PSAM is that far.
int RunWithKeyFoundLate(Operation& op, KeyAuthentication& flow, const char* name,
                        const char* missingText, AuthenticationStep last) {
  int r = flow.Run(AuthenticationStep::Factors, AuthenticationStep::PsamApplication);
  if (r != kOk) return r;
  AuthenticationKey key;
  r = FindMasterFileKey(op, name, missingText, &key);
  if (r != kOk) return r;
  flow.SetKey(key);
  return flow.Run(AuthenticationStep::Diversify, last);
}

// The PSAM diversifies the flow's key again with the same data, makes the
// MAC over the command with `cryptogram`, and the user card is sent the
// header, Lc, the cryptogram and the MAC's first four bytes. The card's
// refusal leaves `refusedText` (null: what the exchange left).
int SendSecuredCommand(Operation& op, KeyAuthentication& flow,
                       const std::uint8_t (&header)[kHeaderSize], const std::uint8_t* cryptogram,
                       const char* refusedText) {
  int r = flow.Run(AuthenticationStep::Diversify, AuthenticationStep::Diversify);
  if (r != kOk) return r;
  std::uint8_t command[kHeaderSize + 1 + kSecuredDataSize];
  std::memcpy(command, header, kHeaderSize);
  command[kHeaderSize] = kSecuredDataSize;
  std::memcpy(command + kHeaderSize + 1, cryptogram, kChallengeSize);

  std::uint8_t input[kMacInputSize] = {};
  std::memcpy(input + 8, command, kHeaderSize + 1 + kChallengeSize);
  input[8 + kHeaderSize + 1 + kChallengeSize] = 0x80;
  r = PsamCompute(op, kMacComputation, input, kMacInputSize, /*withLe=*/true, kMacSize,
                  command + kHeaderSize + 1 + kChallengeSize);
  if (r != kOk) {
    op.text.Replace("数据加密失败");
    return r;
  }
  SelectInterface(op, kInterfaceContact);
  int length = 0;
  std::uint8_t reply[kMaxApduReply];
  r = ExchangeApdu(op, sizeof command, command, &length, reply);
  if (r != kOk && refusedText != nullptr) op.text.Replace(refusedText);
  return r;
}

// The new PIN's block: the digits looked at in the order the card's PIN
// unlock has always used (empty, length, then the characters).
int MakePinBlock(Operation& op, const char* newPin, std::uint8_t (&block)[kPinBlockSize]) {
  std::memset(block, 0, sizeof block);
  block[0] = kPinBytes;
  block[1 + kPinBytes] = kPinBlockEnd;
  const std::size_t length = strnlen(newPin, kPinLength + 1);
  if (length == 0) {
    std::memcpy(block + 1, DefaultPin, kPinBytes);
    return kOk;
  }
  if (length != static_cast<std::size_t>(kPinLength)) return kErrPinLength;
  if (CheckDigits(kPinLength, newPin) != 0) return Refused(op, "密码输入内容有错误，不在0-9之间");
  std::uint8_t digits[kPinBytes + 1];
  HexDecode(newPin, digits, kPinLength);
  std::memcpy(block + 1, digits, kPinBytes);
  WipeSecret(digits, sizeof digits);
  return kOk;
}

// Step two of the unlock: under STKMF, the PIN block enciphered and the
// reset command given its MAC.
int ResetPin(Operation& op, const char* newPin, const DiversificationFactors& factors) {
  AuthenticationKey key;
  int r = FindMasterFileKey(op, "STKMF", "KXCardUnlockPIN 3F00 STKMF 密钥信息未找到 ", &key);
  if (r != kOk) return r;
  AuthenticationOptions options;
  options.texts = &kResetPinTexts;
  // The PSAM stays reset and in its DF01 from the first step.
  options.resetPsam = false;
  KeyAuthentication flow(op, key, options);
  flow.factors() = factors;
  r = flow.CheckLevels();
  if (r != kOk) return r;
  r = flow.Run(AuthenticationStep::MasterFile, AuthenticationStep::PsamPowerOn);
  if (r != kOk) return r;
  r = flow.Run(AuthenticationStep::Diversify, AuthenticationStep::Diversify);
  if (r != kOk) return r;

  // The PIN block travels to the PSAM with the first challenge.
  std::uint8_t block[kPinBlockSize];
  WipeOnExit wipeBlock(block, sizeof block);
  r = MakePinBlock(op, newPin, block);
  if (r != kOk) return r;
  std::uint8_t plain[kPinBlockSize + kChallengeSize];
  WipeOnExit wipePlain(plain, sizeof plain);
  std::memcpy(plain, block, kPinBlockSize);
  std::memcpy(plain + kPinBlockSize, flow.challenge1(), kChallengeSize);
  std::uint8_t enciphered[kChallengeSize];
  r = PsamCompute(op, 0x00, plain, sizeof plain, /*withLe=*/true, kChallengeSize, enciphered);
  if (r != kOk) {
    op.text.Replace("数据加密失败");
    return r;
  }

  return SendSecuredCommand(op, flow, kResetPinHeader, enciphered, "重置密码失败");
}

}  // namespace

int UnlockPin(Operation& op, const char* newPin) {
  if (newPin == nullptr) return kErrParam;
  AuthenticationOptions options;
  options.texts = &kUnlockTexts;
  KeyAuthentication flow(op, AuthenticationKey{}, options);
  const int r = RunWithKeyFoundLate(op, flow, "PUK", "KXCardUnlockPIN 3F00 PUK 密钥信息未找到 ",
                                    AuthenticationStep::Authenticate);
  if (r != kOk) return r;
  return ResetPin(op, newPin, flow.factors());
}

int LockApplication(Operation& op, const char* directory) {
  std::uint8_t id[kDirectoryDigits / 2 + 1] = {};
  if (!IsHexText(directory, kDirectoryDigits)) {
    return Refused(op, "KXAppLock 目录名应为4位十六进制数字");
  }
  HexDecode(directory, id, kDirectoryDigits);
  AuthenticationOptions options;
  options.texts = &kLockTexts;
  options.directoryBy = SelectBy::Identifier;
  AuthenticationKey named;
  named.directory = static_cast<std::uint16_t>(id[0] << 8 | id[1]);
  // The host's directory is the one selected; the key is the master file's.
  KeyAuthentication flow(op, named, options);
  const int r =
      RunWithKeyFoundLate(op, flow, "BK", " BK 密钥信息未找到 ", AuthenticationStep::Encrypt);
  if (r != kOk) return r;
  return SendSecuredCommand(op, flow, kLockHeader, flow.cryptogram(), nullptr);
}

}  // namespace kx
