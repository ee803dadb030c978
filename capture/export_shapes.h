// Every export's arguments, by kind, for the capture (what the diagnostic
// build writes of a call) and the replay (how kxcard replay calls it again).
// One row an export: X(NAME, KINDS, (PARAMETERS), (ARGUMENT NAMES)).
//
// KINDS, one a parameter, separated by spaces:
//   i      int, in                     t   text, in (NUL-terminated)
//   p      PIN text, in (never written: "pin:LENGTH")
//   b<k>   bytes, in; parameter k holds the count
//   P      int[2], in (KXReaderInit's port and baud rate)
//   o      text, out                   q   PIN text, out (never written)
//   c      one character, out
//   B<k>   bytes, out; parameter k holds the count
//   r<k>   bytes, out; parameter k holds the count, 0 meaning 256 (a record's le)
//   A<k>   bytes, out; half of parameter k (GetASC)
//   R<k>   bytes, out; *parameter k after the call holds the count
//   n      int, out (written on failure too)
//   u      unsigned int, out, not compared (the port's handle differs per run)
#pragma once

// clang-format off

#define KX_CAPTURED_EXPORTS(X) \
  X(KXGetErrMessage, "i o", (int code, char* message), (code, message)) \
  X(KXGetLibVer, "", (), ()) \
  X(GetHex, "i b3 o i", (int mode, const unsigned char* bytes, char* text, int count), (mode, bytes, text, count)) \
  X(GetASC, "t A2 i", (const char* text, unsigned char* bytes, int length), (text, bytes, length)) \
  X(KXReaderInit, "P u", (int* params, unsigned int* handleOut), (params, handleOut)) \
  X(KXReaderInitTest, "i i", (int port, int baud), (port, baud)) \
  X(GetReaderStatus, "i c", (int reserved, char* status), (reserved, status)) \
  X(KXReaderPowerOff, "i", (int reserved), (reserved)) \
  X(GetReaderInfo, "i o o", (int reserved, char* model, char* version), (reserved, model, version)) \
  X(KXSelectIFD, "i i", (int reserved, int code), (reserved, code)) \
  X(KXCpuReset, "i o", (int reserved, char* resetAnswerHex), (reserved, resetAnswerHex)) \
  X(KXRunApdu, "i i b1 n R3", (int reserved, int length, const unsigned char* command, int* replyLength, unsigned char* reply), (reserved, length, command, replyLength, reply)) \
  X(KXRunApduTest, "i i t o", (int reserved, int hexLength, const char* hexCommand, char* hexReply), (reserved, hexLength, hexCommand, hexReply)) \
  X(GetCurRecordData, "o", (char* text), (text)) \
  X(KXReadRecord, "i i i i r3", (int reserved, int recordNumber, int p2, int le, unsigned char* data), (reserved, recordNumber, p2, le, data)) \
  X(KXUpdateRecord, "i i i i b3", (int reserved, int recordNumber, int p2, int length, const unsigned char* data), (reserved, recordNumber, p2, length, data)) \
  X(KXGetPsamID, "i o", (int reserved, char* psamId), (reserved, psamId)) \
  X(KXGetPsamIDATR, "i o o", (int reserved, char* psamId, char* resetAnswerHex), (reserved, psamId, resetAnswerHex)) \
  X(KXInternalAuth, "i", (int reserved), (reserved)) \
  X(KXCardLock, "i", (int reserved), (reserved)) \
  X(KXReadPassword, "i q", (int mode, char* pin), (mode, pin)) \
  X(SetPin, "p", (const char* pinText), (pinText)) \
  X(KXCardVerifyPIN, "i p n", (int reserved, const char* pin, int* retries), (reserved, pin, retries)) \
  X(KXCardChangePIN, "i p p n", (int reserved, const char* oldPin, const char* newPin, int* retries), (reserved, oldPin, newPin, retries)) \
  X(testKXCardVerifyPIN, "p", (const char* pin), (pin)) \
  X(testKXCardChangePIN, "p p", (const char* oldPin, const char* newPin), (oldPin, newPin)) \
  X(KXCheckKey, "i t", (int reserved, const char* keyName), (reserved, keyName)) \
  X(KXReadInfo, "i t t i o", (int reserved, const char* directory, const char* file, int recordNumber, unsigned char* out), (reserved, directory, file, recordNumber, out)) \
  X(KXReadInfoAIO, "t t i o", (const char* directory, const char* file, int recordNumber, unsigned char* out), (directory, file, recordNumber, out)) \
  X(testKXReadInfoAIO, "t t i o", (const char* directory, const char* file, int recordNumber, unsigned char* out), (directory, file, recordNumber, out)) \
  X(KXReadBinary, "i i i B2", (int reserved, int offset, int length, unsigned char* out), (reserved, offset, length, out)) \
  X(KXReadBinaryAIO, "t t i i o", (const char* directory, const char* file, int offset, int length, char* out), (directory, file, offset, length, out)) \
  X(KXUpdateInfo, "i t t i t", (int reserved, const char* directory, const char* file, int recordNumber, const unsigned char* data), (reserved, directory, file, recordNumber, data)) \
  X(KXUpdateInfoAIO, "t t i t", (const char* directory, const char* file, int recordNumber, const unsigned char* data), (directory, file, recordNumber, data)) \
  X(KXUpdateBinary, "i i i b2", (int reserved, int offset, int length, const unsigned char* data), (reserved, offset, length, data)) \
  X(KXUpdateBinaryAIO, "t t i i b3", (const char* directory, const char* file, int offset, int length, const unsigned char* data), (directory, file, offset, length, data)) \
  X(KXTest, "o", (char* message), (message)) \
  X(KXReadCardID, "i o o o", (int reserved, char* cardNumber, char* identificationCode, char* organisationNumber), (reserved, cardNumber, identificationCode, organisationNumber)) \
  X(KXReadCardIDAIO, "o o o", (char* cardNumber, char* identificationCode, char* organisationNumber), (cardNumber, identificationCode, organisationNumber)) \
  X(KXUpdateCardIDAIO, "t t o", (const char* regionCode, const char* serialPart, char* newIdentificationCode), (regionCode, serialPart, newIdentificationCode)) \
  X(KXCardUnlockPIN, "i p", (int reserved, const char* newPin), (reserved, newPin)) \
  X(KXAppLock, "i t", (int reserved, const char* directory), (reserved, directory)) \
  X(CombinedData, "i t t t o", (int fileKind, const char* directory, const char* file, const char* data, char* text), (fileKind, directory, file, data, text))

// The POSIX-only extension, a row of its own: the DLL has no such export.
#define KX_CAPTURED_POSIX_EXPORTS(X) \
  X(KXSetComDevice, "i t", (int port, const char* devicePath), (port, devicePath))
// clang-format on
