// Named card and PSAM commands, each one APDU template sent through
// ExchangeApdu to the card in the selected slot, and the derived values every
// secured operation needs. Results follow core/result.h.
#pragma once

#include <cstdint>

#include "card/operation.h"

namespace kx {

// The master file's name as the card stores it (GBK).
extern const char kMasterFileName[];  // "sx1.sh.社会保障", 15 bytes

// How a SELECT names its file (P1).
enum class SelectBy : std::uint8_t {
  Identifier = 0x00,       // by file identifier, from anywhere
  ChildIdentifier = 0x02,  // a file under the current directory
};

// Every command returns 0 for 90 00, else the code of ExchangeApdu. Lc
// arguments (length) take 0 to 255 and Le arguments (le) 0 to 256 (0 and 256
// both go out as 00); others are refused with -12 ("capdu 的长度超出范围")
// and nothing is sent.

// Selects 3F00, then by name when the reply does not name the master file.
// On failure appends ";KXReadCardIDAIO 选择主文件失败" to the failure's text
// and marks the operation's link dropped (the reader drops it): its frame
// powers the card off and closes the link.
int SelectMasterFile(Operation& op);
// 00 A4 P1 00 02 and the two bytes of `fileId`.
// Failure: "KXReadCardIDAIO 选择文件失败".
int SelectFile(Operation& op, SelectBy p1, std::uint16_t fileId);
// The longest record: what one short Le (00) asks for.
inline constexpr int kMaxRecordSize = 256;
// `data` receives the record without its status bytes, at most `capacity`
// bytes: a longer one (also one a 6Cxx correction brought) is refused with
// -12 "记录长度超出缓冲区", and neither `data` nor LastRecordHex changes.
// LastRecordHex keeps the hex text of the record's first 127 bytes.
int ReadRecord(Operation& op, int recordNumber, int p2, int le, int* length, std::uint8_t* data,
               int capacity = kMaxRecordSize);
int UpdateRecord(Operation& op, int recordNumber, int p2, int length, const std::uint8_t* data);
// `reply` receives data and SW1 SW2, at most n + 2 bytes where n is the
// number of bytes asked for (256 for le 0).
int ReadBinary(Operation& op, int offset, int le, std::uint8_t* reply);
int UpdateBinary(Operation& op, int offset, int length, const std::uint8_t* data);
// `random` receives `length` bytes (at most 50). Failure: "取随机数失败".
int GetChallenge(Operation& op, int length, std::uint8_t* random);
// SelectFile and GetChallenge without their failure texts, for callers that
// put their own words after what the exchange left (empty after a card's
// refusal).
int SelectFileBare(Operation& op, SelectBy p1, std::uint16_t fileId);
int GetChallengeBare(Operation& op, int length, std::uint8_t* random);
int PsamDiversifyKey(Operation& op, int p1, int p2, int length, const std::uint8_t* factors);
// 80 FA P1 P2 Lc data 00. `reply` (kMaxApduReply bytes) receives the
// cryptogram and SW1 SW2; *replyLength the cryptogram's length, on success.
int PsamEncrypt(Operation& op, int p1, int p2, int length, const std::uint8_t* data,
                int* replyLength, std::uint8_t* reply);
int ExternalAuthenticate(Operation& op, int p1, int p2, int length, const std::uint8_t* data);

inline constexpr int kIdentificationCodeSize = 32;
// The value of record 1 of EF05 under the master file. A length byte above
// 32, or beyond the record, is refused with -12.
int ReadIdentificationCode(Operation& op, std::uint8_t* value);
// factor1 "XX0000sh", factor2 "XXYY00sx" (no terminators) and the card
// factor. Nothing is written on failure.
inline constexpr int kFactorSize = 8;
int BuildDiversificationFactors(Operation& op, std::uint8_t* factor1, std::uint8_t* factor2,
                                std::uint8_t* cardFactor);

// The card factor rule alone: 8 bytes of the operation's reset answer from
// index length - K + 5, K the historical byte count. -12 when the stored
// reset answer is too short for it.
int CardFactorFromResetAnswer(Operation& op, std::uint8_t* cardFactor);

}  // namespace kx
