#include "sim/user_card.h"

#include <algorithm>
#include <utility>

#include "sim/personalise.h"

namespace kx::sim {
namespace {

bool IsBcd(const Bytes& digits) {
  return std::all_of(digits.begin(), digits.end(),
                     [](std::uint8_t b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; });
}

bool ValidPinLength(std::size_t n) {
  return n >= 1 && n <= 6;
}

Bytes DirectoryControlInformation(std::uint16_t id) {
  return {0x6F,
          0x04,
          0x83,
          0x02,
          static_cast<std::uint8_t>(id >> 8),
          static_cast<std::uint8_t>(id & 0xFF)};
}

Bytes MasterFileControlInformation(bool withName) {
  if (!withName) return DirectoryControlInformation(kMasterFile);
  // The name comes first: the host reads the reply as a C string, and the
  // 00 of 3F00 would end it.
  const Bytes& name = MasterFileName();
  Bytes fci = {0x6F, static_cast<std::uint8_t>(name.size() + 2), 0x84,
               static_cast<std::uint8_t>(name.size())};
  fci.insert(fci.end(), name.begin(), name.end());
  return fci;
}

std::uint16_t TriesStatus(int triesLeft) {
  if (triesLeft <= 0) return sw::kBlocked;
  return static_cast<std::uint16_t>(0x63C0 | std::min(triesLeft, 15));
}

}  // namespace

UserCard::UserCard(CardProfile profile) : profile_(std::move(profile)) {
  NormaliseContent(&profile_);
  channel_.SetT0(profile_.t0);
  std::random_device device;
  random_.seed((static_cast<std::uint64_t>(device()) << 32) ^ device());
}

void UserCard::SetT0(bool t0) {
  profile_.t0 = t0;
  channel_.SetT0(t0);
}

void UserCard::SetMfNameInSelectReply(bool withName) {
  profile_.mfNameInSelectReply = withName;
}

Bytes UserCard::PowerOn() {
  PowerOff();
  return profile_.atr;
}

void UserCard::PowerOff() {
  channel_.Drop();
  currentDirectory_ = kMasterFile;
  currentFile_ = nullptr;
  pinVerified_ = false;
  rights_.clear();
  challenge_.reset();
  previousChallenge_.reset();
}

void UserCard::Changed() {
  if (onChange_) onChange_(profile_);
}

Bytes UserCard::Transmit(const Bytes& apdu) {
  CommandApdu c;
  if (!ParseCommand(apdu, &c)) {
    channel_.Drop();
    return StatusWord(sw::kWrongLength);
  }
  if (c.cla == 0x00 && c.ins == 0xC0) return channel_.GetResponse(c);
  channel_.Drop();
  const std::uint16_t command = static_cast<std::uint16_t>(c.cla << 8 | c.ins);
  switch (command) {
    case 0x00A4:
      return Select(c);
    case 0x00B2:
      return ReadRecord(c);
    case 0x00DC:
      return UpdateRecord(c);
    case 0x00B0:
      return ReadBinary(c);
    case 0x00D6:
      return UpdateBinary(c);
    case 0x0084:
      return GetChallenge(c);
    case 0x0082:
      return ExternalAuthenticate(c);
    case 0x0020:
      return Verify(c);
    case 0x805E:
      return ChangePin(c);
    case 0x8424:
      return ResetPin(c);
    case 0x841E:
      return LockApplication(c);
    default:
      break;
  }
  if (c.cla != 0x00 && c.cla != 0x80 && c.cla != 0x84) return StatusWord(sw::kUnknownClass);
  return StatusWord(sw::kUnknownInstruction);
}

// ------------------------------------------------------------ access rules

bool UserCard::Allowed(const Access& access) const {
  const std::optional<std::uint8_t> id = CardKeyId(currentDirectory_, access.key);
  const bool key = id && rights_.count(*id) != 0;
  switch (access.rule) {
    case Rule::Free:
      return true;
    case Rule::Pin:
      return pinVerified_;
    case Rule::PinAndKey:
      return pinVerified_ && key;
    case Rule::PinOrKey:
      return pinVerified_ || key;
    case Rule::Key:
      return key;
    case Rule::Never:
      return false;
  }
  return false;
}

bool UserCard::DirectoryLocked() const {
  return profile_.lockedDirectories.count(currentDirectory_) != 0;
}

// ------------------------------------------------------------ selection

Bytes UserCard::EnterDirectory(std::uint16_t directory, bool withFci) {
  if (directory != currentDirectory_) rights_.clear();
  currentDirectory_ = directory;
  currentFile_ = nullptr;
  if (!withFci) return StatusWord(sw::kOk);
  if (directory == kMasterFile) {
    return channel_.Outgoing(MasterFileControlInformation(profile_.mfNameInSelectReply));
  }
  return channel_.Outgoing(DirectoryControlInformation(directory));
}

Bytes UserCard::Select(const CommandApdu& c) {
  if (c.p2 != 0x00 && c.p2 != 0x0C) return StatusWord(sw::kWrongP1P2);
  const bool withFci = c.p2 == 0x00;
  if (c.p1 == 0x04) {
    if (c.data.empty()) return StatusWord(sw::kWrongLength);
    if (c.data != MasterFileName()) return StatusWord(sw::kFileNotFound);
    // Found by its name, the MF always shows it.
    if (kMasterFile != currentDirectory_) rights_.clear();
    currentDirectory_ = kMasterFile;
    currentFile_ = nullptr;
    return withFci ? channel_.Outgoing(MasterFileControlInformation(true)) : StatusWord(sw::kOk);
  }
  if (c.p1 != 0x00 && c.p1 != 0x02) return StatusWord(sw::kWrongP1P2);
  if (c.data.size() != 2) return StatusWord(sw::kWrongLength);
  const std::uint16_t id = static_cast<std::uint16_t>(c.data[0] << 8 | c.data[1]);

  if (id == kMasterFile) {
    if (c.p1 != 0x00) return StatusWord(sw::kFileNotFound);
    return EnterDirectory(kMasterFile, withFci);
  }
  const auto& directories = CardDirectories();
  if (std::find(directories.begin(), directories.end(), id) != directories.end()) {
    // P1 02 names a file of the current directory: a DF only from the MF.
    if (c.p1 == 0x02 && currentDirectory_ != kMasterFile) return StatusWord(sw::kFileNotFound);
    if (profile_.lockedDirectories.count(id) != 0) return StatusWord(sw::kFunctionNotSupported);
    return EnterDirectory(id, withFci);
  }
  const FileLayout* file = FindFileLayout(currentDirectory_, id);
  if (file == nullptr) return StatusWord(sw::kFileNotFound);
  if (DirectoryLocked()) return StatusWord(sw::kApplicationLocked);
  currentFile_ = file;
  return StatusWord(sw::kOk);
}

// ------------------------------------------------------------ records and binaries

Bytes UserCard::ReadRecord(const CommandApdu& c) {
  if (!c.data.empty()) return StatusWord(sw::kWrongLength);
  if (c.p2 != 0x04) return StatusWord(sw::kWrongP1P2);
  if (currentFile_ == nullptr) return StatusWord(sw::kNoCurrentFile);
  if (DirectoryLocked()) return StatusWord(sw::kApplicationLocked);
  if (currentFile_->IsTransparent()) return StatusWord(sw::kIncompatibleFile);
  if (!Allowed(currentFile_->read)) return StatusWord(sw::kSecurityNotSatisfied);
  if (currentFile_->FindRecord(c.p1) == nullptr) return StatusWord(sw::kRecordNotFound);
  const FileContent& content = profile_.files[{currentFile_->directory, currentFile_->file}];
  const auto record = content.records.find(c.p1);
  if (record == content.records.end()) return StatusWord(sw::kRecordNotFound);
  return channel_.Requested(record->second, c);
}

Bytes UserCard::UpdateRecord(const CommandApdu& c) {
  if (c.data.empty()) return StatusWord(sw::kWrongLength);
  if (c.p2 != 0x04) return StatusWord(sw::kWrongP1P2);
  if (currentFile_ == nullptr) return StatusWord(sw::kNoCurrentFile);
  if (DirectoryLocked()) return StatusWord(sw::kApplicationLocked);
  if (currentFile_->IsTransparent()) return StatusWord(sw::kIncompatibleFile);
  if (!Allowed(currentFile_->write)) return StatusWord(sw::kSecurityNotSatisfied);
  const RecordLayout* layout = currentFile_->FindRecord(c.p1);
  if (layout == nullptr) return StatusWord(sw::kRecordNotFound);
  if (static_cast<int>(c.data.size()) != layout->Size()) return StatusWord(sw::kWrongLength);
  profile_.files[{currentFile_->directory, currentFile_->file}].records[c.p1] = c.data;
  Changed();
  return StatusWord(sw::kOk);
}

Bytes UserCard::ReadBinary(const CommandApdu& c) {
  if (!c.data.empty()) return StatusWord(sw::kWrongLength);
  if (c.p1 & 0x80) return StatusWord(sw::kWrongP1P2);
  if (currentFile_ == nullptr) return StatusWord(sw::kNoCurrentFile);
  if (DirectoryLocked()) return StatusWord(sw::kApplicationLocked);
  if (!currentFile_->IsTransparent()) return StatusWord(sw::kIncompatibleFile);
  if (!Allowed(currentFile_->read)) return StatusWord(sw::kSecurityNotSatisfied);
  return ReadBinaryFrom(profile_.files[{currentFile_->directory, currentFile_->file}].binary, c,
                        channel_);
}

Bytes UserCard::UpdateBinary(const CommandApdu& c) {
  if (c.data.empty()) return StatusWord(sw::kWrongLength);
  if (c.p1 & 0x80) return StatusWord(sw::kWrongP1P2);
  if (currentFile_ == nullptr) return StatusWord(sw::kNoCurrentFile);
  if (DirectoryLocked()) return StatusWord(sw::kApplicationLocked);
  if (!currentFile_->IsTransparent()) return StatusWord(sw::kIncompatibleFile);
  if (!Allowed(currentFile_->write)) return StatusWord(sw::kSecurityNotSatisfied);
  Bytes& content = profile_.files[{currentFile_->directory, currentFile_->file}].binary;
  const std::size_t offset = static_cast<std::size_t>(c.p1 << 8 | c.p2);
  if (offset >= content.size()) return StatusWord(sw::kOffsetOutside);
  if (c.data.size() > content.size() - offset) return StatusWord(sw::kNoSpace);
  std::copy(c.data.begin(), c.data.end(), content.begin() + offset);
  Changed();
  return StatusWord(sw::kOk);
}

// ------------------------------------------------------------ authentication

Bytes UserCard::GetChallenge(const CommandApdu& c) {
  if (c.p1 != 0 || c.p2 != 0) return StatusWord(sw::kWrongP1P2);
  if (!c.data.empty() || !c.hasLe) return StatusWord(sw::kWrongLength);
  int n = c.le;
  if (n == 256) {
    if (channel_.t0()) return {0x6C, 0x08};
    n = 8;
  }
  if (n != 4 && n != 8) return StatusWord(sw::kWrongLength);
  Block8 challenge{};
  for (int k = 0; k < n; ++k) challenge[k] = static_cast<std::uint8_t>(random_() & 0xFF);
  previousChallenge_ = challenge_;
  challenge_ = challenge;
  return DataAndStatus(Bytes(challenge.begin(), challenge.begin() + n));
}

std::optional<Block8> UserCard::TakeChallenge() {
  std::optional<Block8> challenge = challenge_;
  challenge_.reset();
  previousChallenge_.reset();
  return challenge;
}

Bytes UserCard::ExternalAuthenticate(const CommandApdu& c) {
  if (c.p1 != 0x00) return StatusWord(sw::kWrongP1P2);
  if (c.data.size() != 16) return StatusWord(sw::kWrongLength);
  // A challenge answers one authentication, whatever its outcome.
  const std::optional<Block8> challenge = TakeChallenge();
  if (!challenge) return StatusWord(sw::kNoChallenge);
  if (DirectoryLocked()) return StatusWord(sw::kApplicationLocked);
  const auto key = profile_.keys.find({currentDirectory_, c.p2});
  if (key == profile_.keys.end()) return StatusWord(sw::kKeyNotFound);
  KeyEntry& entry = key->second;
  if (entry.triesLeft <= 0) return StatusWord(sw::kBlocked);
  const Key16 session = DeriveKey(entry.value, *challenge);
  const Block8 expected = EncryptBlock(session, ToBlock(&c.data[8]));
  if (std::equal(expected.begin(), expected.end(), c.data.begin())) {
    if (entry.triesLeft != entry.maxTries) {
      entry.triesLeft = entry.maxTries;
      Changed();
    }
    rights_.insert(c.p2);
    return StatusWord(sw::kOk);
  }
  --entry.triesLeft;
  Changed();
  return StatusWord(TriesStatus(entry.triesLeft));
}

std::uint16_t UserCard::CheckCommandMac(const CommandApdu& c, const char* keyName, Key16* session) {
  const std::optional<Block8> challenge = TakeChallenge();
  if (!challenge) return sw::kNoChallenge;
  const auto id = CardKeyId(kMasterFile, keyName);
  if (!id) return sw::kKeyNotFound;
  const auto key = profile_.keys.find({kMasterFile, *id});
  if (key == profile_.keys.end()) return sw::kKeyNotFound;
  *session = DeriveKey(key->second.value, *challenge);
  // The MAC runs over eight zero bytes, the header with Lc, the cryptogram
  // and the padding 80 00 00.
  Bytes input(8, 0x00);
  input.insert(input.end(), {c.cla, c.ins, c.p1, c.p2, static_cast<std::uint8_t>(c.data.size())});
  input.insert(input.end(), c.data.begin(), c.data.begin() + 8);
  input.insert(input.end(), {0x80, 0x00, 0x00});
  Block8 mac;
  if (!CbcMac(*session, input, &mac)) return sw::kNoPreciseDiagnosis;
  if (!std::equal(mac.begin(), mac.begin() + 4, c.data.begin() + 8)) return sw::kMacError;
  return sw::kOk;
}

// ------------------------------------------------------------ PIN

Bytes UserCard::PinRefused() {
  pinVerified_ = false;
  if (profile_.pinTriesLeft > 0) --profile_.pinTriesLeft;
  Changed();
  return StatusWord(TriesStatus(profile_.pinTriesLeft));
}

Bytes UserCard::Verify(const CommandApdu& c) {
  if (c.p1 != 0x00 || c.p2 != 0x00) return StatusWord(sw::kWrongP1P2);
  if (c.data.empty()) {
    // Without a PIN the card only tells how many tries are left.
    if (profile_.pinTriesLeft <= 0) return StatusWord(sw::kBlocked);
    if (pinVerified_) return StatusWord(sw::kOk);
    return StatusWord(TriesStatus(profile_.pinTriesLeft));
  }
  if (!ValidPinLength(c.data.size())) return StatusWord(sw::kWrongLength);
  if (profile_.pinTriesLeft <= 0) return StatusWord(sw::kBlocked);
  if (c.data != profile_.pin) return PinRefused();
  pinVerified_ = true;
  if (profile_.pinTriesLeft != profile_.pinMaxTries) {
    profile_.pinTriesLeft = profile_.pinMaxTries;
    Changed();
  }
  return StatusWord(sw::kOk);
}

Bytes UserCard::ChangePin(const CommandApdu& c) {
  if (c.p1 != 0x01 || c.p2 != 0x00) return StatusWord(sw::kWrongP1P2);
  const auto separator = std::find(c.data.begin(), c.data.end(), 0xFF);
  if (separator == c.data.end()) return StatusWord(sw::kWrongData);
  const Bytes oldPin(c.data.begin(), separator);
  const Bytes newPin(separator + 1, c.data.end());
  if (!ValidPinLength(oldPin.size()) || !ValidPinLength(newPin.size())) {
    return StatusWord(sw::kWrongLength);
  }
  if (profile_.pinTriesLeft <= 0) return StatusWord(sw::kBlocked);
  if (oldPin != profile_.pin) return PinRefused();
  if (!IsBcd(newPin)) return StatusWord(sw::kWrongData);
  profile_.pin = newPin;
  profile_.pinTriesLeft = profile_.pinMaxTries;
  pinVerified_ = true;
  Changed();
  return StatusWord(sw::kOk);
}

Bytes UserCard::ResetPin(const CommandApdu& c) {
  if (c.p1 != 0x00 || c.p2 != 0x01) return StatusWord(sw::kWrongP1P2);
  if (c.data.size() != 12) return StatusWord(sw::kWrongLength);
  // Only a terminal that proved the PIN unblocking key in the MF may reset.
  const auto unblockKey = CardKeyId(kMasterFile, "PUK");
  if (currentDirectory_ != kMasterFile || !unblockKey || rights_.count(*unblockKey) == 0) {
    challenge_.reset();
    return StatusWord(sw::kSecurityNotSatisfied);
  }
  Key16 session;
  const std::uint16_t status = CheckCommandMac(c, "STKMF", &session);
  if (status != sw::kOk) return StatusWord(status);
  // PIN block: length, the PIN bytes, 80, zero fill.
  const Block8 block = DecryptBlock(session, ToBlock(c.data.data()));
  const std::size_t length = block[0];
  if (!ValidPinLength(length) || block[1 + length] != 0x80 ||
      !std::all_of(block.begin() + 2 + length, block.end(),
                   [](std::uint8_t b) { return b == 0; })) {
    return StatusWord(sw::kWrongData);
  }
  const Bytes pin(block.begin() + 1, block.begin() + 1 + length);
  if (!IsBcd(pin)) return StatusWord(sw::kWrongData);
  profile_.pin = pin;
  profile_.pinTriesLeft = profile_.pinMaxTries;
  pinVerified_ = false;
  Changed();
  return StatusWord(sw::kOk);
}

Bytes UserCard::LockApplication(const CommandApdu& c) {
  if (c.p1 != 0x00 || c.p2 != 0x01) return StatusWord(sw::kWrongP1P2);
  if (c.data.size() != 12) return StatusWord(sw::kWrongLength);
  if (currentDirectory_ == kMasterFile) {
    challenge_.reset();
    return StatusWord(sw::kConditionsNotSatisfied);
  }
  if (DirectoryLocked()) return StatusWord(sw::kApplicationLocked);
  // The cryptogram is the first of the last two challenges, enciphered
  // under the session key the MAC proves.
  const std::optional<Block8> first = previousChallenge_;
  Key16 session;
  const std::uint16_t status = CheckCommandMac(c, "BK", &session);
  if (status != sw::kOk) return StatusWord(status);
  if (!first || EncryptBlock(session, *first) != ToBlock(c.data.data())) {
    return StatusWord(sw::kMacError);
  }
  profile_.lockedDirectories.insert(currentDirectory_);
  rights_.clear();
  currentFile_ = nullptr;
  Changed();
  return StatusWord(sw::kOk);
}

}  // namespace kx::sim
