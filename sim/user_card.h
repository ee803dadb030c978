// The simulated user card: an ISO 7816-4 file system built from the
// simulator's own description of the card (sim/card_layout.h), with the
// cardholder's PIN, the card's diversified keys and the access rules of every
// file enforced by the card itself.
//
// Commands:
//   00 A4  SELECT: P1 00 by identifier (MF, an application DF, or an EF of
//          the current DF), P1 02 (an EF of the current DF; from the MF also
//          an application DF), P1 04 by the MF's name. P2 00 or 0C.
//   00 B2 / 00 DC  READ / UPDATE RECORD of the current EF (P2 04)
//   00 B0 / 00 D6  READ / UPDATE BINARY of the current EF
//   00 84  GET CHALLENGE (4 or 8 bytes)
//   00 82  EXTERNAL AUTHENTICATE with key P2 of the current directory
//   00 20  VERIFY, 80 5E 01 00 change PIN (old FF new)
//   84 24 00 01  PIN reset, 84 1E 00 01  application lock (PSAM-made MACs;
//          the reset's PIN block and the lock's first challenge enciphered)
//   00 C0  GET RESPONSE
//
// Security state: the verified PIN lasts until power-off; a key's right
// holds in the directory where it was authenticated, until another
// directory is selected or the card is powered off.
//
// Refusals (status words):
//   6982  access condition not met        6983  PIN or key blocked
//   63Cx  wrong PIN or cryptogram, x tries left
//   6984  no challenge to check against   6988  wrong MAC
//   6A81  SELECT of a locked application  6A82  no such file
//   9300  any other command in a locked application (locked for good)
//   6A83  no such record                  6A84  data past the end of the file
//   6A86  wrong P1 P2                     6A88  no such key
//   6700  wrong length                    6B00  offset outside the file
//   6981  command does not fit the file   6985  conditions of use not met
//   6986  no current EF                   6A80  malformed PIN data
//   6D00 / 6E00  unknown instruction / class
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>

#include "sim/card.h"
#include "sim/card_command.h"
#include "sim/card_layout.h"
#include "sim/crypto.h"
#include "sim/default_profile.h"
#include "sim/profile.h"

namespace kx::sim {

class UserCard : public Card {
 public:
  explicit UserCard(CardProfile profile = DefaultCardProfile());

  Bytes PowerOn() override;
  void PowerOff() override;
  Bytes Transmit(const Bytes& apdu) override;

  // The persistent content as it stands now.
  const CardProfile& profile() const { return profile_; }

  void SetT0(bool t0);
  void SetMfNameInSelectReply(bool withName);
  // Challenges come from this generator; seeded from the system by default.
  void SeedChallenges(std::uint64_t seed) { random_.seed(seed); }
  // Called after every command that changed the persistent content (a write,
  // a try counter, the PIN, a lock).
  void SetOnChange(std::function<void(const CardProfile&)> onChange) {
    onChange_ = std::move(onChange);
  }

 private:
  // Whether `access`, a rule of a file of the current directory, is met now.
  bool Allowed(const Access& access) const;

  Bytes Select(const CommandApdu& c);
  Bytes EnterDirectory(std::uint16_t directory, bool withFci);
  Bytes ReadRecord(const CommandApdu& c);
  Bytes UpdateRecord(const CommandApdu& c);
  Bytes ReadBinary(const CommandApdu& c);
  Bytes UpdateBinary(const CommandApdu& c);
  Bytes GetChallenge(const CommandApdu& c);
  Bytes ExternalAuthenticate(const CommandApdu& c);
  Bytes Verify(const CommandApdu& c);
  Bytes ChangePin(const CommandApdu& c);
  Bytes ResetPin(const CommandApdu& c);
  Bytes LockApplication(const CommandApdu& c);

  // A wrong PIN: one try fewer; 63Cx, or 6983 when none is left.
  Bytes PinRefused();
  // Checks a PSAM-made MAC (first 4 bytes of data[8..12]) over the command
  // header and the 8-byte cryptogram, with key `keyName` of the MF
  // diversified by the pending challenge. Returns 9000 or the refusal.
  std::uint16_t CheckCommandMac(const CommandApdu& c, const char* keyName, Key16* session);
  std::optional<Block8> TakeChallenge();
  bool DirectoryLocked() const;
  void Changed();

  CardProfile profile_;
  ResponseChannel channel_;
  std::mt19937_64 random_;
  std::function<void(const CardProfile&)> onChange_;

  std::uint16_t currentDirectory_ = 0x3F00;
  const FileLayout* currentFile_ = nullptr;
  bool pinVerified_ = false;
  std::set<std::uint8_t> rights_;  // key ids granted in the current directory
  std::optional<Block8> challenge_;
  std::optional<Block8> previousChallenge_;  // the one before challenge_
};

}  // namespace kx::sim
