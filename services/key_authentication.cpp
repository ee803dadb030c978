#include "services/key_authentication.h"

#include <cstring>
#include <iterator>

#include "card/apdu.h"
#include "core/result.h"
#include "core/state.h"

namespace kx {

namespace {

constexpr std::uint16_t kMasterFileId = 0x3F00;
constexpr std::uint16_t kPsamApplication = 0xDF01;
constexpr int kMaxLevels = 3;
// The card checks the cryptogram of challenge1 followed by challenge1.
constexpr int kAuthenticationDataSize = 2 * kChallengeSize;

}  // namespace

constexpr AuthenticationTexts kCheckKeyTexts = {
    .factors = "得到密钥因子失败",
    .masterFile = "选择主文件失败",
    .directory = "选择DF目录失败",
    .challenge1 = "取随机数1失败",
    .challenge2 = "取随机数2失败",
    .psamPowerOn = nullptr,
    .psamMasterFile = "选择PSAM主文件失败",
    .psamDirectory = "选择PSAM DF文件失败",
    .levels = "未找到密钥分散级数",
    .diversify = "分散密钥失败",
    .encrypt = "数据加密失败",
    .authenticate = nullptr,
};

namespace {

// The read and update services word three steps their own way, and keep
// GetChallenge's own "取随机数失败".
constexpr AuthenticationTexts DataServiceTexts() {
  AuthenticationTexts texts = kCheckKeyTexts;
  texts.challenge1 = nullptr;
  texts.challenge2 = nullptr;
  texts.psamPowerOn = "PSAM上电失败";
  texts.psamDirectory = "选择PSAM df文件失败";
  return texts;
}

}  // namespace

constexpr AuthenticationTexts kDataServiceTexts = DataServiceTexts();

AuthenticationKey KeyOfRow(const CardKeyInfoRow& row) {
  AuthenticationKey key;
  key.directory = row.directoryId;
  key.cardKeyId = row.cardKey.value;
  key.psamUsage = row.psamUsage.value;
  key.psamIndex = row.psamIndex.value;
  // A row without a usable card key id (UKCDF03) has no levels either; the
  // flow refuses it as such.
  key.levels = row.cardKey.valid && row.psamUsage.valid && row.psamIndex.valid ? row.levels : 0;
  return key;
}

int KeyAuthentication::Explained(int code, const char* text) const {
  if (code != kOk && text != nullptr) {
    if (options_.texts->append) {
      op_.text.Append(text);
    } else {
      op_.text.Replace(text);
    }
  }
  return code;
}

int KeyAuthentication::CheckLevels() const {
  if (key_.levels >= 1 && key_.levels <= kMaxLevels) return kOk;
  return Explained(kErrParam, options_.texts->levels);
}

int KeyAuthentication::Run(AuthenticationStep first, AuthenticationStep last) {
  // The PSAM diversifies with one to three factors; a key outside that is
  // refused before the PSAM, or the card, hears of it.
  if (first <= AuthenticationStep::Diversify && last >= AuthenticationStep::Diversify) {
    const int r = CheckLevels();
    if (r != kOk) return r;
  }
  if (first <= AuthenticationStep::Challenges) SelectInterface(op_, kInterfaceContact);
  for (int step = static_cast<int>(first); step <= static_cast<int>(last); ++step) {
    const int r = RunStep(static_cast<AuthenticationStep>(step));
    if (r != kOk) return r;
  }
  return kOk;
}

int KeyAuthentication::RunStep(AuthenticationStep step) {
  // One routine per step, in the order of AuthenticationStep.
  static constexpr int (KeyAuthentication::*kSteps[])() = {
      &KeyAuthentication::ReadFactors,        &KeyAuthentication::SelectCardMasterFile,
      &KeyAuthentication::SelectKeyDirectory, &KeyAuthentication::TakeChallenges,
      &KeyAuthentication::PowerOnPsam,        &KeyAuthentication::SelectPsamApplication,
      &KeyAuthentication::Diversify,          &KeyAuthentication::Encrypt,
      &KeyAuthentication::Authenticate,
  };
  static_assert(std::size(kSteps) ==
                static_cast<std::size_t>(AuthenticationStep::Authenticate) + 1);
  return (this->*kSteps[static_cast<int>(step)])();
}

int KeyAuthentication::ReadFactors() {
  return Explained(
      BuildDiversificationFactors(op_, factors_.factor1, factors_.factor2, factors_.cardFactor),
      options_.texts->factors);
}

int KeyAuthentication::SelectCardMasterFile() {
  return Explained(SelectMasterFile(op_), options_.texts->masterFile);
}

int KeyAuthentication::Select(SelectBy p1, std::uint16_t fileId) const {
  return options_.texts->append ? SelectFileBare(op_, p1, fileId) : SelectFile(op_, p1, fileId);
}

int KeyAuthentication::Challenge(std::uint8_t* random) const {
  return options_.texts->append ? GetChallengeBare(op_, kChallengeSize, random)
                                : GetChallenge(op_, kChallengeSize, random);
}

int KeyAuthentication::SelectKeyDirectory() {
  if (options_.directoryBy == SelectBy::ChildIdentifier && key_.directory == kMasterFileId) {
    return kOk;
  }
  return Explained(Select(options_.directoryBy, key_.directory), options_.texts->directory);
}

int KeyAuthentication::TakeChallenges() {
  const int r = Explained(Challenge(challenge1_), options_.texts->challenge1);
  if (r != kOk) return r;
  return Explained(Challenge(challenge2_), options_.texts->challenge2);
}

int KeyAuthentication::PowerOnPsam() {
  SelectInterface(op_, kInterfacePsam);
  if (!options_.resetPsam) return kOk;
  char resetAnswerHex[2 * kResetAnswerSize + 1] = {};
  return Explained(ResetSelectedCard(op_, resetAnswerHex), options_.texts->psamPowerOn);
}

int KeyAuthentication::SelectPsamApplication() {
  const int r = Explained(options_.psamMasterFileById ? Select(SelectBy::Identifier, kMasterFileId)
                                                      : SelectMasterFile(op_),
                          options_.texts->psamMasterFile);
  if (r != kOk) return r;
  // The PSAM keeps every key in its DF01, whatever directory the card's key is in.
  if (!options_.psamApplicationByName) {
    return Explained(Select(SelectBy::Identifier, kPsamApplication), options_.texts->psamDirectory);
  }
  static constexpr std::uint8_t kApplicationName[] = {0xD1, 0x56, 0x00, 0x00, 0x05, 0x90};
  Response reply;
  return Explained(Exchange(op_,
                            CommandApdu::WithData(0x00, 0xA4, 0x04, 0x00, kApplicationName,
                                                  sizeof kApplicationName),
                            &reply),
                   options_.texts->psamDirectory);
}

int KeyAuthentication::Diversify() {
  // The key's factors in the order the card was personalised with, then the
  // card's latest challenge.
  const std::uint8_t* const factors[kMaxLevels] = {factors_.cardFactor, factors_.factor2,
                                                   factors_.factor1};
  std::uint8_t data[(kMaxLevels + 1) * kFactorSize] = {};
  int length = 0;
  for (int level = 0; level < key_.levels && level < kMaxLevels; ++level) {
    std::memcpy(data + length, factors[level], kFactorSize);
    length += kFactorSize;
  }
  std::memcpy(data + length, challenge2_, kChallengeSize);
  length += kChallengeSize;
  return Explained(PsamDiversifyKey(op_, key_.psamUsage, key_.psamIndex, length, data),
                   options_.texts->diversify);
}

int KeyAuthentication::Encrypt() {
  // The card is sent a full cryptogram or nothing: a shorter answer would
  // fill the authentication data with bytes the PSAM never sent.
  return Explained(PsamCompute(op_, 0x00, challenge1_, kChallengeSize, options_.encryptWithLe,
                               kChallengeSize, cryptogram_),
                   options_.texts->encrypt);
}

int KeyAuthentication::Authenticate() {
  SelectInterface(op_, kInterfaceContact);
  std::uint8_t data[kAuthenticationDataSize];
  std::memcpy(data, cryptogram_, kChallengeSize);
  std::memcpy(data + kChallengeSize, challenge1_, kChallengeSize);
  return Explained(ExternalAuthenticate(op_, 0x00, key_.cardKeyId, kAuthenticationDataSize, data),
                   options_.texts->authenticate);
}

int PsamCompute(Operation& op, int p1, const std::uint8_t* data, int length, bool withLe,
                int needed, std::uint8_t* out) {
  const auto p1Byte = static_cast<std::uint8_t>(p1);
  // The data may be a PIN block: the command is wiped once it has gone.
  CommandApdu command = withLe
                            ? CommandApdu::WithDataAndLe(0x80, 0xFA, p1Byte, 0x00, data, length, 0)
                            : CommandApdu::WithData(0x80, 0xFA, p1Byte, 0x00, data, length);
  Response reply;
  const int r = Exchange(op, command, &reply);
  command.Wipe();
  if (r != kOk) return r;
  if (needed < 0 || reply.dataLength() < needed) return kErrComm;
  std::memcpy(out, reply.data(), static_cast<std::size_t>(needed));
  return kOk;
}

int CheckKey(Operation& op, const char* keyName) {
  SelectInterface(op, kInterfaceContact);
  CardKeyInfoRow row{};
  if (FindCardKeyByName(keyName, &row) != kOk) {
    op.text.Replace("密钥标识对照表中无此密钥名");
    return kErrParam;
  }
  KeyAuthentication flow(op, KeyOfRow(row), AuthenticationOptions{});
  return flow.Run(AuthenticationStep::Factors, AuthenticationStep::Authenticate);
}

}  // namespace kx
