/*
 * A host application for KX_ICCReader.dll, written the way a customer's
 * program uses it: LoadLibraryA, GetProcAddress by name or by ordinal, and
 * plain stdcall calls. Runs under Wine (or on Windows).
 *
 *   test_host exports DLL        every export by name and ordinal, one harmless
 *                                call each with the stack balance checked
 *                                (32-bit; x86-64 has one calling convention),
 *                                load/unload with a thread in between
 *   test_host version DLL        the version resource, through the version API
 *   test_host reader DLL PORT    a session with kx-sim on COM PORT
 *   test_host silent DLL PORT    a reader that never answers
 *
 * Prints one "PASS name" or "FAIL name: why" line per check, then
 * "test_host: N passed, M failed"; exits 1 when anything failed.
 */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "exports_table.h" /* kExportTable: ordinal, name, argument bytes */

static int g_passed;
static int g_failed;

static void Check(int ok, const char* name, const char* why, ...) {
  if (ok) {
    printf("PASS %s\n", name);
    g_passed++;
    return;
  }
  printf("FAIL %s: ", name);
  va_list args;
  va_start(args, why);
  vprintf(why, args);
  va_end(args);
  printf("\n");
  g_failed++;
}

static int Finish(void) {
  printf("test_host: %d passed, %d failed\n", g_passed, g_failed);
  fflush(stdout);
  return g_failed == 0 ? 0 : 1;
}

/* ------------------------------------------------------------------ calls */

#define U(x) ((uintptr_t)(x))
#define kMaxArgs 5

#if defined(__i386__)
/* Pushes `count` arguments right to left, calls `fn`, and measures how much of
 * the stack the callee left behind: 0 for a stdcall function that removed
 * exactly its own arguments, `4 * count` for a cdecl one. The stack pointer is
 * restored from ESI whatever happened, so a wrong callee cannot derail us. */
static int32_t CallExport(FARPROC fn, const uintptr_t* args, int count, int* leftover) {
  int32_t result;
  int left;
  int n = count;
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%%edi,%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jmp 1b\n"
      "2:\n\t"
      "call *%%ebx\n\t"
      "movl %%esi, %%edx\n\t"
      "subl %%esp, %%edx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(result), "=d"(left), "+c"(n)
      : "b"(fn), "D"(args)
      : "esi", "memory", "cc");
  *leftover = left;
  return result;
}
#define kStackChecked 1
#else
/* A 64-bit build has one calling convention: nothing to measure. */
typedef int32_t (*Fn0)(void);
typedef int32_t (*Fn1)(uintptr_t);
typedef int32_t (*Fn2)(uintptr_t, uintptr_t);
typedef int32_t (*Fn3)(uintptr_t, uintptr_t, uintptr_t);
typedef int32_t (*Fn4)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
typedef int32_t (*Fn5)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
static int32_t CallExport(FARPROC fn, const uintptr_t* a, int count, int* leftover) {
  void (*f)(void) = (void (*)(void))fn;
  *leftover = 0;
  switch (count) {
    case 0:
      return ((Fn0)f)();
    case 1:
      return ((Fn1)f)(a[0]);
    case 2:
      return ((Fn2)f)(a[0], a[1]);
    case 3:
      return ((Fn3)f)(a[0], a[1], a[2]);
    case 4:
      return ((Fn4)f)(a[0], a[1], a[2], a[3]);
    default:
      return ((Fn5)f)(a[0], a[1], a[2], a[3], a[4]);
  }
}
#define kStackChecked 0
#endif

static HMODULE g_dll;
/* Which rows of kExportTable a call has gone through. */
static int g_called[sizeof kExportTable / sizeof kExportTable[0]];

static const ExportEntry* FindEntry(const char* name) {
  for (size_t i = 0; i < sizeof kExportTable / sizeof kExportTable[0]; ++i) {
    if (strcmp(kExportTable[i].name, name) == 0) return &kExportTable[i];
  }
  return NULL;
}

/* Calls export `name` with as many arguments as it takes (from the table) and
 * checks that it removed exactly those from the stack. */
static int32_t Call(const char* name, ...) {
  const ExportEntry* e = FindEntry(name);
  FARPROC fn = GetProcAddress(g_dll, name);
  if (e == NULL || fn == NULL) {
    Check(0, name, "not exported");
    return INT32_MIN;
  }
  g_called[e - kExportTable] = 1;
  uintptr_t args[kMaxArgs] = {0};
  const int count = e->argBytes / 4;
  va_list ap;
  va_start(ap, name);
  for (int i = 0; i < count && i < kMaxArgs; ++i) args[i] = va_arg(ap, uintptr_t);
  va_end(ap);
  int leftover = 0;
  const int32_t result = CallExport(fn, args, count, &leftover);
  if (kStackChecked) {
    char check[96];
    snprintf(check, sizeof check, "stack balanced after %s", name);
    Check(leftover == 0, check, "%d bytes of arguments left on the stack (expected %d removed)",
          leftover, e->argBytes);
  }
  return result;
}

static void Message(int code, char* text) {
  memset(text, 0, 545);
  Call("KXGetErrMessage", U(code), U(text));
}

/* GBK bytes of the library's messages. */
static const char kGbkCommError[] = "\xcd\xa8\xd1\xb6\xb4\xed\xce\xf3";
static const char kGbkParamThenReceiveFailed[] =
    "\xca\xe4\xc8\xeb\xb2\xce\xca\xfd\xb2\xbb\xc6\xa5\xc5\xe4\r\n"
    "\xbd\xd3\xca\xd5\xca\xfd\xbe\xdd\xca\xa7\xb0\xdc\xa3\xac\xb7\xb5\xbb\xd8\xa3\xba-4";
static const char kGbkSuccess[] = "\xb3\xc9\xb9\xa6";
static const char kGbkOpenPortError[] =
    "\xb4\xf2\xbf\xaa\xb6\xc1\xd0\xb4\xc6\xf7\xb6\xcb\xbf\xda\xb4\xed\xce\xf3";
static const char kGbkUsbFailed[] = "\xc1\xac\xbd\xd3USB\xca\xa7\xb0\xdc";

static int LoadDll(const char* path) {
  g_dll = LoadLibraryA(path);
  Check(g_dll != NULL, "LoadLibraryA", "error %lu loading %s", GetLastError(), path);
  return g_dll != NULL;
}

/* ------------------------------------------------------------- exports mode */

static DWORD WINAPI Idle(LPVOID unused) {
  (void)unused;
  return 0;
}

static void CheckTable(void) {
  int pending = 0;
  for (size_t i = 0; i < sizeof kExportTable / sizeof kExportTable[0]; ++i) {
    const ExportEntry* e = &kExportTable[i];
    if (strcmp(e->state, "posix") == 0) {
      Check(GetProcAddress(g_dll, e->name) == NULL, e->name, "a POSIX-only export resolves");
      continue;
    }
    FARPROC byName = GetProcAddress(g_dll, e->name);
    FARPROC byOrdinal = GetProcAddress(g_dll, MAKEINTRESOURCEA(e->ordinal));
    char name[96];
    snprintf(name, sizeof name, "%s at ordinal %d", e->name, e->ordinal);
    if (strcmp(e->state, "pending") == 0 && byName == NULL && byOrdinal == NULL) {
      printf("PENDING %s (not built yet)\n", name);
      pending++;
      continue;
    }
    Check(strcmp(e->state, "built") == 0 && byName != NULL && byName == byOrdinal, name,
          "state %s, by name %p, by ordinal %p", e->state, (void*)byName, (void*)byOrdinal);
    /* Two names, one function: the second name leads to the first's code. */
    if (strcmp(e->routine, e->name) != 0) {
      char alias[128];
      snprintf(alias, sizeof alias, "%s is %s", e->name, e->routine);
      Check(byName == GetProcAddress(g_dll, e->routine), alias, "different addresses");
    }
  }
  Check(GetProcAddress(g_dll, MAKEINTRESOURCEA(44)) == NULL, "no ordinal past 43",
        "ordinal 44 resolves");
  /* Decorated or mangled names must not resolve. */
  Check(GetProcAddress(g_dll, "_KXGetLibVer@0") == NULL &&
            GetProcAddress(g_dll, "KXGetErrMessage@8") == NULL,
        "no decorated names", "one resolved");
  Check(pending == 0, "all 43 exports built", "%d pending", pending);
}

/* Every export of the DLL went through Call at least once. */
static void CheckEveryExportCalled(void) {
  int missed = 0;
  for (size_t i = 0; i < sizeof kExportTable / sizeof kExportTable[0]; ++i) {
    if (strcmp(kExportTable[i].state, "posix") == 0 || g_called[i]) continue;
    printf("not called: %s\n", kExportTable[i].name);
    missed++;
  }
  Check(missed == 0, "every export called", "%d not called", missed);
}

/* One call of every export in a state where it is harmless: no reader is
 * open, and COM 77 has no device behind it. */
static void CallEveryExport(void) {
  char text[1024];
  char text2[256];
  char text3[256];
  unsigned char bytes[512];
  int value = 0;

  Check(Call("KXGetLibVer") == 20121227, "KXGetLibVer", "wrong version number");

  const unsigned char two[2] = {0x0A, 0xB1};
  memset(text, 0, sizeof text);
  Check(Call("GetHex", U(1), U(two), U(text), U(2)) == 1 && strcmp(text, "0AB1") == 0, "GetHex",
        "got \"%s\"", text);
  memset(bytes, 0, sizeof bytes);
  Check(Call("GetASC", U("0ab1"), U(bytes), U(4)) == 2 && bytes[0] == 0x0A && bytes[1] == 0xB1,
        "GetASC", "got %02X %02X", bytes[0], bytes[1]);

  Message(-4, text);
  Check(strcmp(text, kGbkCommError) == 0, "KXGetErrMessage(-4) GBK text", "got \"%s\"", text);

  Check(Call("KXInternalAuth", U(0)) == 0, "KXInternalAuth", "non-zero");
  Check(Call("KXCardLock", U(7)) == 0, "KXCardLock", "non-zero");
  Check(Call("KXSelectIFD", U(0), U(12)) == 0, "KXSelectIFD", "non-zero");
  memset(text, 0, sizeof text);
  memset(text2, 0, sizeof text2);
  Check(Call("GetReaderInfo", U(0), U(text), U(text2)) == 0, "GetReaderInfo", "non-zero");

  int params[2] = {77, 9600};
  unsigned int handle = 0xDEADBEEF;
  const int32_t init = Call("KXReaderInit", U(params), U(&handle));
  Check(init == -2, "KXReaderInit on a port without a device", "returned %d", (int)init);
  Message(-12, text);
  Check(strstr(text, "77") != NULL, "KXReaderInit names the port it failed on", "\"%s\"", text);
  Message(-2, text);
  Check(strcmp(text, kGbkOpenPortError) == 0, "KXGetErrMessage(-2) GBK text", "\"%s\"", text);
  Check(Call("KXReaderInitTest", U(77), U(9600)) == -2, "KXReaderInitTest without a device",
        "not -2");

  char status = 'x';
  Check(Call("GetReaderStatus", U(0), U(&status)) < 0, "GetReaderStatus without a reader",
        "succeeded");
  Check(Call("KXReaderPowerOff", U(0)) == 0, "KXReaderPowerOff with nothing open", "non-zero");
  Check(Call("KXCpuReset", U(0), U(text)) < 0, "KXCpuReset without a reader", "succeeded");
  const unsigned char challenge[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
  value = 0;
  Check(Call("KXRunApdu", U(0), U(5), U(challenge), U(&value), U(bytes)) < 0,
        "KXRunApdu without a reader", "succeeded");
  Check(Call("KXRunApduTest", U(0), U(10), U("0084000008"), U(text)) < 0,
        "KXRunApduTest without a reader", "succeeded");
  Check(Call("KXReadRecord", U(0), U(1), U(4), U(16), U(bytes)) < 0,
        "KXReadRecord without a reader", "succeeded");
  Check(Call("KXUpdateRecord", U(0), U(1), U(4), U(2), U(two)) < 0,
        "KXUpdateRecord without a reader", "succeeded");
  Check(Call("KXGetPsamID", U(0), U(text)) < 0, "KXGetPsamID without a reader", "succeeded");
  Check(Call("KXGetPsamIDATR", U(0), U(text), U(text2)) < 0, "KXGetPsamIDATR without a reader",
        "succeeded");
  memset(text, 0, sizeof text);
  const int32_t recordLength = Call("GetCurRecordData", U(text));
  Check(recordLength == (int32_t)strlen(text) + 1, "GetCurRecordData", "returned %d for \"%s\"",
        (int)recordLength, text);
  const int32_t combined = Call("CombinedData", U(2), U("DF01"), U("EF05"), U(""), U(text));
  Check(combined == 0 || combined == -12, "CombinedData", "returned %d", (int)combined);

  /* The rest in states where they fail fast (no reader anywhere, no PIN
   * pad). */
  Check(Call("SetPin", U("123456")) == 3, "SetPin", "not 3 bytes");
  Check(Call("KXAppLock", U(0), U("DF01")) < 0, "KXAppLock", "succeeded");
  Check(Call("KXCheckKey", U(0), U("IRK")) < 0, "KXCheckKey", "succeeded");
  Check(Call("KXCardVerifyPIN", U(0), U("123456"), U(&value)) < 0, "KXCardVerifyPIN", "succeeded");
  Check(Call("KXCardChangePIN", U(0), U("123456"), U("654321"), U(&value)) < 0, "KXCardChangePIN",
        "succeeded");
  Check(Call("testKXCardVerifyPIN", U("123456")) < 0, "testKXCardVerifyPIN", "succeeded");
  Check(Call("testKXCardChangePIN", U("123456"), U("654321")) < 0, "testKXCardChangePIN",
        "succeeded");
  Check(Call("KXCardUnlockPIN", U(0), U("123456")) < 0, "KXCardUnlockPIN", "succeeded");
  Check(Call("KXReadBinary", U(0), U(0), U(4), U(bytes)) < 0, "KXReadBinary", "succeeded");
  Check(Call("KXUpdateBinary", U(0), U(0), U(2), U(two)) < 0, "KXUpdateBinary", "succeeded");
  Check(Call("KXReadInfo", U(0), U("DF01"), U("EF05"), U(1), U(bytes)) < 0, "KXReadInfo",
        "succeeded");
  Check(Call("KXUpdateInfo", U(0), U("DF01"), U("EF05"), U(1), U("x")) < 0, "KXUpdateInfo",
        "succeeded");
  Check(Call("KXReadCardID", U(0), U(text), U(text2), U(text3)) < 0, "KXReadCardID", "succeeded");
  /* The all-in-one exports search COM1 to COM99; the test prefix maps none of
   * them to a device here, so each search fails quickly. */
  Check(Call("KXReadInfoAIO", U("DF01"), U("EF05"), U(1), U(bytes)) < 0, "KXReadInfoAIO",
        "succeeded");
  Check(Call("testKXReadInfoAIO", U("DF01"), U("EF05"), U(1), U(bytes)) < 0, "testKXReadInfoAIO",
        "succeeded");
  Check(Call("KXReadBinaryAIO", U("DF01"), U("EF05"), U(0), U(4), U(text)) < 0, "KXReadBinaryAIO",
        "succeeded");
  Check(Call("KXUpdateBinaryAIO", U("DF01"), U("EF05"), U(0), U(2), U(two)) < 0,
        "KXUpdateBinaryAIO", "succeeded");
  Check(Call("KXUpdateInfoAIO", U("DF01"), U("EF05"), U(1), U("x")) < 0, "KXUpdateInfoAIO",
        "succeeded");
  Check(Call("KXReadCardIDAIO", U(text), U(text2), U(text3)) < 0, "KXReadCardIDAIO", "succeeded");
  Check(Call("KXUpdateCardIDAIO", U("110000"), U("12345678"), U(text)) < 0, "KXUpdateCardIDAIO",
        "succeeded");
  memset(text, 0, sizeof text);
  Check(Call("KXTest", U(text)) == 0 && text[0] != 0, "KXTest", "no message");
  /* USB: no reader and no PIN pad among the HID devices (under Wine, none
   * at all); the device list comes from SetupAPI and hid.dll. */
  const int32_t usb = Call("KXReaderInitTest", U(100), U(9600));
  Check(usb == -2, "KXReaderInitTest on USB without a reader", "returned %d", (int)usb);
  Message(-12, text);
  Check(strstr(text, kGbkUsbFailed) != NULL, "USB failure message", "\"%s\"", text);
  Check(Call("KXReaderPowerOff", U(0)) == 0, "KXReaderPowerOff after a failed USB open",
        "non-zero");
  const int32_t pad = Call("KXReadPassword", U(1), U(text));
  Check(pad == -2, "KXReadPassword without a PIN pad", "returned %d", (int)pad);
}

static int RunExports(const char* path) {
  if (!LoadDll(path)) return Finish();
  if (!kStackChecked) printf("SKIP stack balance: x86-64 has one calling convention\n");
  CheckTable();
  CallEveryExport();
  CheckEveryExportCalled();

  /* The entry routine answers every notification: a thread attach and
   * detach, then an unload and a second load. */
  HANDLE thread = CreateThread(NULL, 0, Idle, NULL, 0, NULL);
  Check(thread != NULL && WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0,
        "thread attach and detach", "thread did not run");
  if (thread != NULL) CloseHandle(thread);
  Check(FreeLibrary(g_dll) != 0, "FreeLibrary", "error %lu", GetLastError());
  g_dll = LoadLibraryA(path);
  Check(g_dll != NULL && Call("KXGetLibVer") == 20121227, "load again after unload",
        "second load failed");
  return Finish();
}

/* ------------------------------------------------------------- version mode */

static int RunVersion(const char* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  Check(size > 0, "version resource present", "error %lu", GetLastError());
  if (size == 0) return Finish();
  void* block = malloc(size);
  if (block == NULL || !GetFileVersionInfoA(path, 0, size, block)) {
    Check(0, "GetFileVersionInfoA", "error %lu", GetLastError());
    free(block);
    return Finish();
  }
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  if (VerQueryValueA(block, "\\", (void**)&fixed, &length) && fixed != NULL) {
    Check(fixed->dwSignature == 0xFEEF04BD, "fixed version signature", "%08lx", fixed->dwSignature);
    Check(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0,
          "file version 1.0.0.0", "%08lx %08lx", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    Check(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0,
          "product version 1.0.0.0", "%08lx %08lx", fixed->dwProductVersionMS,
          fixed->dwProductVersionLS);
    Check(fixed->dwFileType == VFT_DLL, "file type DLL", "%lu", fixed->dwFileType);
  } else {
    Check(0, "fixed version information", "missing");
  }

  WORD* translation = NULL;
  if (!VerQueryValueA(block, "\\VarFileInfo\\Translation", (void**)&translation, &length) ||
      length < 4) {
    Check(0, "translation", "missing");
    free(block);
    return Finish();
  }
  static const char* const kStrings[][2] = {
      {"FileVersion", "V1.0.307"},
      {"FileDescription", "KX_ICCReader"},
      {"InternalName", "KX_ICCReader"},
      {"OriginalFilename", "KX_ICCReader.dll"},
  };
  for (size_t i = 0; i < sizeof kStrings / sizeof kStrings[0]; ++i) {
    char query[96];
    snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1],
             kStrings[i][0]);
    char* value = NULL;
    const int found = VerQueryValueA(block, query, (void**)&value, &length) && value != NULL;
    Check(found && strcmp(value, kStrings[i][1]) == 0, kStrings[i][0], "got \"%s\"",
          found ? value : "(missing)");
  }
  free(block);
  return Finish();
}

/* -------------------------------------------------------------- reader mode */

/* The host itself may open the port: the library has let it go. */
static void CheckPortReleased(int port, const char* after) {
  char name[32];
  char check[96];
  snprintf(name, sizeof name, "\\\\.\\COM%d", port);
  snprintf(check, sizeof check, "port released after %s", after);
  HANDLE again = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, NULL);
  Check(again != INVALID_HANDLE_VALUE, check, "error %lu", GetLastError());
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

static int RunReader(const char* path, int port) {
  if (!LoadDll(path)) return Finish();
  char text[1024];
  int params[2] = {port, 9600};
  unsigned int handle = 0;
  const int32_t init = Call("KXReaderInit", U(params), U(&handle));
  Message(-12, text);
  Check(init == 0, "KXReaderInit on the simulated reader", "returned %d: %s", (int)init, text);
  if (init != 0) return Finish();
  /* The handle hosts get back is the COM port's own. */
  Check(handle != 0 && GetFileType((HANDLE)(uintptr_t)handle) == FILE_TYPE_CHAR,
        "KXReaderInit hands out the port handle", "handle %08x", handle);

  char model[64] = {0};
  char version[64] = {0};
  Check(Call("GetReaderInfo", U(0), U(model), U(version)) == 0 && model[0] != 0, "GetReaderInfo",
        "model \"%s\"", model);

  char status = 0;
  Call("KXSelectIFD", U(0), U(12));
  const int32_t rc = Call("GetReaderStatus", U(0), U(&status));
  Check(rc == 0 && status == '2', "GetReaderStatus with a card", "rc %d status '%c'", (int)rc,
        status ? status : '?');

  char atr[256] = {0};
  Check(Call("KXCpuReset", U(0), U(atr)) == 0 && strlen(atr) >= 4, "KXCpuReset", "\"%s\"", atr);

  const unsigned char challenge[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
  unsigned char reply[300] = {0};
  int length = 0;
  const int32_t apdu = Call("KXRunApdu", U(0), U(5), U(challenge), U(&length), U(reply));
  Check(apdu == 0 && length == 10 && reply[8] == 0x90 && reply[9] == 0x00,
        "KXRunApdu GET CHALLENGE", "rc %d length %d", (int)apdu, length);
  char hexReply[700] = {0};
  const int32_t hexCount = Call("KXRunApduTest", U(0), U(10), U("0084000004"), U(hexReply));
  Check(hexCount == 12 && strcmp(hexReply + 8, "9000") == 0, "KXRunApduTest", "rc %d \"%s\"",
        (int)hexCount, hexReply);

  char psamId[128] = {0};
  const int32_t psam = Call("KXGetPsamID", U(0), U(psamId));
  Message(-12, text);
  Check(psam == 0 && strlen(psamId) == 12, "KXGetPsamID", "rc %d \"%s\" %s", (int)psam, psamId,
        text);

  const int32_t key = Call("KXCheckKey", U(0), U("UK1DF01"));
  Message(-12, text);
  Check(key == 0, "KXCheckKey UK1DF01", "rc %d: %s", (int)key, text);

  /* The PIN reset to what it was, and the card's PIN checked against it. */
  int tries = 0;
  const int32_t unlock = Call("KXCardUnlockPIN", U(0), U("123456"));
  Message(-12, text);
  Check(unlock == 0 && Call("KXCardVerifyPIN", U(0), U("123456"), U(&tries)) == 0,
        "KXCardUnlockPIN", "rc %d: %s", (int)unlock, text);
  /* DF0A locked: its reads refused from then on. */
  const int32_t lock = Call("KXAppLock", U(0), U("DF0A"));
  Message(-12, text);
  Check(lock == 0, "KXAppLock DF0A", "rc %d: %s", (int)lock, text);
  unsigned char item[128] = {0};
  Check(Call("KXReadInfo", U(0), U("DF0A"), U("EF0C"), U(1), U(item)) == -27265,
        "KXReadInfo of the locked DF0A", "not refused with 6A81");

  Check(Call("KXReaderPowerOff", U(0)) == 0, "KXReaderPowerOff", "non-zero");
  CheckPortReleased(port, "KXReaderPowerOff");
  Check(Call("GetReaderStatus", U(0), U(&status)) == -2, "GetReaderStatus after power-off",
        "link still open");

  /* The all-in-one exports find the reader on their own (the remembered
   * port) and release it again. */
  unsigned char out[128];
  static const char* const kReaders[] = {"KXReadInfoAIO", "testKXReadInfoAIO"};
  for (int i = 0; i < 2; ++i) {
    memset(out, 0, sizeof out);
    const int32_t read = Call(kReaders[i], U("3F00"), U("EF05"), U(1), U(out));
    Message(-12, text);
    Check(read == 0 && strcmp((const char*)out, "330329D15600000500006074BD3D5A3F") == 0,
          kReaders[i], "rc %d \"%s\" %s", (int)read, (const char*)out, text);
  }
  CheckPortReleased(port, "KXReadInfoAIO");
  char hex[64] = {0};
  const int32_t binary = Call("KXReadBinaryAIO", U("DF0B"), U("EF0C"), U(0), U(8), U(hex));
  Check(binary == 0 && strlen(hex) == 16, "KXReadBinaryAIO", "rc %d \"%s\"", (int)binary, hex);
  const unsigned char two[2] = {0x12, 0x34};
  Check(Call("KXUpdateBinaryAIO", U("DF0B"), U("EF0C"), U(2), U(2), U(two)) == 0 &&
            Call("KXReadBinaryAIO", U("DF0B"), U("EF0C"), U(2), U(2), U(hex)) == 0 &&
            strcmp(hex, "1234") == 0,
        "KXUpdateBinaryAIO read back", "\"%s\"", hex);
  /* The card's identity, read in one call, rewritten with the PSAM's check
   * bytes and read back, then read on a reader the host opened. */
  char number[16] = {0};
  char code[40] = {0};
  char organisation[32] = {0};
  Check(Call("KXReadCardIDAIO", U(number), U(code), U(organisation)) == 0 &&
            strcmp(number, "K12345678") == 0 &&
            strcmp(code, "330329D15600000500006074BD3D5A3F") == 0 &&
            strcmp(organisation, "330329100001000000000001") == 0,
        "KXReadCardIDAIO", "\"%s\" \"%s\" \"%s\"", number, code, organisation);
  char written[40] = {0};
  const int32_t update = Call("KXUpdateCardIDAIO", U("330329"), U("00006075"), U(written));
  Message(-12, text);
  Check(
      update == 0 && strncmp(written, "330329D15600000500006075", 24) == 0 && strlen(written) == 32,
      "KXUpdateCardIDAIO", "rc %d \"%s\" %s", (int)update, written, text);
  CheckPortReleased(port, "KXUpdateCardIDAIO");
  Check(Call("KXReaderInit", U(params), U(&handle)) == 0, "KXReaderInit again", "failed");
  Call("KXSelectIFD", U(0), U(12));
  Call("GetReaderStatus", U(0), U(&status));
  memset(code, 0, sizeof code);
  Check(Call("KXReadCardID", U(0), U(number), U(code), U(organisation)) == 0 &&
            strcmp(code, written) == 0,
        "KXReadCardID reads the code back", "\"%s\"", code);
  CheckPortReleased(port, "KXReadCardID");
  memset(text, 0, sizeof text);
  Check(Call("KXTest", U(text)) == 0 && strcmp(text, kGbkSuccess) == 0,
        "KXTest on the simulated card", "\"%s\"", text);
  CheckPortReleased(port, "KXTest");
  return Finish();
}

static int RunSilent(const char* path, int port) {
  if (port >= 10) {
    /* Why the library opens "\\.\COMn": the bare name is a DOS device only
     * for COM1 to COM9. */
    char bare[16];
    snprintf(bare, sizeof bare, "COM%d", port);
    HANDLE h = CreateFileA(bare, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, NULL);
    Check(h == INVALID_HANDLE_VALUE, "bare COM name above 9 does not open", "%s opened", bare);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  if (!LoadDll(path)) return Finish();
  char text[545];
  Check(Call("KXReaderInitTest", U(port), U(9600)) == 0, "KXReaderInitTest on a silent reader",
        "open failed");
  char status = 0;
  const DWORD start = GetTickCount();
  const int32_t rc = Call("GetReaderStatus", U(0), U(&status));
  const DWORD elapsed = GetTickCount() - start;
  Check(rc == -4, "GetReaderStatus on a silent reader", "returned %d", (int)rc);
  /* Loose bounds: the wait is the power-on limit, and it does end. */
  Check(elapsed >= 1500 && elapsed < 15000, "silent reader wait is bounded", "%lu ms", elapsed);
  Message(-4, text);
  Check(strcmp(text, kGbkCommError) == 0, "KXGetErrMessage(-4)", "\"%s\"", text);
  Message(-12, text);
  Check(strcmp(text, kGbkParamThenReceiveFailed) == 0, "KXGetErrMessage(-12) after the time-out",
        "\"%s\"", text);
  return Finish();
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc >= 3 && strcmp(argv[1], "exports") == 0) return RunExports(argv[2]);
  if (argc >= 3 && strcmp(argv[1], "version") == 0) return RunVersion(argv[2]);
  if (argc >= 4 && strcmp(argv[1], "reader") == 0) return RunReader(argv[2], atoi(argv[3]));
  if (argc >= 4 && strcmp(argv[1], "silent") == 0) return RunSilent(argv[2], atoi(argv[3]));
  fprintf(stderr, "usage: test_host exports|version DLL | reader|silent DLL PORT\n");
  return 2;
}
