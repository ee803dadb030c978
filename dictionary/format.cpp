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

// Appends to the text whose terminating NUL is at *end, keeping *end there.
void Append(char*& end, const char* from, std::size_t count) {
  std::memcpy(end, from, count);
  end += count;
  *end = '\0';
}

void Append(char*& end, const char* text) {
  Append(end, text, std::strlen(text));
}

bool SameId(const char* a, const char* b) {
  return b != nullptr && std::strncmp(a, b, 4) == 0;
}

}  // namespace

int FormatItemValue(int dataType, int length, const std::uint8_t* recordBytes, int recordLength,
                    char* out) {
  if (out == nullptr) return 0;
  const bool hexKind = dataType == 0 || dataType == 4;
  const bool rawKind = dataType == 1 || dataType == 3;
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
  // contents (data type 4) are taken from the first byte.
  switch (dataType) {
    case 0:
      WriteHex(out, length, [&byteAt](int i) { return byteAt(i + 2); });
      return 2 * length;
    case 4:
      WriteHex(out, length, byteAt);
      return 2 * length;
    default:
      for (int i = 0; i < length; ++i) out[i] = static_cast<char>(byteAt(i + 2));
      return length;
  }
}

RenderResult RenderCombinedData(int fileKind, const char* directory, const char* file,
                                const char* data, char* text) {
  char* end = text;
  *end = '\0';

  if (fileKind == kTransparentFile) {
    TagCardRecordInfoRow row;
    if (FindRecordItem(directory, file, 0, &row) != 0) return RenderResult::NoTransparentRow;
    Append(end, row.itemName, strnlen(row.itemName, sizeof row.itemName));
    Append(end, ":  ");
    Append(end, data);
    Append(end, kHexNote);
    Append(end, "\r\n\r\n");
    return RenderResult::Ok;
  }

  std::uint8_t triples[3 * kMaxRecordItemsPerFile];
  const int count = ListRecordItems(directory, file, triples);
  if (count <= 0) return RenderResult::NoRecordItems;

  // The medical file is the long one; it is rendered with single line breaks.
  const char* separator = SameId("DF04", directory) && SameId("EF05", file) ? "\r\n" : "\r\n\r\n";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  std::size_t p = 0;
  for (int i = 0; i < count; ++i) {
    TagCardRecordInfoRow row;
    if (FindRecordItem(directory, file, triples[3 * i], &row) != 0) {
      return RenderResult::ItemNotFound;
    }
    Append(end, row.itemName, strnlen(row.itemName, sizeof row.itemName));
    Append(end, ":  ");

    const std::size_t n = row.length;
    std::size_t width = 0;
    switch (row.dataType) {
      case 0:
      case 4:
        width = 2 * n;
        break;
      case 1:
      case 3:
        width = n;
        break;
      default:
        break;
    }
    const std::uint8_t* field = bytes + p;
    if (row.dataType == 3) {
      end = WriteHex(end, static_cast<int>(n), [field](int k) { return field[k]; });
      Append(end, kHexNote);
    } else {
      // Hex text and character items end at their first NUL; one that is
      // empty from the start is shown as the hex of its bytes instead.
      const std::size_t shown = strnlen(data + p, width);
      if (shown > 0) {
        Append(end, data + p, shown);
      } else {
        end = WriteHex(end, static_cast<int>(width), [field](int k) { return field[k]; });
        Append(end, kHexNote);
      }
    }
    Append(end, separator);
    p += width;
  }
  return RenderResult::Ok;
}

}  // namespace kx
