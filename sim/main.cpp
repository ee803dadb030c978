// kx-sim: the card reader, its user card and its PSAM, served on a
// pseudo-terminal for hosts without hardware.
//
//   $ kx-sim --trace
//   kx-sim: reader on /dev/pts/5
//
// The first stdout line names the device (only the path with
// --print-path-only; --path-file FILE writes it to a file as well). Nothing
// else goes to stdout; the trace and the console talk on stderr.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "capture/kxcap.h"
#include "sim/card.h"
#include "sim/default_profile.h"
#include "sim/hex.h"
#include "sim/keys.h"
#include "sim/profile.h"
#include "sim/profile_text.h"
#include "sim/psam.h"
#include "sim/pty_server.h"
#include "sim/reader.h"
#include "sim/replay_device.h"
#include "sim/sim_options.h"
#include "sim/user_card.h"

namespace {

using kx::sim::Bytes;
using kx::sim::Card;

kx::sim::PtyServer* g_server = nullptr;

extern "C" void OnStopSignal(int) {
  if (g_server != nullptr) g_server->RequestStop();
}

// The cards the reader starts with, by slot. Every slot the reader may hold a
// card in gets one here, even when an option leaves it out at the start, so
// the console can insert it later. The contact card's content is saved to
// --save after every change.
std::map<int, std::shared_ptr<Card>> MakeDefaultCards(const kx::sim::SimOptions& options,
                                                      kx::sim::SimProfile profile) {
  if (options.t0) profile.card.t0 = profile.psam.t0 = true;
  if (options.noMfName) profile.card.mfNameInSelectReply = false;
  if (options.pinTries) {
    profile.card.pinTriesLeft = *options.pinTries;
    profile.card.pinMaxTries = std::max(profile.card.pinMaxTries, *options.pinTries);
  }
  auto user = std::make_shared<kx::sim::UserCard>(profile.card);
  auto psam = std::make_shared<kx::sim::Psam>(profile.psam);
  if (!options.savePath.empty()) {
    user->SetOnChange([path = options.savePath, psam](const kx::sim::CardProfile& card) {
      std::string error;
      if (!kx::sim::SaveProfile(path, {card, psam->profile()}, &error)) {
        std::cerr << "kx-sim: " << error << "\n";
      }
    });
  }
  std::map<int, std::shared_ptr<Card>> cards;
  cards[kx::sim::kSlotContact] = user;
  cards[kx::sim::kSlotPsam] = psam;
  cards[kx::sim::kSlotContactless] = std::make_shared<kx::sim::UserCard>(profile.card);
  return cards;
}

// Which of those cards are in the reader when it starts.
bool InsertedAtStart(int slot, const kx::sim::SimOptions& options) {
  if (slot == kx::sim::kSlotContact) return !options.noCard;
  if (slot == kx::sim::kSlotPsam) return !options.noPsam;
  if (slot == kx::sim::kSlotContactless) return options.contactlessCard;
  return true;
}

// On a paced line each entry carries its share of the line, from which a
// host's lower bound is computed (sim/line_budget.h).
void PrintTrace(kx::sim::Reader& reader, bool withLine) {
  for (const kx::sim::TraceEntry& e : reader.trace()) std::cerr << e.Describe(withLine) << "\n";
  std::cerr.flush();
}

const char kConsoleHelp[] =
    "commands: insert SLOT | remove SLOT | cards | clear (faults) | quit\n"
    "slots: 0 contact user card, 16 PSAM, 255 contactless user card\n";

void RunConsoleLine(const std::string& line, kx::sim::Reader& reader,
                    const std::map<int, std::shared_ptr<Card>>& cards, kx::sim::PtyServer& server) {
  std::istringstream in(line);
  std::string command;
  int slot = -1;
  in >> command;
  if (command.empty()) return;
  if (command == "insert" || command == "remove") {
    if (!(in >> slot) || !cards.contains(slot)) {
      std::cerr << "kx-sim: no card for that slot\n";
      return;
    }
    if (command == "insert") {
      reader.Insert(slot, cards.at(slot));
    } else {
      reader.Remove(slot);
    }
    std::cerr << "kx-sim: slot " << slot << (command == "insert" ? " has a card\n" : " is empty\n");
  } else if (command == "cards") {
    for (const auto& [s, card] : cards) {
      std::cerr << "kx-sim: slot " << s << ": "
                << (reader.CardIn(s) ? (reader.IsPowered(s) ? "powered" : "present") : "empty")
                << "\n";
    }
  } else if (command == "clear") {
    reader.ClearFaults();
    std::cerr << "kx-sim: faults cleared\n";
  } else if (command == "quit") {
    server.RequestStop();
  } else {
    std::cerr << kConsoleHelp;
  }
}

bool WritePathFile(const std::string& file, const std::string& path) {
  const std::string temporary = file + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = std::fprintf(f, "%s\n", path.c_str()) > 0;
  if (std::fclose(f) != 0 || !written) return false;
  // Renamed into place so a script polling for the file never reads half a path.
  return std::rename(temporary.c_str(), file.c_str()) == 0;
}

// The check bytes of an identification code, worked out the way the PSAM
// does, so a rewritten code can be checked from outside the library.
int PrintCheckBytes(const std::string& code, const kx::sim::SimProfile& profile) {
  const auto check = kx::sim::IdentificationCheckBytes(profile.card.atr, code.substr(0, 24));
  if (!check) {
    std::cerr << "kx-sim: --check-bytes " << code << ": not an identification code\n";
    return 2;
  }
  const std::string digits = kx::sim::HexText(check->data(), check->size(), '\0');
  std::cout << digits << std::endl;
  if (code.size() == 24) return 0;
  std::string given = code.substr(24);
  for (char& c : given) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (given == digits) return 0;
  std::cerr << "kx-sim: the code's check bytes " << code.substr(24) << " differ\n";
  return 1;
}

// The content the cards start with: the default cardholder's, or --profile's.
bool LoadStartProfile(const kx::sim::SimOptions& options, kx::sim::SimProfile* profile) {
  *profile = kx::sim::DefaultProfile();
  if (options.profilePath.empty()) return true;
  std::string error;
  if (kx::sim::LoadProfile(options.profilePath, profile, &error)) return true;
  std::cerr << "kx-sim: " << error << "\n";
  return false;
}

// The server's rules for a session: when it gives up, how fast the line is,
// what it prints after each batch, and the console.
void ConfigureServer(kx::sim::PtyServer& server, kx::sim::Reader& reader,
                     const std::map<int, std::shared_ptr<Card>>& cards,
                     const kx::sim::SimOptions& options) {
  server.SetIdleLimitMs(options.exitAfterIdleMs);
  server.SetBaud(options.baud);
  // The trace is printed and dropped after every batch so a long session
  // does not grow without bound.
  server.SetAfterInput([&reader, &options] {
    if (options.trace) PrintTrace(reader, options.baud != 0);
    reader.ClearTrace();
  });
  if (options.console) {
    server.WatchLines(STDIN_FILENO, [&reader, &cards, &server](const std::string& line) {
      RunConsoleLine(line, reader, cards, server);
    });
  }
}

// SIGINT, SIGTERM and SIGHUP end serving in good order (the profile is
// saved); a host that closes the line mid-write is no reason to die.
void CatchStopSignals(kx::sim::PtyServer& server) {
  g_server = &server;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Tells the host where the reader is: --path-file, then stdout's first line.
bool AnnouncePath(const kx::sim::SimOptions& options, const std::string& path) {
  if (!options.pathFile.empty() && !WritePathFile(options.pathFile, path)) {
    std::cerr << "kx-sim: cannot write " << options.pathFile << "\n";
    return false;
  }
  if (options.printPathOnly) {
    std::cout << path << std::endl;
  } else {
    std::cout << "kx-sim: reader on " << path << std::endl;
  }
  return true;
}

// The contact card and the PSAM as they stand at the end, to --save.
bool SaveCards(const std::string& path, const std::map<int, std::shared_ptr<Card>>& cards) {
  const auto& user = static_cast<const kx::sim::UserCard&>(*cards.at(kx::sim::kSlotContact));
  const auto& psam = static_cast<const kx::sim::Psam&>(*cards.at(kx::sim::kSlotPsam));
  std::string error;
  if (kx::sim::SaveProfile(path, {user.profile(), psam.profile()}, &error)) return true;
  std::cerr << "kx-sim: " << error << "\n";
  return false;
}

// A capture's device side, served on a pseudo-terminal until the host
// differs from the recording (exit status 3) or a stop.
int ServeReplay(const kx::sim::SimOptions& options) {
  std::ifstream in(options.replayPath, std::ios::binary);
  if (!in) {
    std::cerr << "kx-sim: cannot read " << options.replayPath << "\n";
    return 1;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  kx::capture::Capture capture;
  std::string error;
  if (!kx::capture::ParseCapture(text, &capture, &error)) {
    std::cerr << "kx-sim: " << options.replayPath << ": " << error << "\n";
    return 1;
  }
  kx::sim::ReplayDevice device(capture, options.replayFast);
  kx::sim::PtyServer server(device);
  if (!server.Open(&error)) {
    std::cerr << "kx-sim: cannot create a pseudo-terminal: " << error << "\n";
    return 1;
  }
  server.SetIdleLimitMs(options.exitAfterIdleMs);
  server.SetAfterInput([&] {
    if (!device.Difference().empty()) server.RequestStop();
  });
  CatchStopSignals(server);
  if (!AnnouncePath(options, server.SlavePath())) return 1;
  server.Serve();
  g_server = nullptr;
  if (!options.pathFile.empty()) unlink(options.pathFile.c_str());
  if (!device.Difference().empty()) {
    std::cerr << "kx-sim: replay of " << options.replayPath << ": " << device.Difference();
    return 3;
  }
  return 0;
}

// The reader with its cards, served on a pseudo-terminal until a stop.
int Serve(const kx::sim::SimOptions& options, const kx::sim::SimProfile& profile) {
  kx::sim::Reader reader;
  const std::map<int, std::shared_ptr<Card>> cards = MakeDefaultCards(options, profile);
  for (const auto& [slot, card] : cards) {
    if (InsertedAtStart(slot, options)) reader.Insert(slot, card);
  }
  reader.faults() = options.faults;
  reader.SetTiming(kx::sim::TimingOf(options));
  if (options.pullCardAt) {
    // The reader's own count restarts with each printed batch of the trace.
    reader.SetCommandHook([&reader, at = *options.pullCardAt, seen = std::size_t{0}](
                              std::size_t, const Bytes&) mutable {
      if (seen++ == at) reader.Remove(kx::sim::kSlotContact);
    });
  }

  kx::sim::PtyServer server(reader);
  std::string error;
  if (!server.Open(&error)) {
    std::cerr << "kx-sim: cannot create a pseudo-terminal: " << error << "\n";
    return 1;
  }
  ConfigureServer(server, reader, cards, options);
  CatchStopSignals(server);
  if (!AnnouncePath(options, server.SlavePath())) return 1;

  const kx::sim::PtyServer::StopReason reason = server.Serve();
  g_server = nullptr;
  if (options.trace) PrintTrace(reader, options.baud != 0);
  if (!options.pathFile.empty()) unlink(options.pathFile.c_str());
  if (!options.savePath.empty() && !SaveCards(options.savePath, cards)) return 1;
  if (reason == kx::sim::PtyServer::StopReason::kError) {
    std::cerr << "kx-sim: the pseudo-terminal failed\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  kx::sim::SimOptions options;
  if (std::string error = kx::sim::ParseSimOptions(argc, argv, options); !error.empty()) {
    std::cerr << "kx-sim: " << error << "\n"
              << "try: kx-sim --help\n";
    return 2;
  }
  if (options.help) {
    std::cout << kx::sim::SimUsage("kx-sim");
    return 0;
  }
  if (!options.replayPath.empty()) return ServeReplay(options);
  kx::sim::SimProfile profile;
  if (!LoadStartProfile(options, &profile)) return 2;
  if (!options.checkBytesCode.empty()) return PrintCheckBytes(options.checkBytesCode, profile);
  return Serve(options, profile);
}
