#include "services/key_authentication.h"

#include <cstring>

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

const AuthenticationTexts kCheckKeyTexts = {
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

// The services keep GetChallenge's own "取随机数失败".
const AuthenticationTexts kDataServiceTexts = {
    .factors = "得到密钥因子失败",
    .masterFile = "选择主文件失败",
    .directory = "选择DF目录失败",
    .challenge1 = nullptr,
    .challenge2 = nullptr,
    .psamPowerOn = "PSAM上电失败",
    .psamMasterFile = "选择PSAM主文件失败",
    .psamDirectory = "选择PSAM df文件失败",
    .levels = "未找到密钥分散级数",
    .diversify = "分散密钥失败",
    .encrypt = "数据加密失败",
    .authenticate = nullptr,
};

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

int KeyAuthentication::Fail(int code, const char* text) const {
  if (text != nullptr) {
    if (options_.texts->append) {
      ErrorTextAppend(text);
    } else {
      ErrorTextReplace(text);
    }
  }
  return code;
}

int KeyAuthentication::Run(AuthenticationStep first, AuthenticationStep last) {
  // The PSAM diversifies with one to three factors; a key outside that is
  // refused before the PSAM, or the card, hears of it.
  if (first <= AuthenticationStep::Diversify && last >= AuthenticationStep::Diversify &&
      (key_.levels < 1 || key_.levels > kMaxLevels)) {
    return Fail(kErrParam, options_.texts->levels);
  }
  if (first <= AuthenticationStep::Challenges) SelectInterface(kInterfaceContact);
  for (int step = static_cast<int>(first); step <= static_cast<int>(last); ++step) {
    const int r = RunStep(static_cast<AuthenticationStep>(step));
    if (r != kOk) return r;
  }
  return kOk;
}

int KeyAuthentication::RunStep(AuthenticationStep step) {
  switch (step) {
    case AuthenticationStep::Factors:
      return ReadFactors();
    case AuthenticationStep::MasterFile: {
      const int r = SelectMasterFile();
      return r == kOk ? kOk : Fail(r, options_.texts->masterFile);
    }
    case AuthenticationStep::Directory:
      return SelectKeyDirectory();
    case AuthenticationStep::Challenges:
      return TakeChallenges();
    case AuthenticationStep::PsamPowerOn:
      return PowerOnPsam();
    case AuthenticationStep::PsamApplication:
      return SelectPsamApplication();
    case AuthenticationStep::Diversify:
      return Diversify();
    case AuthenticationStep::Encrypt:
      return Encrypt();
    case AuthenticationStep::Authenticate:
      return Authenticate();
  }
  return kErrParam;
}

int KeyAuthentication::ReadFactors() {
  const int r =
      BuildDiversificationFactors(factors_.factor1, factors_.factor2, factors_.cardFactor);
  return r == kOk ? kOk : Fail(r, options_.texts->factors);
}

int KeyAuthentication::SelectKeyDirectory() {
  if (key_.directory == kMasterFileId) return kOk;
  const int r = SelectFile(SelectBy::ChildIdentifier, key_.directory);
  return r == kOk ? kOk : Fail(r, options_.texts->directory);
}

int KeyAuthentication::TakeChallenges() {
  int r = GetChallenge(kChallengeSize, challenge1_);
  if (r != kOk) return Fail(r, options_.texts->challenge1);
  r = GetChallenge(kChallengeSize, challenge2_);
  return r == kOk ? kOk : Fail(r, options_.texts->challenge2);
}

int KeyAuthentication::PowerOnPsam() {
  SelectInterface(kInterfacePsam);
  if (!options_.resetPsam) return kOk;
  char resetAnswerHex[2 * kResetAnswerSize + 1] = {};
  const int r = ResetSelectedCard(resetAnswerHex);
  return r == kOk ? kOk : Fail(r, options_.texts->psamPowerOn);
}

int KeyAuthentication::SelectPsamApplication() {
  int r = SelectMasterFile();
  if (r != kOk) return Fail(r, options_.texts->psamMasterFile);
  // The PSAM keeps every key in its DF01, whatever directory the card's key is in.
  r = SelectFile(SelectBy::Identifier, kPsamApplication);
  return r == kOk ? kOk : Fail(r, options_.texts->psamDirectory);
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
  const int r = PsamDiversifyKey(key_.psamUsage, key_.psamIndex, length, data);
  return r == kOk ? kOk : Fail(r, options_.texts->diversify);
}

int KeyAuthentication::Encrypt() {
  const CommandApdu command =
      options_.encryptWithLe
          ? CommandApdu::WithDataAndLe(0x80, 0xFA, 0x00, 0x00, challenge1_, kChallengeSize, 0)
          : CommandApdu::WithData(0x80, 0xFA, 0x00, 0x00, challenge1_, kChallengeSize);
  Response reply;
  const int r = Exchange(command, &reply);
  if (r != kOk) return Fail(r, options_.texts->encrypt);
  // The card is sent a full cryptogram or nothing: a shorter answer would
  // fill the authentication data with bytes the PSAM never sent.
  if (reply.dataLength() < kChallengeSize) return Fail(kErrComm, options_.texts->encrypt);
  std::memcpy(cryptogram_, reply.data(), kChallengeSize);
  return kOk;
}

int KeyAuthentication::Authenticate() {
  SelectInterface(kInterfaceContact);
  std::uint8_t data[kAuthenticationDataSize];
  std::memcpy(data, cryptogram_, kChallengeSize);
  std::memcpy(data + kChallengeSize, challenge1_, kChallengeSize);
  const int r = ExternalAuthenticate(0x00, key_.cardKeyId, kAuthenticationDataSize, data);
  return r == kOk ? kOk : Fail(r, options_.texts->authenticate);
}

int CheckKey(const char* keyName) {
  SelectInterface(kInterfaceContact);
  CardKeyInfoRow row{};
  if (FindCardKeyByName(keyName, &row) != kOk) {
    ErrorTextReplace("密钥标识对照表中无此密钥名");
    return kErrParam;
  }
  KeyAuthentication flow(KeyOfRow(row), AuthenticationOptions{});
  return flow.Run(AuthenticationStep::Factors, AuthenticationStep::Authenticate);
}

}  // namespace kx
