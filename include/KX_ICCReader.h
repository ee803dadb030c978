/*
 * KX_ICCReader: card-reader library for the social-security IC card.
 *
 * Every function returns a signed 32-bit code: 0 for success, a negative
 * value for a failure (-1 to -15 are the library's own codes, a card status
 * word SW1 SW2 comes back as -(SW1 * 256 + SW2)). KXGetErrMessage turns any
 * code into its GBK text. A few functions return a count instead; their
 * comments say so.
 *
 * Plain C, usable from C and C++. On 32-bit Windows every function uses the
 * standard Windows calling convention (__stdcall) and is exported from
 * KX_ICCReader.dll under its plain name.
 *
 * Threads: every function holds one process-wide lock from its start to its
 * return, so calls made from several threads at once are carried out one
 * after another, each exactly as if it had been alone. No lock is held once
 * a function has returned. A call that waits holds the lock while it waits
 * (a silent reader: up to 5 s for an APDU; the PIN pad: up to 60 s), and
 * calls from other threads wait behind it. What calls share stays shared:
 * the last failure's text, the selected card (KXSelectIFD), the open reader
 * and the PIN handed over with SetPin belong to the process, not to a
 * thread. So the explanation KXGetErrMessage adds to a message (for -12 and
 * for a card's status word) is the one the last call left, whichever thread
 * made it; a host that needs its own call's explanation makes the call and
 * KXGetErrMessage with no other thread calling in between.
 *
 * A reader on a COM port that goes away during a call (its USB serial
 * adapter unplugged, the line hung up) ends the call at once with -2, and
 * the port is closed: later calls return -2 at once until the host opens
 * the reader again.
 */
#ifndef KX_ICCREADER_H
#define KX_ICCREADER_H

#if defined(_WIN32) && !defined(_WIN64)
#define KX_CALL __stdcall
#else
#define KX_CALL
#endif

#ifndef KX_API
#if defined(_WIN32)
#define KX_API
#elif defined(KX_BUILDING_LIBRARY)
#define KX_API __attribute__((visibility("default")))
#else
#define KX_API
#endif
#endif

/* Sizes of the caller's output buffers, terminator included. The library
 * never writes more than these, whatever the reader or the card sends: a
 * longer reply is refused with a failure code. */
#define KX_ERR_MESSAGE_SIZE 545      /* KXGetErrMessage message */
#define KX_APDU_REPLY_SIZE 295       /* KXRunApdu reply: data and SW1 SW2 */
#define KX_APDU_HEX_REPLY_SIZE 591   /* KXRunApduTest hexReply */
#define KX_RESET_ANSWER_HEX_SIZE 201 /* KXCpuReset, KXGetPsamIDATR resetAnswerHex */
#define KX_PSAM_ID_SIZE 13           /* KXGetPsamID, KXGetPsamIDATR psamId */
#define KX_RECORD_SIZE 256           /* KXReadRecord data with le 0 (else le bytes) */
#define KX_RECORD_HEX_SIZE 256       /* GetCurRecordData text */
#define KX_READER_MODEL_SIZE 9       /* GetReaderInfo model */
#define KX_READER_VERSION_SIZE 15    /* GetReaderInfo version */

/* CombinedData text, per file (directory and file identifiers): the longest
 * display text the file can render. */
#define KX_COMBINED_TEXT_SIZE_3F00_EF05 243
#define KX_COMBINED_TEXT_SIZE_3F00_EF06 228
#define KX_COMBINED_TEXT_SIZE_3F00_EF07 1559
#define KX_COMBINED_TEXT_SIZE_3F00_EF0C 143
#define KX_COMBINED_TEXT_SIZE_DF01_EF05 276
#define KX_COMBINED_TEXT_SIZE_DF01_EF06 302
#define KX_COMBINED_TEXT_SIZE_DF01_EF07 58
#define KX_COMBINED_TEXT_SIZE_DF01_EF08 29
#define KX_COMBINED_TEXT_SIZE_DF01_EF09 313
#define KX_COMBINED_TEXT_SIZE_DF01_EF0A 90
#define KX_COMBINED_TEXT_SIZE_DF02_EF05 477
#define KX_COMBINED_TEXT_SIZE_DF02_EF06 241
#define KX_COMBINED_TEXT_SIZE_DF02_EF07 805
#define KX_COMBINED_TEXT_SIZE_DF02_EF08 300
#define KX_COMBINED_TEXT_SIZE_DF02_EF09 315
#define KX_COMBINED_TEXT_SIZE_DF03_EF05 280
#define KX_COMBINED_TEXT_SIZE_DF03_EF06 582
#define KX_COMBINED_TEXT_SIZE_DF03_EF07 296
#define KX_COMBINED_TEXT_SIZE_DF04_EF05 980
#define KX_COMBINED_TEXT_SIZE_DF04_EF06 100
#define KX_COMBINED_TEXT_SIZE_DF04_EF08 199
#define KX_COMBINED_TEXT_SIZE_DF04_EF0C 91
#define KX_COMBINED_TEXT_SIZE_DF0A_EF0C 261
#define KX_COMBINED_TEXT_SIZE_DF0B_EF0C 544
#define KX_COMBINED_TEXT_SIZE_DF0C_EF0C 544
#define KX_COMBINED_TEXT_SIZE_DF0D_EF0C 1056
#define KX_COMBINED_TEXT_SIZE_DF0E_EF0C 1056
#define KX_COMBINED_TEXT_SIZE_DF0F_EF0C 1568
#define KX_COMBINED_TEXT_SIZE_DF10_EF0C 2592
#define KX_COMBINED_TEXT_SIZE_MAX 2592

/* More output sizes (docs/integration.md gives every export's buffers). */
#define KX_PIN_SIZE 7                    /* KXReadPassword pin: six characters */
#define KX_CARD_NUMBER_SIZE 10           /* KXReadCardID(AIO) cardNumber */
#define KX_IDENTIFICATION_CODE_SIZE 33   /* KXReadCardID(AIO) identificationCode,
                                            KXUpdateCardIDAIO newIdentificationCode */
#define KX_ORGANISATION_NUMBER_SIZE 25   /* KXReadCardID(AIO) organisationNumber */
#define KX_READ_INFO_SIZE 2561           /* KXReadInfo(AIO) out: any file of the card */
/* GetHex text for `count` bytes: mode 0 writes three characters a byte. */
#define KX_HEX_TEXT_SIZE(mode, count) ((mode) == 0 ? 3 * (count) + 1 : 2 * (count) + 1)
/* GetASC bytes for `length` characters of hex text. */
#define KX_ASC_BYTES_SIZE(length) ((length) / 2 + 1)
/* KXReadBinaryAIO out: two hex digits a byte and a NUL. */
#define KX_READ_BINARY_AIO_SIZE(length) (2 * (length) + 1)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- messages and version ---- */

/* Writes the GBK message of `code` into `message` (545 bytes). Returns 0. */
KX_API int KX_CALL KXGetErrMessage(int code, char *message);
/* Returns 20121227. */
KX_API int KX_CALL KXGetLibVer(void);

/* ---- hexadecimal text ---- */

/* mode 0: "01 AB " (spaced), 1: "01AB", other: reader frame digits. Returns 1. */
KX_API int KX_CALL GetHex(int mode, const unsigned char *bytes, char *text, int count);
/* Decodes `length` characters of hex text (spaces skipped). Returns the byte
 * count, or -1 when a pair is cut by a space. `bytes` needs count + 1 bytes.
 * Characters are not checked: one that is no hex digit folds into some byte,
 * and a last digit without its partner is dropped. */
KX_API int KX_CALL GetASC(const char *text, unsigned char *bytes, int length);

/* ---- reader ---- */

/* params[0]: COM port number (100 = USB), params[1]: baud rate. */
/* -2 when the port does not open, or does not take the start sequence. */
KX_API int KX_CALL KXReaderInit(int *params, unsigned int *handleOut);
KX_API int KX_CALL KXReaderInitTest(int port, int baud);
/* *status is '2' when the selected card answered the reset, else '0'. */
KX_API int KX_CALL GetReaderStatus(int reserved, char *status);
KX_API int KX_CALL KXReaderPowerOff(int reserved);
KX_API int KX_CALL GetReaderInfo(int reserved, char *model, char *version);

/* ---- raw card access ---- */

/* 12 contact user card, 13 contactless, 14 PSAM, 15 slot 17, other slot 1. */
KX_API int KX_CALL KXSelectIFD(int reserved, int code);
KX_API int KX_CALL KXCpuReset(int reserved, char *resetAnswerHex);
KX_API int KX_CALL KXRunApdu(int reserved, int length, const unsigned char *command,
                             int *replyLength, unsigned char *reply);
/* Returns the number of hex characters in hexReply, or a negative code; -12
 * (nothing sent) for a text that is not pairs of hex digits, spaces allowed
 * between pairs. */
KX_API int KX_CALL KXRunApduTest(int reserved, int hexLength, const char *hexCommand,
                                 char *hexReply);
/* Copies the last record read as hex text; returns its length plus one. */
KX_API int KX_CALL GetCurRecordData(char *text);

/* ---- card and PSAM commands ---- */

/* `data` receives at most le bytes (256 for le 0); a longer record gives -12
 * with nothing written. A status word 00 xx from any card gives -4. */
KX_API int KX_CALL KXReadRecord(int reserved, int recordNumber, int p2, int le,
                                unsigned char *data);
KX_API int KX_CALL KXUpdateRecord(int reserved, int recordNumber, int p2, int length,
                                  const unsigned char *data);
/* -4 when the PSAM answers fewer than the 6 identifier bytes. */
KX_API int KX_CALL KXGetPsamID(int reserved, char *psamId);
KX_API int KX_CALL KXGetPsamIDATR(int reserved, char *psamId, char *resetAnswerHex);
KX_API int KX_CALL KXInternalAuth(int reserved);
KX_API int KX_CALL KXCardLock(int reserved);

/* ---- PIN ---- */

/* Asks the PIN pad for a PIN (mode 1: ESC 'I', other: ESC 'E') and waits up
 * to 60 s; `pin` (7 bytes) receives the first six characters typed.
 * 0, -2 (no pad), -4 (no answer, Escape), -15 (fewer than six characters). */
KX_API int KX_CALL KXReadPassword(int mode, char *pin);
/* Keeps the PIN (hex digits, at most 38) for the reads that need one.
 * Returns the number of PIN bytes kept, or -1. */
KX_API int KX_CALL SetPin(const char *pinText);
/* `pin` is six digits. -11: refused, *retries holds the tries left. */
KX_API int KX_CALL KXCardVerifyPIN(int reserved, const char *pin, int *retries);
KX_API int KX_CALL KXCardChangePIN(int reserved, const char *oldPin, const char *newPin,
                                   int *retries);
/* As above, but the tries left (0 to 15) come back where those give -11. */
KX_API int KX_CALL testKXCardVerifyPIN(const char *pin);
KX_API int KX_CALL testKXCardChangePIN(const char *oldPin, const char *newPin);

/* ---- keys, data items and transparent files ---- */

/* Proves key `keyName` (a name of the card's key table, e.g. "UK1DF01") to the
 * user card by external authentication with a PSAM-derived cryptogram. Needs
 * an open reader with the contact user card powered on. */
KX_API int KX_CALL KXCheckKey(int reserved, const char *keyName);
/* Reads record `recordNumber` (its low byte; 0: every record item of the
 * file) of `file` under `directory` ("DF01", "EF05": the first four
 * characters count), meeting the file's read condition (PIN from SetPin,
 * keys through the PSAM). Numeric items come out as hex text with a NUL,
 * text items as their raw bytes; a whole file is its items one after
 * another. Needs an open reader with the contact user card powered on. */
KX_API int KX_CALL KXReadInfo(int reserved, const char *directory, const char *file,
                              int recordNumber, unsigned char *out);
/* KXReadInfo in one call: finds the reader (USB, the remembered COM port,
 * then COM1 to COM99), powers the user card on, reads, powers both cards
 * off and closes the link. testKXReadInfoAIO is the same function. */
KX_API int KX_CALL KXReadInfoAIO(const char *directory, const char *file, int recordNumber,
                                 unsigned char *out);
KX_API int KX_CALL testKXReadInfoAIO(const char *directory, const char *file, int recordNumber,
                                     unsigned char *out);
/* `length` bytes at `offset` (0 to 32767) of the selected transparent file. */
KX_API int KX_CALL KXReadBinary(int reserved, int offset, int length, unsigned char *out);
/* A transparent file's bytes in one call, as 2 * length hex digits and a NUL. */
KX_API int KX_CALL KXReadBinaryAIO(const char *directory, const char *file, int offset,
                                   int length, char *out);
/* Writes one item (or, for record 0, every item of the file) from its value
 * bytes, after proving the file's write key. */
KX_API int KX_CALL KXUpdateInfo(int reserved, const char *directory, const char *file,
                                int recordNumber, const unsigned char *data);
KX_API int KX_CALL KXUpdateInfoAIO(const char *directory, const char *file, int recordNumber,
                                   const unsigned char *data);
/* Writes `length` bytes at `offset` of the selected transparent file. */
KX_API int KX_CALL KXUpdateBinary(int reserved, int offset, int length,
                                  const unsigned char *data);
KX_API int KX_CALL KXUpdateBinaryAIO(const char *directory, const char *file, int offset,
                                     int length, const unsigned char *data);
/* A fixed test write of the card identification code in one call; `message`
 * (545 bytes) receives KXGetErrMessage's text for its result. Returns 0. */
KX_API int KX_CALL KXTest(char *message);

/* ---- card identity, PIN unlock, application lock ---- */

/* The card number (9 bytes as stored and a NUL: 10 bytes), the card
 * identification code (32 hex digits: 33 bytes) and the organisation number
 * (24 hex digits: 25 bytes), on the reader KXReaderInit opened, from the
 * selected card; the PSAM must answer too. Ends with the card powered off
 * and the link closed, whatever happened. */
KX_API int KX_CALL KXReadCardID(int reserved, char *cardNumber, char *identificationCode,
                                char *organisationNumber);
/* The same in one call: finds the reader and the contact user card itself.
 * -1: no reader found; -6: a reader without a user card. */
KX_API int KX_CALL KXReadCardIDAIO(char *cardNumber, char *identificationCode,
                                   char *organisationNumber);
/* Writes a new card identification code in one call: regionCode (6 hex
 * digits), the card's own bytes 3 to 7, serialPart (8 hex digits) and 4
 * check bytes from the PSAM. newIdentificationCode (33 bytes) receives the
 * 32 hex digits written. -12 (before any command) for a regionCode or
 * serialPart that is shorter or not hex digits; -1: no reader, or a reader
 * without a user card. */
KX_API int KX_CALL KXUpdateCardIDAIO(const char *regionCode, const char *serialPart,
                                     char *newIdentificationCode);
/* Resets the cardholder PIN to `newPin` (6 digits; "" for the default
 * 258147) without the old one. -15: not 6 characters; -12: not all digits.
 * Needs an open reader with the contact user card powered on; leaves both. */
KX_API int KX_CALL KXCardUnlockPIN(int reserved, const char *newPin);
/* Blocks the application directory `directory` ("DF03": its first four
 * characters, hex digits) for good. Needs an open reader with the contact
 * user card powered on. */
KX_API int KX_CALL KXAppLock(int reserved, const char *directory);

/* ---- data dictionary ---- */

/* `text` holds KX_COMBINED_TEXT_SIZE_<directory>_<file> bytes. For a record
 * file `data` holds the file's whole-file read output (2n bytes for each hex
 * item, n for each raw item, as KXReadInfo gives it with record 0); a hex
 * item cut short or empty is taken as the end of the data and refused with
 * -12, nothing after it read. For a transparent file `data` is its hex text,
 * at most twice the file's length. */
KX_API int KX_CALL CombinedData(int fileKind, const char *directory, const char *file,
                                const char *data, char *text);

#if !defined(_WIN32)
/* POSIX only: maps COM port `port` (1..255) to a tty device path; NULL or ""
 * restores the default /dev/ttyS{port-1}. Returns 0, or -12. */
KX_API int KX_CALL KXSetComDevice(int port, const char *devicePath);
#endif

#ifdef __cplusplus
}
#endif

#endif /* KX_ICCREADER_H */
