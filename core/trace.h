// The trace: every frame sent to the reader and received from it, every APDU
// with its status word and time, the PIN pad's dialogue and every export's
// result, one line each, handed to a sink.
//
// The product installs no sink: each trace point is then a single test of a
// null pointer and nothing is formatted. The diagnostic build of the library
// installs one that appends to a file. PIN data never reach a line: the
// data of VERIFY, of the PIN change and reset commands, of the PSAM
// encipherment that carries the PIN block, and the characters typed on the
// pad are written as "**".
#pragma once

#include <cstdint>

#include "core/state.h"

namespace kx {

// Installs `sink` (nullptr: the trace is off). The sink receives each
// finished line, without a line break, while the export that made it holds
// the library's lock.
void SetTraceSink(TraceSink sink);

inline bool TraceOn() {
  return State.traceSink != nullptr;
}

// Where the secret part of a command APDU starts: its data field for the
// commands that carry PIN data, else `length` (nothing secret).
int ApduSecretOffset(const std::uint8_t* apdu, int length);

namespace trace_detail {
void FrameSent(const std::uint8_t* body, int bodyLength, const std::uint8_t* wire, int wireLength);
void FrameReceived(const std::uint8_t* wire, int wireLength);
void Apdu(int slot, const std::uint8_t* command, int commandLength, const std::uint8_t* reply,
          int replyLength, int result, std::uint32_t elapsedMs);
void PinPad(int mode, int characters, int result);
void ExportResult(const char* name, int result);
void Text(const char* text);
}  // namespace trace_detail

// A command frame as written: its body (reader class, command, slot, APDU)
// and the bytes on the wire.
inline void TraceFrameSent(const std::uint8_t* body, int bodyLength, const std::uint8_t* wire,
                           int wireLength) {
  if (TraceOn()) trace_detail::FrameSent(body, bodyLength, wire, wireLength);
}

// What the read of a reply gave: `wireLength` bytes, or a negative code when
// nothing usable came.
inline void TraceFrameReceived(const std::uint8_t* wire, int wireLength) {
  if (TraceOn()) trace_detail::FrameReceived(wire, wireLength);
}

// One APDU exchange as its caller saw it (GET RESPONSE and re-sends
// included): the command, the final reply with its status word, the result.
inline void TraceApdu(int slot, const std::uint8_t* command, int commandLength,
                      const std::uint8_t* reply, int replyLength, int result,
                      std::uint32_t elapsedMs) {
  if (TraceOn()) {
    trace_detail::Apdu(slot, command, commandLength, reply, replyLength, result, elapsedMs);
  }
}

// The PIN pad's answer: how many characters came, never which.
inline void TracePinPad(int mode, int characters, int result) {
  if (TraceOn()) trace_detail::PinPad(mode, characters, result);
}

inline void TraceExportResult(const char* name, int result) {
  if (TraceOn()) trace_detail::ExportResult(name, result);
}

// A line a layer formatted itself (the link's failed open with the operating
// system's reason); cut like every other line.
inline void TraceText(const char* text) {
  if (TraceOn()) trace_detail::Text(text);
}

}  // namespace kx
