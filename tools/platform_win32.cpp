#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/platform_tools.h"

namespace kxcard {

std::string GbkToUtf8(const std::string& gbk) {
  if (gbk.empty()) return gbk;
  const int wide =
      MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  if (wide <= 0) return gbk;
  std::vector<wchar_t> w(static_cast<size_t>(wide));
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), w.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data(), bytes, nullptr, nullptr);
  return out;
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  gbk->clear();
  if (utf8.empty()) return true;
  const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
  if (wide <= 0) return false;
  std::vector<wchar_t> w(static_cast<size_t>(wide));
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), wide);
  BOOL lossy = FALSE;
  const int bytes = WideCharToMultiByte(936, 0, w.data(), wide, nullptr, 0, nullptr, &lossy);
  if (bytes <= 0 || lossy) return false;
  gbk->resize(static_cast<size_t>(bytes));
  WideCharToMultiByte(936, 0, w.data(), wide, gbk->data(), bytes, nullptr, nullptr);
  return true;
}

// The simulator serves a pseudo-terminal, which only exists on the Linux side:
// under Wine, map its path to a COM port in the prefix and use --port.
bool StartSimulator(const std::string&, const std::string&, Simulator*, std::string* error) {
  *error = "--sim is available on Linux only; map kx-sim's pseudo-terminal to a COM port";
  return false;
}

void StopSimulator(Simulator*) {}

bool MapComPort(int, const std::string&, int* code) {
  *code = 0;
  return false;
}

std::string DefaultDevice(int) {
  return {};
}

namespace {

std::string WideToUtf8(const wchar_t* text, int length) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

// The system's text for an error code, in UTF-8, without its line break.
std::string SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = length > 0 ? WideToUtf8(text, static_cast<int>(length)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
    out.pop_back();
  }
  return out.empty() ? "error " + std::to_string(error) : out;
}

UINT savedOutputCodePage = 0;

void RestoreConsole() {
  if (savedOutputCodePage != 0) SetConsoleOutputCP(savedOutputCodePage);
}

}  // namespace

std::string OpenFailureReason(int port, const std::string&) {
  if (port == 100) return "no USB reader (3C4E:0402 or 7B15:0201) could be opened";
  const std::string name = "\\\\.\\COM" + std::to_string(port);
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    std::string text = "cannot open COM" + std::to_string(port) + ": " + SystemMessage(error);
    if (error == ERROR_ACCESS_DENIED) text += "\nhint: another program holds the port";
    return text;
  }
  CloseHandle(h);
  return "COM" + std::to_string(port) + " opens for kxcard; the library could not set it up";
}

std::vector<ScanPort> ScanPorts() {
  // Only the ports the system knows: COMn has a DOS device name.
  std::vector<ScanPort> ports;
  char target[1024];
  for (int n = 1; n <= 99; ++n) {
    const std::string name = "COM" + std::to_string(n);
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) ports.push_back({n, ""});
  }
  return ports;
}

namespace {

bool IsConsole(DWORD handle) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(handle), &mode) != 0;
}

}  // namespace

bool StdinIsTerminal() {
  return IsConsole(STD_INPUT_HANDLE);
}

bool StderrIsTerminal() {
  return IsConsole(STD_ERROR_HANDLE);
}

bool ReadSecretLine(const std::string& prompt, std::string* line) {
  std::fprintf(stderr, "%s", prompt.c_str());
  std::fflush(stderr);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  const bool console = GetConsoleMode(in, &saved) != 0;
  if (console) SetConsoleMode(in, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  line->clear();
  bool read = false;
  for (int c = std::getchar(); c != EOF; c = std::getchar()) {
    read = true;
    if (c == '\n') break;
    if (c != '\r') line->push_back(static_cast<char>(c));
  }
  if (console) SetConsoleMode(in, saved);
  std::fprintf(stderr, "\n");
  return read;
}

void PrepareConsole() {
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
      GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) {
    savedOutputCodePage = GetConsoleOutputCP();
    // kxcard writes UTF-8; the console shows it as such, Chinese included.
    if (SetConsoleOutputCP(CP_UTF8)) std::atexit(RestoreConsole);
  }
}

namespace {

// One argument as the C run time's parser reads it back.
std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Copies the trace file to stderr and deletes it.
void ShowTrace(const std::string& path) {
  if (std::FILE* trace = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, trace)) > 0;) {
      std::fwrite(chunk, 1, n, stderr);
    }
    std::fclose(trace);
  }
  DeleteFileA(path.c_str());
}

}  // namespace

// -v: the diagnostic DLL has the product's name, so it is loaded by a copy
// of kxcard.exe that lies beside it (diag\kxcard.exe): that copy runs the
// command with the trace going to a temporary file (or to the file KX_TRACE
// names), and the trace is shown on stderr when it ends.
bool RunWithTrace(char** argv, std::string* error) {
  constexpr const char* kMarker = "KXCARD_TRACING";
  if (GetEnvironmentVariableA(kMarker, nullptr, 0) != 0) return true;
  char self[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string dir(self, length);
  dir.resize(dir.find_last_of("\\/") == std::string::npos ? 0 : dir.find_last_of("\\/"));
  std::string program;
  for (const std::string& candidate : {dir + "\\diag\\kxcard.exe", dir + "\\..\\diag\\kxcard.exe"}) {
    if (Exists(candidate)) {
      program = candidate;
      break;
    }
  }
  if (program.empty()) {
    *error = "the library's diagnostic build (diag\\KX_ICCReader.dll and diag\\kxcard.exe) is "
             "not installed";
    return false;
  }
  std::string tracePath;
  if (GetEnvironmentVariableA("KX_TRACE", nullptr, 0) == 0) {
    char folder[MAX_PATH] = {};
    char file[MAX_PATH] = {};
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "kxt", 0, file) == 0) {
      *error = "cannot make a temporary file for the trace";
      return false;
    }
    tracePath = file;
    SetEnvironmentVariableA("KX_TRACE", file);
  }
  SetEnvironmentVariableA(kMarker, "1");

  std::string commandLine = Quoted(program);
  for (char** a = argv + 1; *a != nullptr; ++a) commandLine += " " + Quoted(*a);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::fflush(stdout);
  std::fflush(stderr);
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    *error = "cannot run " + program + ": " + SystemMessage(GetLastError());
    if (!tracePath.empty()) DeleteFileA(tracePath.c_str());
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!tracePath.empty()) ShowTrace(tracePath);
  std::exit(static_cast<int>(code));
}

// The win32 thread model of the cross compiler has no std::thread.
struct Countdown::Impl {
  std::string label;
  int seconds = 0;
  HANDLE stop = nullptr;
  HANDLE thread = nullptr;
};

namespace {

DWORD WINAPI RunCountdown(void* argument) {
  auto* impl = static_cast<Countdown::Impl*>(argument);
  for (int left = impl->seconds; left >= 0; --left) {
    std::fprintf(stderr, "\r%s %2d s ", impl->label.c_str(), left);
    std::fflush(stderr);
    if (WaitForSingleObject(impl->stop, 1000) == WAIT_OBJECT_0) break;
  }
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(impl->label.size()) + 6, "");
  std::fflush(stderr);
  return 0;
}

}  // namespace

Countdown::Countdown(const std::string& label, int seconds) : impl_(new Impl) {
  if (!StderrIsTerminal()) return;
  impl_->label = label;
  impl_->seconds = seconds;
  impl_->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (impl_->stop != nullptr)
    impl_->thread = CreateThread(nullptr, 0, RunCountdown, impl_, 0, nullptr);
}

Countdown::~Countdown() {
  if (impl_->thread != nullptr) {
    SetEvent(impl_->stop);
    WaitForSingleObject(impl_->thread, INFINITE);
    CloseHandle(impl_->thread);
  }
  if (impl_->stop != nullptr) CloseHandle(impl_->stop);
  delete impl_;
}

}  // namespace kxcard
