// Command-line options of the kx-sim program. Each option is one row of the
// table in sim_options.cpp: add a field here and a row there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/reader.h"

namespace kx::sim {

struct SimOptions {
  // Which cards sit in the reader.
  bool noCard = false;           // contact slot 0 empty
  bool noPsam = false;           // PSAM slot 16 empty
  bool contactlessCard = false;  // a user card in the field (slot 255) too

  // What the cards hold and how they answer.
  std::string profilePath;      // load the cards from this profile file
  std::string savePath;         // save the cards' profile here after every change and at exit
  bool t0 = false;              // both cards answer as T=0 cards (61xx, 6Cxx)
  bool noMfName = false;        // the user card's MF reply leaves its name out
  std::optional<int> pinTries;  // the user card's PIN tries left at the start (0: blocked)
  // The user card is pulled out of slot 0 when the reader receives its
  // command number pullCardAt + 1 (after that many commands), mid-session.
  std::optional<std::size_t> pullCardAt;

  // How the reader misbehaves, from the start.
  ReaderFaults faults;

  // The pace of a real line and real cards: 0 serves bytes at once, and the
  // cards take no time unless told to.
  std::uint32_t baud = 0;
  std::optional<std::uint32_t> cardTimeMs;    // every command
  std::optional<std::uint32_t> cryptoTimeMs;  // the PSAM's BF DE and 80 FA

  // Plays the device side of a capture (.kxcap) instead of the simulated
  // reader: at the recorded pace, or at once with replayFast.
  std::string replayPath;
  bool replayFast = false;

  // The program itself.
  bool trace = false;          // decoded trace on stderr
  bool console = false;        // card and fault commands on stdin
  bool printPathOnly = false;  // first stdout line is the bare device path
  std::string pathFile;        // also write the device path here
  std::uint64_t exitAfterIdleMs = 0;
  bool help = false;
  // Print the check bytes of this identification code (24 or 32 hex
  // digits) for the user card, and exit.
  std::string checkBytesCode;
};

struct SimOptionEntry {
  const char* name;      // "--delay"
  const char* argument;  // "MS"; nullptr for a flag
  const char* help;
  // Empty on success, else why the value is refused.
  std::string (*apply)(SimOptions& options, const std::string& value);
};

const std::vector<SimOptionEntry>& SimOptionTable();

// On a paced line (--baud) the cards take a realistic time unless told
// otherwise: a few milliseconds a command, more for the PSAM's key work.
inline constexpr std::uint32_t kPacedCardTimeMs = 3;
inline constexpr std::uint32_t kPacedCryptoTimeMs = 15;

// The reader's timing the options ask for.
ReaderTiming TimingOf(const SimOptions& options);

// Parses argv[1..]: "--name value" and "--name=value". Empty on success,
// else a message for the user.
std::string ParseSimOptions(int argc, const char* const* argv, SimOptions& options);

std::string SimUsage(const std::string& program);

}  // namespace kx::sim
