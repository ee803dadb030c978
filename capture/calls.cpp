#include "capture/calls.h"

#include <cstring>

#include "capture/export_shapes.h"

namespace kx::capture {

namespace {

// The longest text or byte output the library writes (CombinedData's 2592
// bytes), with room to spare: outputs are read up to here at most.
constexpr std::size_t kMaxOutput = 4096;

struct ShapeRow {
  const char* name;
  const char* shape;
};

#define KX_SHAPE_ROW(name, shape, params, args) {#name, shape},
constexpr ShapeRow kShapes[] = {KX_CAPTURED_EXPORTS(KX_SHAPE_ROW)
                                    KX_CAPTURED_POSIX_EXPORTS(KX_SHAPE_ROW)};
#undef KX_SHAPE_ROW

// The kinds of a shape, one string each ("i", "b3").
std::vector<std::string> Kinds(const char* shape) {
  std::vector<std::string> kinds;
  std::string kind;
  for (const char* c = shape;; ++c) {
    if (*c == ' ' || *c == '\0') {
      if (!kind.empty()) kinds.push_back(kind);
      kind.clear();
      if (*c == '\0') break;
    } else {
      kind.push_back(*c);
    }
  }
  return kinds;
}

bool IsOutput(char kind) {
  return std::strchr("ocqBrARnu", kind) != nullptr;
}

// The parameter a kind such as "b3" names, when it is an int argument.
std::int64_t CountFrom(const std::string& kind, const Arg* args, int count) {
  const int at = kind.size() > 1 ? kind[1] - '0' : -1;
  if (at < 0 || at >= count) return 0;
  if (kind[0] == 'R') {
    const auto* n = static_cast<const int*>(args[at].pointer);
    return n != nullptr ? *n : 0;
  }
  return args[at].number;
}

std::size_t TextLength(const void* text) {
  const auto* bytes = static_cast<const char*>(text);
  std::size_t n = 0;
  while (n < kMaxOutput && bytes[n] != '\0') ++n;
  return n;
}

void AppendBytesOf(std::string& line, const void* pointer, std::int64_t count) {
  if (count < 0) count = 0;
  if (count > static_cast<std::int64_t>(kMaxOutput)) count = kMaxOutput;
  AppendBytes(line, static_cast<const std::uint8_t*>(pointer), static_cast<std::size_t>(count));
}

}  // namespace

const char* ShapeOf(const char* name) {
  for (const ShapeRow& row : kShapes) {
    if (std::strcmp(row.name, name) == 0) return row.shape;
  }
  return nullptr;
}

void AppendCallValues(std::string& line, const char* shape, const Arg* args, int count) {
  const std::vector<std::string> kinds = Kinds(shape);
  for (int i = 0; i < count && i < static_cast<int>(kinds.size()); ++i) {
    const std::string& kind = kinds[i];
    const Arg& arg = args[i];
    line.push_back(' ');
    if (kind == "i") {
      line += std::to_string(arg.number);
    } else if (arg.pointer == nullptr) {
      line += "null";
    } else if (IsOutput(kind[0])) {
      line.push_back('-');
    } else if (kind == "t") {
      AppendText(line, static_cast<const char*>(arg.pointer), TextLength(arg.pointer));
    } else if (kind == "p") {
      line +=
          "pin:" + std::to_string(std::min<std::size_t>(TextLength(arg.pointer), kMaxPinLength));
    } else if (kind == "P") {
      const auto* ints = static_cast<const int*>(arg.pointer);
      line += "n:" + std::to_string(ints[0]) + "," + std::to_string(ints[1]);
    } else if (kind[0] == 'b') {
      AppendBytesOf(line, arg.pointer, CountFrom(kind, args, count));
    } else {
      line.push_back('-');
    }
  }
}

void AppendReturnValues(std::string& line, const char* shape, const Arg* args, int count,
                        std::int64_t result) {
  const std::vector<std::string> kinds = Kinds(shape);
  for (int i = 0; i < count && i < static_cast<int>(kinds.size()); ++i) {
    const std::string& kind = kinds[i];
    const Arg& arg = args[i];
    if (!IsOutput(kind[0])) continue;
    line.push_back(' ');
    if (arg.pointer == nullptr) {
      line += "null";
    } else if (kind == "n") {
      line += std::to_string(*static_cast<const int*>(arg.pointer));
    } else if (kind == "u" || result < 0) {
      line.push_back('-');
    } else if (kind == "o") {
      AppendText(line, static_cast<const char*>(arg.pointer), TextLength(arg.pointer));
    } else if (kind == "c") {
      AppendText(line, static_cast<const char*>(arg.pointer), 1);
    } else if (kind == "q") {
      line +=
          "pin:" + std::to_string(std::min<std::size_t>(TextLength(arg.pointer), kMaxPinLength));
    } else {
      std::int64_t n = CountFrom(kind, args, count);
      if (kind[0] == 'r' && n == 0) n = 256;
      if (kind[0] == 'A') n /= 2;
      AppendBytesOf(line, arg.pointer, n);
    }
  }
}

bool ReplayArgs::Build(const char* shape, const std::vector<Value>& values, std::string* error) {
  using Type = Value::Type;
  const std::vector<std::string> kinds = Kinds(shape);
  if (kinds.size() != values.size()) {
    *error = "the call has " + std::to_string(values.size()) + " values, the export takes " +
             std::to_string(kinds.size());
    return false;
  }
  args_.assign(kinds.size(), Arg{});
  storage_.clear();
  ints_.clear();
  storage_.reserve(kinds.size());
  ints_.reserve(kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    const std::string& kind = kinds[i];
    const Value& value = values[i];
    const std::string where = "value " + std::to_string(i + 1) + ": ";
    if (value.type == Type::kNull) continue;
    if (kind == "i") {
      if (value.type != Type::kInt) return (*error = where + "an int was expected"), false;
      args_[i].number = value.number;
    } else if (IsOutput(kind[0])) {
      if (kind == "n" || kind == "u") {
        ints_.emplace_back(4, 0);
        args_[i].pointer = ints_.back().data();
      } else {
        storage_.emplace_back(2 * kMaxOutput, 0);
        args_[i].pointer = storage_.back().data();
      }
    } else if (kind == "t") {
      if (value.type != Type::kText) return (*error = where + "a text was expected"), false;
      storage_.emplace_back(value.text.begin(), value.text.end());
      storage_.back().push_back(0);
      args_[i].pointer = storage_.back().data();
    } else if (kind == "p") {
      if (value.type != Type::kPin) return (*error = where + "pin:LENGTH was expected"), false;
      // Any digits will do: the replayed device matches PIN bytes to anything.
      storage_.emplace_back();
      for (std::int64_t k = 0; k < value.number; ++k) {
        storage_.back().push_back(static_cast<std::uint8_t>('1' + (k + i) % 9));
      }
      storage_.back().push_back(0);
      args_[i].pointer = storage_.back().data();
    } else if (kind == "P") {
      if (value.type != Type::kInts || value.ints.size() != 2) {
        return (*error = where + "n:PORT,BAUD was expected"), false;
      }
      ints_.push_back({static_cast<int>(value.ints[0]), static_cast<int>(value.ints[1]), 0, 0});
      args_[i].pointer = ints_.back().data();
    } else if (kind[0] == 'b') {
      if (value.type != Type::kBytes) return (*error = where + "x:HEX was expected"), false;
      storage_.emplace_back();
      // The bytes are passed on as recorded, with room for the length the
      // call names, so a length beyond them reads zeros, not past the end.
      for (int b : value.bytes) storage_.back().push_back(static_cast<std::uint8_t>(b & 0xFF));
      storage_.back().resize(storage_.back().size() + kMaxOutput, 0);
      args_[i].pointer = storage_.back().data();
    }
  }
  return true;
}

}  // namespace kx::capture
