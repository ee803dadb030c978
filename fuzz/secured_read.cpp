// A secured read end to end: KXReadInfo and KXReadInfoAIO of items whose
// read condition asks for a key proven through the PSAM (with the PIN, or
// alone), and KXReadBinaryAIO of a key-guarded transparent file. Every
// reply of the reader, the user card and the PSAM comes from the input, a
// tape read front to back (fuzz/harness.h), so that a recorded good run is
// a seed:
//
//   KX_FUZZ_WRITE_SEED=FILE KX_FUZZ_SEED_FLOW=N build-fuzz/fuzz/fuzz_secured_read
//
// records flow N against the simulated cards. Oracles: the output buffer of
// exactly the size the header states is never overrun, every command keeps
// its time limit, a result is 0 or a negative code, and the all-in-one
// calls leave the link closed.
#include <cstring>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "dictionary/dictionary.h"
#include "fuzz/harness.h"

namespace {

struct Flow {
  const char* directory;
  const char* file;
  int record;  // -1: KXReadBinaryAIO of 200 bytes
};

// PIN and key, key alone, a whole file and one item, a transparent file.
constexpr Flow kFlows[] = {
    {"DF03", "EF05", 0}, {"DF03", "EF07", 1}, {"DF04", "EF06", 0},
    {"DF04", "EF0C", 0}, {"3F00", "EF0C", 0}, {"DF0B", "EF0C", -1},
};
constexpr int kFlowCount = static_cast<int>(sizeof kFlows / sizeof kFlows[0]);

// What KXReadInfo writes for the flow: a hex item's 2n digits and NUL, a
// raw item's n bytes, a whole file's items one after another (the last
// hex item's NUL included); never less than the 4 bytes it clears first.
std::size_t OutputSize(const Flow& flow) {
  std::size_t size = 0;
  kx::TagCardRecordInfoRow row{};
  if (flow.record < 0) {
    size = 2 * 200 + 1;
  } else if (flow.record == 0) {
    size = kx::fuzz::WholeFileOutput(flow.directory, flow.file) + 1;
  } else if (kx::FindRecordItem(flow.directory, flow.file, flow.record, &row) == 0) {
    size = row.dataType == 0 || row.dataType == 4 ? 2u * row.length + 1 : row.length;
  }
  return std::max<std::size_t>(size, 4);
}

int Run(kx::fuzz::ReaderBench& bench, std::uint8_t choice) {
  using namespace kx;
  const Flow& flow = kFlows[choice % kFlowCount];
  const bool allInOne = flow.record < 0 || (choice & 0x80) != 0;
  SetPin("123456");
  fuzz::ExactBuffer out(OutputSize(flow));
  const std::uint32_t start = bench.bench.backend().Now();
  int r = 0;
  if (flow.record < 0) {
    r = KXReadBinaryAIO(flow.directory, flow.file, 0, 200, out.text());
  } else if (allInOne) {
    r = KXReadInfoAIO(flow.directory, flow.file, flow.record, out.bytes());
  } else {
    char status = 0;
    GetReaderStatus(0, &status);
    r = KXReadInfo(0, flow.directory, flow.file, flow.record, out.bytes());
  }
  fuzz::CheckFlowEnd(bench, start, r, allInOne);
  if (r == 0 && flow.record < 0) KX_FUZZ_CHECK(std::strlen(out.text()) == 400);
  return r;
}

}  // namespace

KX_FUZZ_FLOW_TARGET(Run)
