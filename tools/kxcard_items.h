// kxcard's data-item commands: the card's items read and written by
// directory, file and record through the all-in-one exports, with names
// from the data dictionary; the key check; the preset PIN.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/kxcard_common.h"

namespace kxcard {

struct ItemOptions {
  int port = 1;  // the COM port of the reader (100: USB)
  int baud = 9600;
  std::string device;  // the tty COM `port` is mapped to (Linux); empty: the default
  bool json = false;   // one JSON object on stdout instead of text
  std::string pin;     // handed to SetPin before the command, when set
  bool yes = false;    // a command that changes the card for good asks nothing
};

// Usage lines of the commands below.
extern const char kItemUsage[];

// Runs `command` when it is one of: read, read-binary, write, write-binary,
// check-key, set-pin. Returns the exit status (0 ok, 1 the library failed,
// 2 usage), or -1 when `command` is none of them.
int RunItemCommand(const std::string& command, const std::vector<std::string>& args,
                   const ItemOptions& options);

// `files [DIR [FILE]]`: the card's map, as text or one JSON object a file.
int CommandFiles(const std::vector<std::string>& args, bool json);

// Shared with the other command groups.
// The library's code and `message` (the code's text, taken before anything
// could clear the explanation behind it), as text or JSON on stderr; returns 1.
int Failed(const ItemOptions& o, const char* call, int code, const std::string& message);
int Failed(const ItemOptions& o, const char* call, int code);
// Opens the reader and powers the contact user card on, runs `call` (an
// export that needs both), and closes the reader again: 0, or the failure
// reported as `name`'s, with the text taken before the closing power-off
// clears it.
int OnOpenReader(const ItemOptions& o, const char* name, const std::function<int()>& call);
// The all-in-one exports look for the reader at the remembered COM port
// before they scan: make that the port the user named.
void RememberPort(const ItemOptions& o);

}  // namespace kxcard
