// The APDU exchange: the one road by which the library talks to a card.
#pragma once

#include <cstdint>

namespace kx {

// Largest command ExchangeApdu accepts: it must fit a reader frame (3 header
// bytes + APDU <= 508) and the copy kept for the 6Cxx re-send.
inline constexpr int kMaxApduCommand = 505;
// Reply buffers passed to ExchangeApdu hold at least this many bytes.
inline constexpr int kMaxApduReply = 295;  // kMaxReplyData of the frame codec
inline constexpr int kMaxApduHexCommand = 600;

// Sends `command` (1 to kMaxApduCommand bytes, else -12 and nothing is sent)
// to the card in nIFDType, with one GET RESPONSE for 61xx and
// then one re-send with the corrected Le for 6Cxx. Writes the final reply
// (data and SW1 SW2) and its length whenever a reply came back. Returns 0 for
// 90 00, -(SW) for another status word, or the link/reader code.
int ExchangeApdu(int length, const std::uint8_t* command, int* replyLength, std::uint8_t* reply);

// The same with hex text in and out. hexReply receives the whole reply as
// packed upper-case hex (it needs 2 * kMaxApduReply + 1 bytes). Neither output
// is written on failure. -12 for more than 600 characters or a bad pair. The
// text counts up to its terminator even if hexLength says more.
int ExchangeApduText(int hexLength, const char* hexCommand, int* hexReplyLength, char* hexReply);

// KXSelectIFD's work: interface code to slot, ErrorText cleared.
void SelectInterface(int code);

// KXCpuReset's work: after a 100 ms pause powers on the card in nIFDType and
// writes its reset answer as packed upper-case hex into resetAnswerHex (at
// most 2 * kResetAnswerSize + 1 bytes). Slot 0 also refreshes ResetAnswer.
// -2 for an empty answer; a failing PSAM power-on gives -5 whatever the
// reader said, other slots the reader's code.
int ResetSelectedCard(char* resetAnswerHex);

// GetCurRecordData's work: copies LastRecordHex with its terminator into
// `text` (kLastRecordHexSize bytes at most) and returns the bytes copied.
int CopyLastRecordHex(char* text);

}  // namespace kx
