// The card's identity block, records 1 (identification code), 7 (card
// number) and 4 (organisation number) of EF05 under the master file: read in
// one call, and the identification code rewritten with check bytes the PSAM
// computes. Every call ends with the reader link closed. Results follow
// core/result.h.
//
// A failing step adds its own words after what the failing command left in
// ErrorText (nothing after a card's refusal, SelectMasterFile's words after
// a master file it could not select), then powers off the operation's card
// and closes the link; the words survive that closing.
#pragma once

#include "card/operation.h"

namespace kx {

// Output sizes, terminators included.
inline constexpr int kCardNumberTextSize = 10;
inline constexpr int kIdentificationCodeTextSize = 33;
inline constexpr int kOrganisationNumberTextSize = 25;

// KXReadCardID: the PSAM must answer a power-on, then the operation's card
// gives the identification code and the organisation number (upper-case
// hex) and the card number (its 9 bytes as stored). Each output is written
// as its record arrives.
int ReadCardIdentity(Operation& op, char* cardNumber, char* identificationCode,
                     char* organisationNumber);

// The identity exports' own reader search (the all-in-one search's steps,
// with a USB reader that fails its status query passed over). 0 when a
// reader answered with the contact user card powered on. A reader without a
// card gives -6 "未插入用户卡" to a read and -1 (the reader's words) to an
// update; no reader gives -1 "没有找到设备".
enum class IdentitySearch { Read, Update };
int FindReaderForIdentity(Operation& op, IdentitySearch variant);

// KXReadCardIDAIO: FindReaderForIdentity, then ReadCardIdentity.
int ReadCardIdentityAllInOne(Operation& op, char* cardNumber, char* identificationCode,
                             char* organisationNumber);

// Writes a new identification code to the contact user card: the first 6
// characters of `regionCode` (hex digits of bytes 0 to 2), bytes 3 to 7 of
// the card's current code, the first 8 characters of `serialPart` (bytes 8
// to 11), and 4 check bytes the PSAM computes over those 12 bytes. Texts
// shorter than that, or not hex digits, are refused with -12 before any
// command. Before the write the terminal proves the master file's key UKMF.
// `newIdentificationCode` receives the 16 bytes written, as 32 upper-case
// hex digits and a terminator. The card changes only in the last step.
int RewriteIdentificationCode(Operation& op, const char* regionCode, const char* serialPart,
                              char* newIdentificationCode);

// KXUpdateCardIDAIO: FindReaderForIdentity, RewriteIdentificationCode, then
// the operation's card powered off and the link closed.
int RewriteIdentificationCodeAllInOne(Operation& op, const char* regionCode, const char* serialPart,
                                      char* newIdentificationCode);

}  // namespace kx
