// The key authentication flow: a key of the user card proven by external
// authentication with a cryptogram the PSAM computes under the card's own
// diversified key. Every secured service runs it, from its own starting step
// and with its own failure texts. Results follow core/result.h.
//
// The steps, in order (the user card is slot 0, the PSAM slot 16):
//   Factors          read the identification code, build the factors
//   MasterFile       select the user card's master file
//   Directory        select the key's directory (not for keys of 3F00)
//   Challenges       two GET CHALLENGEs: challenge1, then challenge2
//   PsamPowerOn      select the PSAM and reset it (or only select it)
//   PsamApplication  select the PSAM's master file, then its DF01
//   Diversify        BF DE with the key's factors and challenge2
//   Encrypt          80 FA over challenge1: the cryptogram
//   Authenticate     EXTERNAL AUTHENTICATE with cryptogram and challenge1
#pragma once

#include <cstdint>

#include "card/commands.h"
#include "dictionary/dictionary.h"

namespace kx {

enum class AuthenticationStep {
  Factors,
  MasterFile,
  Directory,
  Challenges,
  PsamPowerOn,
  PsamApplication,
  Diversify,
  Encrypt,
  Authenticate,
};

// What the card and the PSAM need to know about the key.
struct AuthenticationKey {
  std::uint16_t directory = 0x3F00;  // where the key lives
  std::uint8_t cardKeyId = 0;        // P2 of EXTERNAL AUTHENTICATE
  std::uint8_t psamUsage = 0;        // P1 of BF DE
  std::uint8_t psamIndex = 0;        // P2 of BF DE
  int levels = 0;                    // factors the PSAM diversifies with, 1 to 3
};

// The key of a CardKeyInfo row.
AuthenticationKey KeyOfRow(const CardKeyInfoRow& row);

// What a failing step leaves in ErrorText. A null text leaves what the
// failing command wrote (empty after a card's refusal).
struct AuthenticationTexts {
  const char* factors;
  const char* masterFile;
  const char* directory;
  const char* challenge1;
  const char* challenge2;
  const char* psamPowerOn;
  const char* psamMasterFile;
  const char* psamDirectory;
  const char* levels;  // a key without 1 to 3 levels, refused with -12
  const char* diversify;
  const char* encrypt;
  const char* authenticate;
  // Add the text after what the failing exchange left rather than replace
  // it; the commands then leave out their own words ("取随机数失败",
  // "KXReadCardIDAIO 选择文件失败"), so a card's refusal shows the step's
  // text alone. SelectMasterFile keeps its words and its closing.
  bool append = false;
};

// KXCheckKey's words.
extern const AuthenticationTexts kCheckKeyTexts;
// The read and update services' words.
extern const AuthenticationTexts kDataServiceTexts;

struct AuthenticationOptions {
  const AuthenticationTexts* texts = &kCheckKeyTexts;
  // PsamPowerOn resets the PSAM; without it the step only selects the PSAM,
  // which an earlier step of the caller has reset.
  bool resetPsam = true;
  // 80 FA carries a trailing Le byte 00.
  bool encryptWithLe = true;
  // Directory names the key's directory under the master file (P1 02; a key
  // of 3F00 needs no selection), or by identifier from anywhere (P1 00,
  // sent for 3F00 too).
  SelectBy directoryBy = SelectBy::ChildIdentifier;
  // PsamApplication selects the PSAM's master file with 00 A4 00 00 02 3F 00
  // alone (no look at its name, the link kept open on a failure) rather
  // than with SelectMasterFile.
  bool psamMasterFileById = false;
  // PsamApplication selects the PSAM's application by its name
  // D1 56 00 00 05 90 rather than DF01 by identifier.
  bool psamApplicationByName = false;
};

struct DiversificationFactors {
  std::uint8_t cardFactor[kFactorSize] = {};
  std::uint8_t factor2[kFactorSize] = {};
  std::uint8_t factor1[kFactorSize] = {};
};

inline constexpr int kChallengeSize = 8;

// One run of the flow for one key: its working values live here between
// steps, so a caller may run a stretch of steps, do its own work, and go on.
class KeyAuthentication {
 public:
  KeyAuthentication(Operation& op, const AuthenticationKey& key,
                    const AuthenticationOptions& options)
      : op_(op), key_(key), options_(options) {}

  // Runs the steps from `first` to `last`, in order. 0, or the code of the
  // first step that failed, with that step's text. A key whose level count
  // is not 1 to 3 is refused (-12) before the first step when the stretch
  // includes Diversify. A stretch that starts after Factors uses the factors
  // the caller put in factors().
  int Run(AuthenticationStep first, AuthenticationStep last);

  // The refusal Run gives a key whose level count is not 1 to 3, for a
  // caller that must give it before steps that come ahead of Diversify.
  int CheckLevels() const;

  // For callers that look the key up part-way (after the PSAM's
  // application is selected).
  void SetKey(const AuthenticationKey& key) { key_ = key; }

  DiversificationFactors& factors() { return factors_; }
  const std::uint8_t* challenge1() const { return challenge1_; }
  const std::uint8_t* cryptogram() const { return cryptogram_; }

 private:
  int RunStep(AuthenticationStep step);
  int ReadFactors();
  int SelectCardMasterFile();
  int SelectKeyDirectory();
  int TakeChallenges();
  int PowerOnPsam();
  int SelectPsamApplication();
  int Diversify();
  int Encrypt();
  int Authenticate();
  // The card commands, with or without their own failure words (see append).
  int Select(SelectBy p1, std::uint16_t fileId) const;
  int Challenge(std::uint8_t* random) const;
  // Returns `code`; a failure's `text` goes to ErrorText as the options say.
  int Explained(int code, const char* text) const;

  Operation& op_;
  AuthenticationKey key_;
  AuthenticationOptions options_;
  DiversificationFactors factors_;
  std::uint8_t challenge1_[kChallengeSize] = {};
  std::uint8_t challenge2_[kChallengeSize] = {};
  std::uint8_t cryptogram_[kChallengeSize] = {};
};

// 80 FA P1 00 with `length` data bytes, and the trailing Le byte 00 when
// `withLe`: the first `needed` bytes of the PSAM's answer go to `out`. An
// answer shorter than `needed` is refused (-4): nothing the PSAM did not
// give goes on to the card.
int PsamCompute(Operation& op, int p1, const std::uint8_t* data, int length, bool withLe,
                int needed, std::uint8_t* out);

// KXCheckKey's work: finds the key by name in any directory (-12 when the
// dictionary has none) and proves it to the user card, from the factors on.
int CheckKey(Operation& op, const char* keyName);

}  // namespace kx
