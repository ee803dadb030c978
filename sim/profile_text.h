// The profile file kx-sim loads and saves: the simulated cards' persistent
// content as text.
//
// UTF-8 text; '#' or ';' starts a comment; hex values may hold spaces between
// bytes:
//
//   [card]
//   atr = 3B 6D 00 00 ...        reset answer
//   pin = 123456                 PIN digits (2 to 12), BCD on the card
//   pin-tries = 3                tries left / most tries
//   pin-max-tries = 3
//   t0 = no                      yes: 61xx + GET RESPONSE, 6Cxx for a wrong Le
//   mf-name = yes                the MF's SELECT reply carries its name
//   locked = DF02 DF0A           locked applications (optional)
//
//   [psam]
//   atr = 3B 6A ...
//   terminal-id = 330329000001   6 bytes, file 0016
//   t0 = no
//
//   [keys]
//   3F00 04 = <16 bytes hex> 8 8   directory, card key id = key, tries left,
//                                  most tries (tries optional)
//
//   [file 3F00 EF05]             a record file: record number = whole record
//   1 = 01 10 33 03 29 ...        (tag, length and value as the card holds it)
//   9 = "张三"                    or text: tag and length from the card,
//                                  the value GBK, padded with zero bytes
//   [file 3F00 EF07]             a transparent file: @offset (hex) = bytes
//   @0000 = 00 01 02 ...
//
// Everything a file leaves out keeps the default cardholder's content, except
// the keys: a key the file does not list is diversified from the profile's own
// reset answer and identification code, so a hand-written profile is
// consistent. Saved profiles list every key, so that rewriting the
// identification code later does not silently change the card's keys.
#pragma once

#include <string>

#include "sim/profile.h"

namespace kx::sim {

// FormatProfile writes every field; ParseProfile starts from the default
// cardholder and applies the text. On failure `error` names the line and the
// fault, and *profile is left unchanged.
std::string FormatProfile(const SimProfile& profile);
bool ParseProfile(const std::string& text, SimProfile* profile, std::string* error);

bool LoadProfile(const std::string& path, SimProfile* profile, std::string* error);
// Writes to a temporary file beside `path`, then renames it over `path`.
bool SaveProfile(const std::string& path, const SimProfile& profile, std::string* error);

}  // namespace kx::sim
