// Pieces every simulated card shares: reading a command APDU, and giving data
// back either as a T=0 card does (61xx then GET RESPONSE, 6Cxx for a wrong
// Le) or directly.
#pragma once

#include <cstdint>

#include "sim/card.h"

namespace kx::sim {

// Status words the simulated cards answer with.
namespace sw {
inline constexpr std::uint16_t kOk = 0x9000;
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kNoChallenge = 0x6984;
inline constexpr std::uint16_t kBlocked = 0x6983;
inline constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kIncompatibleFile = 0x6981;
inline constexpr std::uint16_t kNoCurrentFile = 0x6986;
inline constexpr std::uint16_t kMacError = 0x6988;
inline constexpr std::uint16_t kWrongData = 0x6A80;
inline constexpr std::uint16_t kFunctionNotSupported = 0x6A81;  // a locked application's SELECT
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kRecordNotFound = 0x6A83;
inline constexpr std::uint16_t kNoSpace = 0x6A84;
inline constexpr std::uint16_t kWrongP1P2 = 0x6A86;
inline constexpr std::uint16_t kKeyNotFound = 0x6A88;
inline constexpr std::uint16_t kOffsetOutside = 0x6B00;
inline constexpr std::uint16_t kUnknownInstruction = 0x6D00;
inline constexpr std::uint16_t kUnknownClass = 0x6E00;
inline constexpr std::uint16_t kNoPreciseDiagnosis = 0x6F00;
inline constexpr std::uint16_t kApplicationLocked = 0x9300;  // permanently
}  // namespace sw

struct CommandApdu {
  std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  Bytes data;          // the Lc bytes
  bool hasLe = false;  // the APDU ends with an Le byte
  int le = 0;          // 1 to 256 when hasLe (a byte 00 asks for 256)
};

// Splits a short APDU: CLA INS P1 P2 [Lc data] [Le]. False when it is
// shorter than 4 bytes or its Lc byte does not match its length.
bool ParseCommand(const Bytes& apdu, CommandApdu* command);

Bytes StatusWord(std::uint16_t sw);
Bytes DataAndStatus(Bytes data, std::uint16_t sw = sw::kOk);

// The way a card hands data back. Switchable: T=0 behaviour or direct.
class ResponseChannel {
 public:
  void SetT0(bool t0) { t0_ = t0; }
  bool t0() const { return t0_; }

  // Data of a command that carries data both ways (or a SELECT with its
  // file control information): T=0 parks it for GET RESPONSE and answers
  // 61xx; otherwise it comes back at once.
  Bytes Outgoing(Bytes data);
  // Data of a command that only asks for data (case 2): with T=0, an Le
  // other than the data's length is answered 6Cxx; otherwise all of the
  // data comes back whatever the Le.
  Bytes Requested(Bytes data, const CommandApdu& command);
  // GET RESPONSE (00 C0 00 00 Le).
  Bytes GetResponse(const CommandApdu& command);
  // Any other command, and power-off, lose the parked data.
  void Drop() { pending_.clear(); }

 private:
  bool t0_ = false;
  Bytes pending_;
};

// READ BINARY over the bytes of a transparent file, once the card has found
// the file and allowed the read. The offset is P1 P2 (P1 below 80); one at or
// past the end of the file is refused with 6B00, there being nothing to read
// there. A read that starts inside the file returns what there is up to Le;
// asked for more, a T=0 card answers 6Cxx with the length there is instead.
Bytes ReadBinaryFrom(const Bytes& file, const CommandApdu& command, const ResponseChannel& channel);

}  // namespace kx::sim
