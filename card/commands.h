// Named card and PSAM commands, each one APDU template sent through
// ExchangeApdu to the card in the selected slot, and the derived values every
// secured operation needs.
#pragma once

#include <cstdint>

namespace kx {

// The master file's name as the card stores it (GBK).
extern const char kMasterFileName[];  // "sx1.sh.社会保障", 15 bytes

int SelectMasterFile();
int SelectFile(const char* pathText);
// `data` receives the record without its status bytes (kMaxApduReply bytes).
int ReadRecord(int recordNumber, int p2, int le, int* length, std::uint8_t* data);
int UpdateRecord(int recordNumber, int p2, int length, const std::uint8_t* data);
// `reply` receives data and SW1 SW2 (le + 2 bytes, kMaxApduReply at most).
int ReadBinary(int offset, int le, std::uint8_t* reply);
int UpdateBinary(int offset, int length, const std::uint8_t* data);
int GetChallenge(int length, std::uint8_t* random);
int PsamDiversifyKey(int p1, int p2, int length, const std::uint8_t* factors);
int PsamEncrypt(int p1, int p2, int length, const std::uint8_t* data, int* replyLength,
                std::uint8_t* reply);
int ExternalAuthenticate(int p1, int p2, int length, const std::uint8_t* data);

inline constexpr int kIdentificationCodeSize = 32;
int ReadIdentificationCode(std::uint8_t* value);
int BuildDiversificationFactors(std::uint8_t* factor1, std::uint8_t* factor2,
                                std::uint8_t* cardFactor);

// The card factor rule alone: 8 bytes of ResetAnswer from index
// ResetAnswerLength - K + 5, K the historical byte count. -12 when the stored
// reset answer is too short for it.
int CardFactorFromResetAnswer(std::uint8_t* cardFactor);

}  // namespace kx
