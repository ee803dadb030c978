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
  // Add the text after the failing command's own rather than replace it.
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
  KeyAuthentication(const AuthenticationKey& key, const AuthenticationOptions& options)
      : key_(key), options_(options) {}

  // Runs the steps from `first` to `last`, in order. 0, or the code of the
  // first step that failed, with that step's text. A key whose level count
  // is not 1 to 3 is refused (-12) before the first step when the stretch
  // includes Diversify. A stretch that starts after Factors uses the factors
  // the caller put in factors().
  int Run(AuthenticationStep first, AuthenticationStep last);

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
  // Returns `code`; a failure's `text` goes to ErrorText as the options say.
  int Explained(int code, const char* text) const;

  AuthenticationKey key_;
  AuthenticationOptions options_;
  DiversificationFactors factors_;
  std::uint8_t challenge1_[kChallengeSize] = {};
  std::uint8_t challenge2_[kChallengeSize] = {};
  std::uint8_t cryptogram_[kChallengeSize] = {};
};

// KXCheckKey's work: finds the key by name in any directory (-12 when the
// dictionary has none) and proves it to the user card, from the factors on.
int CheckKey(const char* keyName);

}  // namespace kx
