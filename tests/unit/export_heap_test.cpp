// No export allocates on the heap. Every export the library builds is called
// once with nothing open and once with a reader and both cards at work, each
// call with an allocation hook armed. The simulated devices behind the
// platform seam allocate as they please: the hook looks away while a call is
// inside the backend. This binary replaces the C allocator, so it is built
// on its own and never under the sanitizers (which replace it too).
#include <errno.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "KX_ICCReader.h"
#include "link/reader_port.h"
#include "platform/sim/sim_backend.h"
#include "sim/psam.h"
#include "sim/reader.h"
#include "sim/user_card.h"
#include "tests/support/counting_backend.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

bool armed = false;
int insideBackend = 0;
int allocations = 0;

void Note() {
  if (armed && insideBackend == 0) ++allocations;
}

void AroundBackend(bool entering) {
  insideBackend += entering ? 1 : -1;
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) noexcept {
  Note();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  Note();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
  Note();
  return __libc_realloc(block, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  Note();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  Note();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  Note();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}
void free(void* block) noexcept {
  __libc_free(block);
}
}

namespace kx::test {
namespace {

// One harmless call of each built export, with buffers as large as its
// contract asks.
const std::map<std::string, std::function<void()>>& Calls() {
  static const std::map<std::string, std::function<void()>> calls = {
      {"GetCurRecordData",
       [] {
         char t[256];
         GetCurRecordData(t);
       }},
      {"KXReaderInitTest", [] { KXReaderInitTest(1, 9600); }},
      {"KXRunApduTest",
       [] {
         char r[1024];
         KXRunApduTest(0, 10, "0084000008", r);
       }},
      {"SetPin", [] { SetPin("123456"); }},
      {"testKXCardChangePIN", [] { testKXCardChangePIN("123456", "123456"); }},
      {"testKXCardVerifyPIN", [] { testKXCardVerifyPIN("123456"); }},
      {"CombinedData",
       [] {
         char t[4096];
         CombinedData(2, "DF0B", "EF0C", "00FF", t);
       }},
      {"GetASC",
       [] {
         unsigned char b[8];
         GetASC("01 ab", b, 5);
       }},
      {"GetHex",
       [] {
         const unsigned char b[2] = {1, 0xAB};
         char t[8];
         GetHex(0, b, t, 2);
       }},
      {"GetReaderInfo",
       [] {
         char m[32], v[32];
         GetReaderInfo(0, m, v);
       }},
      {"GetReaderStatus",
       [] {
         char c;
         GetReaderStatus(0, &c);
       }},
      {"KXCardChangePIN",
       [] {
         int n;
         KXCardChangePIN(0, "123456", "123456", &n);
       }},
      {"KXCardLock", [] { KXCardLock(0); }},
      {"KXCardVerifyPIN",
       [] {
         int n;
         KXCardVerifyPIN(0, "123456", &n);
       }},
      {"KXCpuReset",
       [] {
         char a[201];
         KXCpuReset(0, a);
       }},
      {"KXGetErrMessage",
       [] {
         char m[545];
         KXGetErrMessage(-4, m);
       }},
      {"KXGetLibVer", [] { KXGetLibVer(); }},
      {"KXGetPsamID",
       [] {
         char id[64];
         KXGetPsamID(0, id);
       }},
      {"KXGetPsamIDATR",
       [] {
         char id[64], a[201];
         KXGetPsamIDATR(0, id, a);
       }},
      {"KXInternalAuth", [] { KXInternalAuth(0); }},
      {"KXReadPassword",
       [] {
         char p[7];
         KXReadPassword(1, p);
       }},
      {"KXReadRecord",
       [] {
         unsigned char d[256];
         KXReadRecord(0, 1, 4, 0, d);
       }},
      {"KXReaderInit",
       [] {
         int params[2] = {1, 9600};
         unsigned handle;
         KXReaderInit(params, &handle);
       }},
      {"KXReaderPowerOff", [] { KXReaderPowerOff(0); }},
      {"KXRunApdu",
       [] {
         const unsigned char c[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
         unsigned char r[300];
         int n;
         KXRunApdu(0, 5, c, &n, r);
       }},
      {"KXSelectIFD", [] { KXSelectIFD(0, 12); }},
      {"KXUpdateRecord",
       [] {
         const unsigned char d[3] = {0x20, 0x01, 0x32};
         KXUpdateRecord(0, 1, 4, 3, d);
       }},
      {"KXSetComDevice", [] { KXSetComDevice(7, "/dev/null"); }},
      {"KXCheckKey", [] { KXCheckKey(0, "UK1DF01"); }},
      {"KXReadInfo",
       [] {
         unsigned char o[4096];
         KXReadInfo(0, "DF03", "EF05", 2, o);
       }},
      {"KXReadInfoAIO",
       [] {
         unsigned char o[4096];
         KXReadInfoAIO("3F00", "EF05", 0, o);
       }},
      {"testKXReadInfoAIO",
       [] {
         unsigned char o[4096];
         testKXReadInfoAIO("DF01", "EF05", 1, o);
       }},
      {"KXReadBinary",
       [] {
         unsigned char o[256];
         KXReadBinary(0, 0, 256, o);
       }},
      {"KXReadBinaryAIO",
       [] {
         char o[513];
         KXReadBinaryAIO("DF0B", "EF0C", 0, 256, o);
       }},
      {"KXUpdateInfo",
       [] {
         const unsigned char d[64] = {'1', '2'};
         KXUpdateInfo(0, "DF01", "EF05", 2, d);
       }},
      {"KXUpdateInfoAIO",
       [] {
         const unsigned char d[64] = {'1', '2'};
         KXUpdateInfoAIO("DF01", "EF05", 2, d);
       }},
      {"KXUpdateBinary",
       [] {
         const unsigned char d[256] = {1, 2, 3};
         KXUpdateBinary(0, 0, 256, d);
       }},
      {"KXUpdateBinaryAIO",
       [] {
         const unsigned char d[256] = {1, 2, 3};
         KXUpdateBinaryAIO("DF0B", "EF0C", 0, 256, d);
       }},
      {"KXTest",
       [] {
         char m[KX_ERR_MESSAGE_SIZE];
         KXTest(m);
       }},
      {"KXReadCardID",
       [] {
         char n[10], c[33], o[25];
         KXReadCardID(0, n, c, o);
       }},
      {"KXReadCardIDAIO",
       [] {
         char n[10], c[33], o[25];
         KXReadCardIDAIO(n, c, o);
       }},
      {"KXUpdateCardIDAIO",
       [] {
         char c[33];
         KXUpdateCardIDAIO("330329", "00006074", c);
       }},
      {"KXCardUnlockPIN", [] { KXCardUnlockPIN(0, "123456"); }},
      {"KXAppLock", [] { KXAppLock(0, "DF0A"); }},
  };
  return calls;
}

// The exports the table says are built (or POSIX-only).
std::vector<std::string> BuiltExports() {
  std::ifstream in(KX_EXPORT_LIST);
  std::vector<std::string> names;
  std::string name, routine, state;
  int bytes = 0, ordinal = 0;
  while (in >> name >> bytes >> routine >> state >> ordinal) {
    if (state != "pending") names.push_back(name);
  }
  return names;
}

class ExportHeap : public ::testing::Test {
 protected:
  void TearDown() override { ResetLibraryForTests(); }

  void NothingOpen() {
    ResetLibraryForTests();
    platform::SetBackend(&counting);
  }

  // A reader on COM1 with both cards, open, the user card powered and its
  // master file's EF05 selected.
  void AtWork() {
    NothingOpen();
    reader.Insert(0, std::make_shared<sim::UserCard>());
    reader.Insert(16, std::make_shared<sim::Psam>());
    backend.Attach(1, &reader);
    char atr[201];
    ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
    ASSERT_EQ(KXCpuReset(0, atr), 0);
    for (const char* select : {"00A40000023F00", "00A4020002EF05"}) {
      char reply[64];
      ASSERT_GT(KXRunApduTest(0, 14, select, reply), 0);
    }
  }

  static int AllocationsIn(const std::function<void()>& call) {
    allocations = 0;
    armed = true;
    call();
    armed = false;
    return allocations;
  }

  platform::sim::SimBackend backend;
  CountingBackend counting{backend, AroundBackend};
  sim::Reader reader;
};

TEST_F(ExportHeap, NoExportAllocatesWithNothingOpenOrAtWork) {
  const auto names = BuiltExports();
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names) {
    ASSERT_TRUE(Calls().contains(name)) << name << " needs a call in this test";
    const std::function<void()>& call = Calls().at(name);
    NothingOpen();
    EXPECT_EQ(AllocationsIn(call), 0) << name << " with nothing open";
    AtWork();
    EXPECT_EQ(AllocationsIn(call), 0) << name << " at work";
  }
}

// The hook itself sees what it must.
TEST_F(ExportHeap, TheHookCountsAllocationsOutsideTheBackendOnly) {
  // Kept through volatile pointers, so the compiler cannot drop the pairs.
  EXPECT_EQ(AllocationsIn([] {
              int* volatile p = new int(1);
              delete p;
            }),
            1);
  EXPECT_EQ(AllocationsIn([] {
              void* volatile p = std::malloc(16);
              std::free(p);
            }),
            1);
  EXPECT_EQ(AllocationsIn([] {
              AroundBackend(true);
              char* volatile p = new char[100];
              delete[] p;
              AroundBackend(false);
            }),
            0);
}

}  // namespace
}  // namespace kx::test
