// The few things kxcard needs from the operating system, one file per OS.
#pragma once

#include <string>
#include <vector>

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

// The device COM port `port` opens when nothing is mapped to it
// (/dev/ttyS{port-1} on Linux); empty where the system opens ports by number.
std::string DefaultDevice(int port);

// Why COM port `port` (mapped to `device`; empty: the default) or, for port
// 100, the USB reader could not be opened, as the operating system tells it
// when kxcard tries the device itself, with a hint where one helps.
std::string OpenFailureReason(int port, const std::string& device);

// A serial port for `kxcard scan`: the COM number the library opens it by,
// and the device to map that number to first (empty: none needed).
struct ScanPort {
  int port = 0;
  std::string device;
};
// COM1 to COM99, and on Linux /dev/ttyUSB* and /dev/ttyACM* as COM101 and
// up; only ports whose device exists where the system can tell.
std::vector<ScanPort> ScanPorts();

// Whether standard input / standard error is a terminal (a console).
bool StdinIsTerminal();
bool StderrIsTerminal();

// Shows `prompt` on stderr and reads one line from the terminal on stdin
// without echoing it; false when nothing could be read.
bool ReadSecretLine(const std::string& prompt, std::string* line);

// Makes the console show UTF-8 text (Windows); nothing where it already does.
void PrepareConsole();

// -v: runs this program again over the library's diagnostic build, its
// trace going to stderr. Returns true at once when this process already
// runs over it; otherwise returns only on failure, with the reason.
bool RunWithTrace(char** argv, std::string* error);

// Shows "`label` N s" on one terminal line (nothing when stderr is no
// terminal), counting down from `seconds`
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
