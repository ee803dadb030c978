// What the simulator build needs of the system it runs on: where the library
// file is, and where a developer sees its messages.
#pragma once

#include <string>

namespace kx::simlib {

// The folder of the library file, with its trailing separator; empty when it
// cannot be found.
std::string LibraryDirectory();

// One line for the developer: stderr on Linux; the debugger's output on
// Windows, and stderr too when the process has one.
void Say(const std::string& line);

}  // namespace kx::simlib
