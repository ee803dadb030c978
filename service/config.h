// kx-service's settings: built-in defaults, then the machine's configuration
// file, then the user's, then the command line (--config FILE reads that file
// instead of both). The file has one `key = value` a line, `#` comments:
//
//   allow_origin = https://his.example.org   (repeatable: each adds one)
//   allow_writes = false                     (item updates, PIN change, unlock)
//   allow_typed_pin = false                  (PIN digits in a request body)
//   port = 18787                             (the service's TCP port)
//   com_port = 1                             (the reader's COM port; 100: USB)
//   device = /dev/ttyUSB0                    (Linux: the tty of that COM port)
//   request_timeout_ms = 5000                (a whole request must arrive in it)
#pragma once

#include <string>
#include <vector>

namespace kxservice {

struct Config {
  int port = 18787;
  int comPort = 1;
  std::string device;
  std::vector<std::string> allowOrigins;  // "scheme://host[:port]", lower case
  bool allowWrites = false;
  bool allowTypedPin = false;
  int requestTimeoutMs = 5000;
};

// Where the configuration files lie on this system: the machine's, then the
// user's (either may be empty where the system has none).
std::vector<std::string> ConfigFilePaths();

// Applies the `key = value` lines of `text` (from `source`, named in errors).
bool ApplyConfigText(const std::string& text, const std::string& source, Config* config,
                     std::string* error);

// Reads the configuration files (or --config's) and the command line.
// Returns 0 to run, 1 after --help or --version (printed to stdout), 2 with
// the reason in *error for a usage error.
int LoadConfig(int argc, char** argv, Config* config, std::string* error);

// An origin as the service compares it: lower case, no trailing '/'; empty
// for a text that is no "scheme://host[:port]".
std::string NormalOrigin(const std::string& origin);

extern const char kUsage[];

}  // namespace kxservice
