// What kxcard's commands share: exit codes, the library's messages in UTF-8,
// JSON strings, hex, failure reports and opening the reader.
//
// Results go to stdout; failures and progress to stderr. With --json a
// result is one JSON object on stdout and a failure one on stderr.
#pragma once

#include <cstddef>
#include <string>

namespace kxcard {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the library or the card reported a failure
inline constexpr int kExitUsage = 2;    // the command line is wrong
inline constexpr int kUsbPort = 100;
inline constexpr int kMessageSize = 545;

// The reader a command talks to.
struct ReaderChoice {
  int port = 1;  // COM port number, 100 for USB
  int baud = 9600;
  std::string device;  // the tty COM `port` is mapped to (Linux); empty: the default
  bool json = false;
};

// The library's message of `code` in UTF-8, its "\r\n" as "\n" and without
// a line break at the end.
std::string Message(int code);

// `utf8` as a JSON string, quotes included.
std::string Json(const std::string& utf8);

// Bytes as upper-case hex, `separator` between two bytes.
std::string Hex(const unsigned char* bytes, int count, const char* separator = "");

// An APDU as hex for the terminal, its data as "**" when it carries PIN
// data (VERIFY, PIN change and reset), as the library's trace shows it.
std::string ApduText(const std::string& apdu, const char* separator = "");

// Hex digits (spaces and ':' between them allowed) to bytes; false for an odd
// count or a character that is no hex digit.
bool ParseHex(const std::string& text, std::string* bytes);

// Reports a failure of library call `call` with its result code and
// message on stderr; returns kExitFailure. `message` is the code's text,
// taken before anything could clear the explanation behind it.
int Failed(bool json, const std::string& call, int code, const std::string& message);
int Failed(bool json, const std::string& call, int code);

// Whether failures and usage errors are reported as JSON (--json): set once,
// before the command runs.
void SetJsonErrors(bool json);
bool JsonErrors();

// Reports a usage error on stderr, one line: returns kExitUsage.
int Usage(const std::string& why);

// Reports a failure that is no library call's (nothing found, a file that
// cannot be read) on stderr, one line; returns kExitFailure.
int Problem(const std::string& message);

// Prints a progress line ("\r"-rewritten) on stderr, or clears it; only
// when stderr is a terminal.
void Progress(const std::string& text);
void ClearProgress();

// Asks the PIN pad (mode 1: ESC 'I', else ESC 'E') for the cardholder's PIN;
// the six characters into `pin` (KX_PIN_SIZE + 1 bytes; the caller wipes
// them). The library's code; a failure is reported (a missing pad as "PIN
// pad not found").
int AskPad(int mode, char* pin);

// Overwrites a secret.
void Wipe(char* secret, std::size_t size);
void Wipe(std::string& secret);

// Six digits.
bool IsPin(const std::string& pin);

// The port as people name it: "COM3", "COM3 (/dev/ttyUSB0)", "USB".
std::string PortName(const ReaderChoice& reader);

// Opens the reader. On failure reports the library's code, the device and
// the operating system's reason, and returns kExitFailure.
int OpenReader(const ReaderChoice& reader);

// Selects the user card (or the PSAM) and powers it on; its reset answer as
// hex into *atr. The library's result code.
int PowerOnCard(bool psam, std::string* atr);

}  // namespace kxcard
