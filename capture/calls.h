// An export call in a capture: its arguments written on the "call" record and
// its outputs on the "return" record, by the kinds of capture/export_shapes.h;
// and, for replay, the arguments rebuilt from a recorded call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/kxcap.h"

namespace kx::capture {

// One argument as the call passed it: an int, or a pointer.
struct Arg {
  std::int64_t number = 0;
  const void* pointer = nullptr;
};

// The kinds of export `name` ("i o"), or nullptr for a name not in the table.
const char* ShapeOf(const char* name);

// Appends " VALUE" for every argument: inputs with their value, outputs as
// "-" (or "null" for a null pointer). PINs become "pin:LENGTH".
void AppendCallValues(std::string& line, const char* shape, const Arg* args, int count);

// Appends " VALUE" for every output: texts and bytes only when `result` is
// not negative (on failure the library may leave the host's buffer as it
// was), ints always, handles as "-". PIN outputs become "pin:LENGTH".
void AppendReturnValues(std::string& line, const char* shape, const Arg* args, int count,
                        std::int64_t result);

// The arguments of a recorded call, rebuilt: inputs from the values, outputs
// as zeroed buffers that outlive the call. PINs of a recorded length become
// digits of that length.
class ReplayArgs {
 public:
  // False with why in *error when the values do not fit the shape.
  bool Build(const char* shape, const std::vector<Value>& values, std::string* error);
  std::vector<Arg>& args() { return args_; }

 private:
  std::vector<Arg> args_;
  std::vector<std::vector<std::uint8_t>> storage_;
  std::vector<std::vector<int>> ints_;
};

}  // namespace kx::capture
