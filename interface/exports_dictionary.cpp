// Export of the dictionary's display text: CombinedData.
#include <cstring>
#include <iterator>

#include "KX_ICCReader.h"
#include "core/result.h"
#include "core/state.h"
#include "dictionary/dictionary.h"
#include "interface/combined_text.h"
#include "interface/export_call.h"

namespace kx {
namespace {

struct StatedSize {
  char directory[5];
  char file[5];
  int size;
};

// The sizes hosts were told, one per file of the dictionary, from the
// header's macros; a unit test holds them to what the dictionary computes.
constexpr StatedSize kStatedSizes[] = {
#include "combined_text_sizes.inc"
};
static_assert(std::size(kStatedSizes) == kFileCount);

}  // namespace

int StatedCombinedTextSize(const char* directory, const char* file) {
  if (directory == nullptr || file == nullptr) return 0;
  for (const StatedSize& row : kStatedSizes) {
    if (std::strncmp(row.directory, directory, 4) == 0 && std::strncmp(row.file, file, 4) == 0) {
      return row.size;
    }
  }
  return 0;
}

}  // namespace kx

extern "C" {

KX_API int KX_CALL CombinedData(int fileKind, const char* directory, const char* file,
                                const char* data, char* text) {
  kx::ExportCall call;
  if (text == nullptr || data == nullptr) return call.Result(kx::kErrParam);
  // The caller's text holds what the header says for this file. A file
  // without a stated size has no rows either and renders only its refusal.
  const int capacity = kx::StatedCombinedTextSize(directory, file);
  text[0] = '\0';
  switch (
      kx::RenderCombinedData(fileKind, directory, file, data, text, capacity > 0 ? capacity : 1)) {
    case kx::RenderResult::Ok:
      return call.Result(kx::kOk);
    case kx::RenderResult::NoRecordItems:
      kx::ErrorTextReplace("未找到读所有记录的目录 TagCardRecordInfo ");
      return call.Result(kx::kErrParam);
    case kx::RenderResult::DataEnded:
      kx::ErrorTextReplace("CombinedData 数据长度不足");
      return call.Result(kx::kErrParam);
    case kx::RenderResult::DataTooLong:
    case kx::RenderResult::TextTooSmall:
      kx::ErrorTextReplace("CombinedData 数据长度超出范围");
      return call.Result(kx::kErrParam);
    case kx::RenderResult::NoTransparentRow:
    case kx::RenderResult::ItemNotFound:
      break;
  }
  return call.Result(kx::kErrParam);
}

}  // extern "C"
