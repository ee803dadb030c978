// The read and update services: the user card's data items and transparent
// files by directory, file and record, with the file's access condition met
// by the service itself. Results follow core/result.h.
//
// Directory and file are texts such as "DF01" and "EF05": only their first
// four characters count, and a text shorter than four is refused (-12)
// before any command reaches a card. Record numbers count by their low byte; 0 means
// every record item of the file.
#pragma once

#include <cstdint>

#include "card/operation.h"

namespace kx {

// KXReadInfo: one item's output (hex text and a NUL for data types 0 and 4,
// the raw bytes for 1 and 3), or every item's, one after another.
int ReadInfo(Operation& op, const char* directory, const char* file, int recordNumber, char* out);
// KXReadInfoAIO: the same between ConnectUserCard and DisconnectUserCard.
int ReadInfoAllInOne(Operation& op, const char* directory, const char* file, int recordNumber,
                     char* out);
// KXReadBinary: `length` bytes at `offset` of the selected transparent file,
// no access handling.
int ReadBinaryFile(Operation& op, int offset, int length, std::uint8_t* out);
// KXReadBinaryAIO: the bytes of a transparent file named by directory and
// file, its read condition met, as 2 * length hex characters and a NUL.
int ReadBinaryAllInOne(Operation& op, const char* directory, const char* file, int offset,
                       int length, char* out);

// KXUpdateInfo: one item, or every item of the file, from their value bytes
// one after another (each item takes its dictionary length).
int UpdateInfo(Operation& op, const char* directory, const char* file, int recordNumber,
               const std::uint8_t* data);
int UpdateInfoAllInOne(Operation& op, const char* directory, const char* file, int recordNumber,
                       const std::uint8_t* data);
// KXUpdateBinary: `length` bytes at `offset` of the selected transparent file.
int UpdateBinaryFile(Operation& op, int offset, int length, const std::uint8_t* data);
int UpdateBinaryAllInOne(Operation& op, const char* directory, const char* file, int offset,
                         int length, const std::uint8_t* data);

// A null buffer an export refuses before any work: -12 with `text` in
// ErrorText. With `release` (the exports that always end with the link
// closed) both cards are powered off and the link closed, the text kept; no
// reader is searched for.
int RefuseMissingBuffer(Operation& op, const char* text, bool release);

// KXTest: writes the fixed identification code to record 1 of 3F00 EF05 in
// one all-in-one call and puts KXGetErrMessage's text for the result into
// `message` (545 bytes).
void WriteTestRecord(Operation& op, char* message);

}  // namespace kx
