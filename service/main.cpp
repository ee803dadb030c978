// kx-service: the card reader for web pages and 64-bit programs, as a local
// HTTP + JSON service on the loopback interface (see docs/integration.md,
// "The card service").
#include <cstdio>
#include <string>
#include <thread>

#include "KX_ICCReader.h"
#include "service/card_watcher.h"
#include "service/config.h"
#include "service/handler.h"
#include "service/http_server.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#endif

namespace {

kxservice::HttpService* running = nullptr;

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD) {
  if (running != nullptr) running->Stop();  // the event streams end within 2 s
  return TRUE;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  kxservice::Config config;
  std::string error;
  const int loaded = kxservice::LoadConfig(argc, argv, &config, &error);
  if (loaded == 1) return 0;
  if (loaded != 0) {
    std::fprintf(stderr, "kx-service: %s\n%s", error.c_str(), kxservice::kUsage);
    return 2;
  }
#ifndef _WIN32
  if (!config.device.empty()) {
    if (config.comPort == 100 || KXSetComDevice(config.comPort, config.device.c_str()) != 0) {
      std::fprintf(stderr, "kx-service: cannot map COM%d to %s\n", config.comPort,
                   config.device.c_str());
      return 2;
    }
  }
  // A flood of connections must not run out of descriptors before the
  // service's own limits act.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // SIGINT and SIGTERM are taken by the main thread alone, below.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);
#endif
  // The all-in-one exports try the remembered COM port before they scan:
  // make it the reader's (COM1 is remembered from the start).
  if (config.comPort != 1 && config.comPort != 100 && KXReaderInitTest(config.comPort, 9600) == 0) {
    KXReaderPowerOff(0);
  }

  auto library = kxservice::LinkedLibrary();
  kxservice::RequestHandler handler(config, *library, config.port);
  kxservice::CardWatcher watcher([&handler] { return handler.CardState(); });
  kxservice::HttpService service(config, handler, watcher);
  if (!service.Bind(&error)) {
    std::fprintf(stderr, "kx-service: %s\n", error.c_str());
    return 1;
  }
  std::printf("kx-service: listening on %s\n", service.Addresses().c_str());
  std::fflush(stdout);
  running = &service;
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  service.Run();
#else
  std::thread waiter([&service, &watcher, stops] {
    int signal = 0;
    sigwait(&stops, &signal);
    watcher.Stop();
    service.Stop();
  });
  service.Run();
  // Run ended for a signal (the waiter stopped it) or a failure: either way
  // the waiter must not outlive main.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
#endif
  return 0;
}
