// The few things kxcard needs from the operating system, one file per OS.
#pragma once

#include <string>

namespace kxcard {

// GBK bytes (the library's messages) to UTF-8 for the terminal.
std::string GbkToUtf8(const std::string& gbk);

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

}  // namespace kxcard
