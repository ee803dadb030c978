// Output of a data item, and the display text of a whole file's read output.
#include <cstring>

#include "dictionary/dictionary.h"

namespace kx {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kHexNote[] = "  (HEX显示)";

// Packed upper-case hex of `count` bytes, then a NUL. Returns the end of the
// digits (where the NUL is).
template <typename ByteAt>
char* WriteHex(char* out, int count, ByteAt byteAt) {
  for (int i = 0; i < count; ++i) {
    const std::uint8_t b = byteAt(i);
    *out++ = kHexDigits[b >> 4];
    *out++ = kHexDigits[b & 0x0F];
  }
  *out = '\0';
  return out;
}

bool SameId(const char* a, const char* b) {
  return b != nullptr && std::strncmp(a, b, 4) == 0;
}

}  // namespace

int FormatItemValue(int dataType, int length, const std::uint8_t* recordBytes, int recordLength,
                    char* out) {
  if (out == nullptr) return 0;
  const bool hexKind = dataType == kNumeric || dataType == kBinary;
  const bool rawKind = dataType == kText || dataType == kStructured;
  if (!hexKind && !rawKind) return 0;
  if (length <= 0) {
    if (hexKind) *out = '\0';
    return 0;
  }
  // A short record from the card must not be read past its end; the missing
  // bytes read as 0 so the output keeps its dictionary width.
  auto byteAt = [recordBytes, recordLength](int i) -> std::uint8_t {
    return recordBytes != nullptr && i < recordLength ? recordBytes[i] : 0;
  };
  // Record files carry a tag and a length byte before the value; transparent
  // contents (kBinary) are taken from the first byte.
  switch (dataType) {
    case kNumeric:
      WriteHex(out, length, [&byteAt](int i) { return byteAt(i + 2); });
      return 2 * length;
    case kBinary:
      WriteHex(out, length, byteAt);
      return 2 * length;
    default:
      for (int i = 0; i < length; ++i) out[i] = static_cast<char>(byteAt(i + 2));
      return length;
  }
}

namespace {

// The display text being built, never longer than its capacity allows: an
// append that would not fit writes nothing and says so.
class DisplayText {
 public:
  DisplayText(char* text, std::size_t capacity) : text_(text), capacity_(capacity) {
    text_[0] = '\0';
  }

  bool Append(const char* from, std::size_t count) {
    if (count >= capacity_ - used_) return false;
    std::memcpy(text_ + used_, from, count);
    used_ += count;
    text_[used_] = '\0';
    return true;
  }
  bool Append(const char* text) { return Append(text, std::strlen(text)); }
  // Packed hex of `count` bytes and the note that says so.
  bool AppendHex(const std::uint8_t* bytes, std::size_t count) {
    if (2 * count + (sizeof kHexNote - 1) >= capacity_ - used_) return false;
    WriteHex(text_ + used_, static_cast<int>(count), [bytes](int k) { return bytes[k]; });
    used_ += 2 * count;
    return Append(kHexNote);
  }

 private:
  char* text_;
  std::size_t capacity_;
  std::size_t used_ = 0;
};

std::size_t ItemNameLength(const TagCardRecordInfoRow& row) {
  return strnlen(row.itemName, sizeof row.itemName);
}

// Characters an item's value takes in the read output: hex text two per
// byte, the bytes as stored one.
std::size_t OutputWidth(const TagCardRecordInfoRow& row) {
  switch (row.dataType) {
    case kNumeric:
    case kBinary:
      return 2u * row.length;
    case kText:
    case kStructured:
      return row.length;
    default:
      return 0;
  }
}

const char* Separator(const char* directory, const char* file) {
  // The medical file is the long one; it is rendered with single line breaks.
  return SameId("DF04", directory) && SameId("EF05", file) ? "\r\n" : "\r\n\r\n";
}

constexpr char kFieldLead[] = ":  ";
constexpr char kTransparentEnd[] = "\r\n\r\n";

}  // namespace

int CombinedTextSize(const char* directory, const char* file) {
  constexpr std::size_t kLead = sizeof kFieldLead - 1;
  constexpr std::size_t kNote = sizeof kHexNote - 1;
  TagCardRecordInfoRow row;
  if (FindRecordItem(directory, file, 0, &row) == 0) {
    return static_cast<int>(ItemNameLength(row) + kLead + 2u * row.length + kNote +
                            (sizeof kTransparentEnd - 1) + 1);
  }
  std::uint8_t positions[kMaxRecordItemsPerFile];
  const int count = ListRecordRows(directory, file, positions);
  if (count <= 0) return 0;
  const std::size_t separator = std::strlen(Separator(directory, file));
  std::size_t size = 1;
  for (int i = 0; i < count; ++i) {
    const TagCardRecordInfoRow& item = TagCardRecordInfo[positions[i]];
    // A hex item is shown as it is; any other at its longest as the hex of
    // its whole width.
    const bool hexText = item.dataType == kNumeric || item.dataType == kBinary;
    const std::size_t field = hexText ? OutputWidth(item) : 2 * OutputWidth(item) + kNote;
    size += ItemNameLength(item) + kLead + field + separator;
  }
  return static_cast<int>(size);
}

RenderResult RenderCombinedData(int fileKind, const char* directory, const char* file,
                                const char* data, char* text, int capacity) {
  if (text == nullptr || capacity < 1) return RenderResult::TextTooSmall;
  DisplayText out(text, static_cast<std::size_t>(capacity));

  if (fileKind == kTransparentFile) {
    TagCardRecordInfoRow row;
    if (FindRecordItem(directory, file, 0, &row) != 0) return RenderResult::NoTransparentRow;
    // The file's whole content as hex text, and not one character more.
    const std::size_t longest = 2u * row.length;
    const std::size_t length = strnlen(data, longest + 1);
    if (length > longest) return RenderResult::DataTooLong;
    const bool fits = out.Append(row.itemName, ItemNameLength(row)) && out.Append(kFieldLead) &&
                      out.Append(data, length) && out.Append(kHexNote) &&
                      out.Append(kTransparentEnd);
    return fits ? RenderResult::Ok : RenderResult::TextTooSmall;
  }

  std::uint8_t triples[3 * kMaxRecordItemsPerFile];
  const int count = ListRecordItems(directory, file, triples);
  if (count <= 0) return RenderResult::NoRecordItems;

  const char* separator = Separator(directory, file);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  std::size_t p = 0;
  for (int i = 0; i < count; ++i) {
    TagCardRecordInfoRow row;
    if (FindRecordItem(directory, file, triples[3 * i], &row) != 0) {
      return RenderResult::ItemNotFound;
    }
    const std::size_t width = OutputWidth(row);
    const std::uint8_t* field = bytes + p;
    const bool hexText = row.dataType == kNumeric || row.dataType == kBinary;
    // Text items end at their first NUL. A read output never has one in a
    // hex item: a hex item that is cut short or empty is where the caller's
    // data ended, and nothing after it is read.
    const std::size_t shown = row.dataType == kStructured ? 0 : strnlen(data + p, width);
    if (hexText && shown < width) return RenderResult::DataEnded;

    bool fits = out.Append(row.itemName, ItemNameLength(row)) && out.Append(kFieldLead);
    if (row.dataType == kStructured) {
      fits = fits && out.AppendHex(field, row.length);
    } else if (shown > 0) {
      fits = fits && out.Append(data + p, shown);
    } else {
      // An item empty from the start is shown as the hex of its bytes.
      fits = fits && out.AppendHex(field, width);
    }
    if (!(fits && out.Append(separator))) return RenderResult::TextTooSmall;
    p += width;
  }
  return RenderResult::Ok;
}

}  // namespace kx
