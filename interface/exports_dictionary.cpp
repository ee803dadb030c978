// Export of the dictionary's display text: CombinedData.
#include "KX_ICCReader.h"
#include "core/result.h"
#include "core/state.h"
#include "dictionary/dictionary.h"
#include "interface/export_call.h"

extern "C" {

KX_API int KX_CALL CombinedData(int fileKind, const char* directory, const char* file,
                                const char* data, char* text) {
  kx::ExportCall call;
  if (text == nullptr || data == nullptr) return kx::kErrParam;
  switch (kx::RenderCombinedData(fileKind, directory, file, data, text)) {
    case kx::RenderResult::Ok:
      return kx::kOk;
    case kx::RenderResult::NoRecordItems:
      kx::ErrorTextReplace("未找到读所有记录的目录 TagCardRecordInfo ");
      return kx::kErrParam;
    case kx::RenderResult::NoTransparentRow:
    case kx::RenderResult::ItemNotFound:
      break;
  }
  return kx::kErrParam;
}

}  // extern "C"
