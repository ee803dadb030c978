// The few things kxcard needs from the operating system, one file per OS.
#pragma once

#include <string>

namespace kxcard {

// GBK bytes (the library's messages) to UTF-8 for the terminal.
std::string GbkToUtf8(const std::string& gbk);
// UTF-8 to GBK, for the card's text items; false when the text is not valid
// UTF-8 or has a character GBK lacks.
bool Utf8ToGbk(const std::string& utf8, std::string* gbk);

// A running kx-sim serving a simulated reader.
struct Simulator {
  int pid = -1;
  std::string devicePath;  // the pseudo-terminal the reader sits on
};

// Starts kx-sim (from $KX_SIM, else next to this program, else on PATH) with
// `extraArgs`, and waits until it reports its pseudo-terminal. False with a
// reason in *error when it cannot.
bool StartSimulator(const std::string& argv0, const std::string& extraArgs, Simulator* sim,
                    std::string* error);
void StopSimulator(Simulator* sim);

// Maps COM port `port` to `devicePath` through the library (POSIX only).
// False where the platform has no such mapping.
bool MapComPort(int port, const std::string& devicePath, int* code);

// Shows "`label` N s" on one terminal line, counting down from `seconds`
// once a second, while the caller blocks in a library call; the destructor
// stops it and clears the line.
class Countdown {
 public:
  Countdown(const std::string& label, int seconds);
  ~Countdown();
  Countdown(const Countdown&) = delete;
  Countdown& operator=(const Countdown&) = delete;

  struct Impl;  // each platform's own

 private:
  Impl* impl_;
};

}  // namespace kxcard
