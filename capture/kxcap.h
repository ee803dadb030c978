// The capture format (.kxcap): a recorded session, one record a line, so a
// capture can be read, diffed and edited by hand. docs/capture.md describes
// every record. This module writes the pieces of a line and parses a whole
// capture strictly: a capture comes from outside (a clinic's machine, a
// mail), so every field is checked and bounded, and a bad file gets an error
// naming its line, never a crash.
//
// It uses only the standard library: the diagnostic build writes with it,
// kx-sim --replay and kxcard replay read with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx::capture {

inline constexpr int kFormatVersion = 1;

// Bounds of what a capture may hold; beyond them the parser refuses it.
inline constexpr std::size_t kMaxLineLength = 16384;
inline constexpr std::size_t kMaxEvents = 1000000;
inline constexpr std::size_t kMaxBytesPerRecord = 4096;
inline constexpr int kMaxPinLength = 64;

// A byte of the line as recorded: 0..255, or kRedacted for a PIN byte that
// was never written down (it matches any byte on replay).
inline constexpr int kRedacted = -1;
using Bytes = std::vector<int>;

enum class Kind {
  kCall,         // call MS SEQ NAME VALUE...         an export is entered
  kReturn,       // return MS SEQ NAME RESULT VALUE... error=TEXT
  kSerialOpen,   // open MS PORT ok|failed
  kSerialLine,   // line MS PORT BAUD BITS PARITY     the port's settings
  kSerialClose,  // close MS PORT
  kSerialTx,     // tx MS PORT BYTES                  host to device
  kSerialRx,     // rx MS PORT BYTES                  device to host
  kHidOpen,      // hid-open MS ok|failed TEXT        (the device path)
  kHidOut,       // hid-out MS BYTES                  one output report
  kHidIn,        // hid-in MS BYTES                   one input report
  kTrace,        // trace MS free text                the diagnostic trace's line
};

// One argument or output of an export, as a token of the line.
struct Value {
  enum class Type { kNone, kInt, kNull, kText, kBytes, kPin, kInts } type = Type::kNone;
  std::int64_t number = 0;         // kInt; kPin: its length
  std::string text;                // kText: the bytes of the text
  Bytes bytes;                     // kBytes
  std::vector<std::int64_t> ints;  // kInts
};

struct Event {
  Kind kind = Kind::kTrace;
  int line = 0;              // line number in the file, for messages
  std::uint32_t timeMs = 0;  // milliseconds since the capture started
  int port = 0;              // serial records
  bool ok = false;           // open, hid-open
  int baud = 0, bits = 0, parity = 0;
  Bytes bytes;       // tx, rx, hid-out, hid-in
  long seq = 0;      // call, return
  std::string name;  // call, return: the export
  std::vector<Value> values;
  std::vector<std::string> tokens;  // the values as written, for messages
  std::int64_t result = 0;          // return
  std::string text;                 // return: ErrorText after the call; trace, hid-open: the text
};

struct Capture {
  int version = 0;
  std::string library;   // "1.0.307 diagnostic"
  std::string platform;  // "linux-x86_64", "windows-i686"
  std::vector<Event> events;
  // The last line had no line break (the host stopped while it was being
  // written): it was left out.
  bool truncatedTail = false;
};

// Parses a whole capture. False with "line N: why" in *error.
bool ParseCapture(std::string_view text, Capture* capture, std::string* error);

// ---- writing the pieces of a line ----

// A text value: "..." with \\, \", and \xHH for every byte outside 0x21..0x7E
// except those two, so a value is one token and the line stays ASCII.
void AppendText(std::string& line, const char* text, std::size_t length);
// A bytes value: x:HEX with "**" for each byte in [secretFrom, secretTo).
void AppendBytes(std::string& line, const std::uint8_t* bytes, std::size_t count,
                 std::size_t secretFrom = SIZE_MAX, std::size_t secretTo = SIZE_MAX);
// Bytes with some marked as redacted (kRedacted), as x:HEX.
void AppendBytes(std::string& line, const Bytes& bytes);

// The keyword of a record kind ("tx", "hid-in", ...).
const char* KindName(Kind kind);

// Bytes as spaced hex ("02 30 **"), for messages.
std::string SpacedHex(const Bytes& bytes, std::size_t from = 0, std::size_t count = SIZE_MAX);

}  // namespace kx::capture
