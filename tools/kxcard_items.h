// kxcard's data-item commands: the card's items read and written by
// directory, file and record through the all-in-one exports, with names
// from the data dictionary; the key check; the preset PIN.
#pragma once

#include <string>
#include <vector>

namespace kxcard {

struct ItemOptions {
  int port = 1;  // the COM port of the reader (100: USB)
  int baud = 9600;
  bool json = false;  // one JSON object on stdout instead of text
  std::string pin;    // handed to SetPin before the command, when set
};

// Usage lines of the commands below.
extern const char kItemUsage[];

// Runs `command` when it is one of: read, read-binary, write, write-binary,
// check-key, set-pin. Returns the exit status (0 ok, 1 the library failed,
// 2 usage), or -1 when `command` is none of them.
int RunItemCommand(const std::string& command, const std::vector<std::string>& args,
                   const ItemOptions& options);

}  // namespace kxcard
