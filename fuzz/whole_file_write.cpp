// A whole-file write end to end: KXUpdateInfo and KXUpdateInfoAIO of every
// record item of a file (each under its write key, proven through the
// PSAM), KXUpdateBinaryAIO of a transparent file in 128-byte pieces, and
// KXUpdateBinary after the key check and the file's selection. Every reply
// of the reader, the user card and the PSAM comes from the input, a tape
// read front to back (fuzz/harness.h); a recorded good run is a seed:
//
//   KX_FUZZ_WRITE_SEED=FILE KX_FUZZ_SEED_FLOW=N build-fuzz/fuzz/fuzz_whole_file_write
//
// Oracles: the caller's data, in a buffer of exactly the bytes the call
// takes, is never read past; every command keeps its time limit; a result
// is 0 or a negative code; the all-in-one calls leave the link closed.
#include <cstring>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "dictionary/dictionary.h"
#include "fuzz/harness.h"

namespace {

enum class Call { UpdateInfo, UpdateInfoAllInOne, UpdateBinaryAllInOne, UpdateBinary };

struct Flow {
  Call call;
  const char* directory;
  const char* file;
  int length;  // binary bytes; record files take their items' lengths
};

constexpr Flow kFlows[] = {
    {Call::UpdateInfo, "DF01", "EF05", 0},     {Call::UpdateInfoAllInOne, "3F00", "EF06", 0},
    {Call::UpdateInfo, "DF04", "EF05", 0},     {Call::UpdateBinaryAllInOne, "DF0B", "EF0C", 256},
    {Call::UpdateBinary, "3F00", "EF07", 300},
};
constexpr int kFlowCount = static_cast<int>(sizeof kFlows / sizeof kFlows[0]);

// The value bytes of every record item of the file.
std::size_t ValueBytes(const char* directory, const char* file) {
  std::uint8_t positions[kx::kMaxRecordItemsPerFile];
  const int count = kx::ListRecordRows(directory, file, positions);
  std::size_t size = 0;
  for (int i = 0; i < count; ++i) size += kx::TagCardRecordInfo[positions[i]].length;
  return size;
}

int Run(kx::fuzz::ReaderBench& bench, std::uint8_t choice) {
  using namespace kx;
  const Flow& flow = kFlows[choice % kFlowCount];
  const std::size_t size = flow.length > 0 ? static_cast<std::size_t>(flow.length)
                                           : ValueBytes(flow.directory, flow.file);
  fuzz::ExactBuffer data(size);
  for (std::size_t i = 0; i < size; ++i) data.bytes()[i] = static_cast<std::uint8_t>(0x30 + i % 10);
  const std::uint32_t start = bench.bench.backend().Now();
  const bool allInOne =
      flow.call == Call::UpdateInfoAllInOne || flow.call == Call::UpdateBinaryAllInOne;
  int r = 0;
  char status = 0;
  switch (flow.call) {
    case Call::UpdateInfo:
      GetReaderStatus(0, &status);
      r = KXUpdateInfo(0, flow.directory, flow.file, 0, data.bytes());
      break;
    case Call::UpdateInfoAllInOne:
      r = KXUpdateInfoAIO(flow.directory, flow.file, 0, data.bytes());
      break;
    case Call::UpdateBinaryAllInOne:
      r = KXUpdateBinaryAIO(flow.directory, flow.file, 0, flow.length, data.bytes());
      break;
    case Call::UpdateBinary: {
      GetReaderStatus(0, &status);
      r = KXCheckKey(0, "UKMF");
      const unsigned char select[] = {0x00, 0xA4, 0x02, 0x00, 0x02, 0xEF, 0x07};
      unsigned char reply[KX_APDU_REPLY_SIZE];
      int length = 0;
      if (r == 0) r = KXRunApdu(0, 7, select, &length, reply);
      if (r == 0) r = KXUpdateBinary(0, 0, flow.length, data.bytes());
      break;
    }
  }
  fuzz::CheckFlowEnd(bench, start, r, allInOne);
  return r;
}

}  // namespace

KX_FUZZ_FLOW_TARGET(Run)
