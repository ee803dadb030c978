// CombinedData and FormatItemValue on hostile data: any file (or a name the
// dictionary does not know), any file kind, record bytes of any length.
// Oracles: the text stays within the size the header states for the file,
// and an item's output within the 2n + 1 bytes FormatItemValue promises.
#include <algorithm>
#include <cstring>
#include <string>

#include "KX_ICCReader.h"
#include "dictionary/dictionary.h"
#include "fuzz/harness.h"
#include "interface/combined_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx;
  FuzzedDataProvider input(data, size);

  if (input.ConsumeBool()) {
    const int dataType = input.ConsumeIntegralInRange(-1, 5);
    const int length = input.ConsumeIntegralInRange(-2, 1300);
    const fuzz::Bytes record = input.ConsumeRemainingBytes<std::uint8_t>();
    fuzz::ExactBuffer recordBuffer(std::max<std::size_t>(record.size(), 1));
    if (!record.empty()) std::memcpy(recordBuffer.bytes(), record.data(), record.size());
    fuzz::ExactBuffer out(2u * static_cast<std::size_t>(std::max(length, 0)) + 1);
    const int n = FormatItemValue(dataType, length, recordBuffer.bytes(),
                                  static_cast<int>(record.size()), out.text());
    KX_FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) < out.size());
    return 0;
  }

  const int fileKind = input.ConsumeIntegralInRange(-1, 3);
  const int which = input.ConsumeIntegralInRange(0, kFileCount);
  std::string directory, file;
  if (which < kFileCount) {
    directory = FileKeyRelation[which].directory;
    file = FileKeyRelation[which].file;
  } else {
    directory = input.ConsumeRandomLengthString(8);
    file = input.ConsumeRandomLengthString(8);
  }
  const std::string text = input.ConsumeRemainingBytesAsString();
  // The caller's data: the input and a terminator, and for a record file at
  // least its whole-file output (zero bytes past the input).
  const std::size_t room =
      std::max(text.size() + 1, fuzz::WholeFileOutput(directory.c_str(), file.c_str()));
  fuzz::ExactBuffer dataBuffer(room);
  std::memset(dataBuffer.bytes(), 0, room);
  std::memcpy(dataBuffer.bytes(), text.data(), text.size());

  const int stated = StatedCombinedTextSize(directory.c_str(), file.c_str());
  fuzz::ExactBuffer out(static_cast<std::size_t>(stated > 0 ? stated : 1));
  const int r =
      CombinedData(fileKind, directory.c_str(), file.c_str(), dataBuffer.text(), out.text());
  KX_FUZZ_CHECK(r == 0 || r == -12);
  KX_FUZZ_CHECK(out.Terminated());
  KX_FUZZ_CHECK(r != 0 || stated > 0);
  return 0;
}
