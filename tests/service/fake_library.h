// A CardLibrary that records every call and answers as a test sets it up:
// the request handler's tests and fuzz target run against it.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "service/card_library.h"

namespace kxservice::test {

class FakeLibrary : public CardLibrary {
 public:
  std::vector<std::string> calls;      // "KXReadInfoAIO DF01 EF05 2", "SetPin 123456", ...
  std::map<std::string, int> results;  // by export name; 0 when not set
  std::string message = "\xb2\xce\xca\xfd\xb4\xed\xce\xf3";  // GBK for a library message
  std::string readOutput;  // what KXReadInfoAIO / KXReadBinaryAIO write
  char status = '2';
  int triesLeft = 2;

  int KXGetErrMessage(int, char* m) override {
    std::strncpy(m, message.c_str(), 544);
    return 0;
  }
  int KXReaderInitTest(int port, int baud) override {
    return Log("KXReaderInitTest " + std::to_string(port) + " " + std::to_string(baud));
  }
  int KXSelectIFD(int code) override { return Log("KXSelectIFD " + std::to_string(code)); }
  int GetReaderStatus(char* s) override {
    *s = status;
    return Log("GetReaderStatus");
  }
  int GetReaderInfo(char* model, char* version) override {
    std::strcpy(model, "TXR-7700");
    std::strcpy(version, "20111201040014");
    return Log("GetReaderInfo");
  }
  int KXReaderPowerOff() override { return Log("KXReaderPowerOff"); }
  int KXCpuReset(char* atr) override {
    std::strcpy(atr, "3B6D");
    return Log("KXCpuReset");
  }
  int KXReadCardIDAIO(char* number, char* code, char* organisation) override {
    std::strcpy(number, "K12345678");
    std::strcpy(code, "330329D15600000500006074BD3D5A3F");
    std::strcpy(organisation, "330329100001000000000001");
    return Log("KXReadCardIDAIO");
  }
  int KXReadInfoAIO(const char* d, const char* f, int r, unsigned char* out) override {
    std::memcpy(out, readOutput.data(), readOutput.size());
    return Log(std::string("KXReadInfoAIO ") + d + " " + f + " " + std::to_string(r));
  }
  int KXReadBinaryAIO(const char* d, const char* f, int offset, int length, char* out) override {
    std::memcpy(out, readOutput.data(), std::min<std::size_t>(readOutput.size(), 2 * length));
    return Log(std::string("KXReadBinaryAIO ") + d + " " + f + " " + std::to_string(offset) + " " +
               std::to_string(length));
  }
  int KXUpdateInfoAIO(const char* d, const char* f, int r, const unsigned char* data) override {
    // The fake does not know the item's length: it keeps the bytes up to the
    // first zero (the service's buffer ends in one), at most 30.
    const char* text = reinterpret_cast<const char*>(data);
    written.assign(text, strnlen(text, 30));
    return Log(std::string("KXUpdateInfoAIO ") + d + " " + f + " " + std::to_string(r));
  }
  int KXReadPassword(int mode, char* pin) override {
    std::strcpy(pin, "123456");
    return Log("KXReadPassword " + std::to_string(mode));
  }
  int SetPin(const char* text) override { return Log(std::string("SetPin ") + text) == 0 ? 3 : -1; }
  int KXCardVerifyPIN(const char* pin, int* retries) override {
    *retries = triesLeft;
    return Log(std::string("KXCardVerifyPIN ") + pin);
  }
  int KXCardChangePIN(const char* oldPin, const char* newPin, int* retries) override {
    *retries = triesLeft;
    return Log(std::string("KXCardChangePIN ") + oldPin + " " + newPin);
  }
  int KXCardUnlockPIN(const char* newPin) override {
    return Log(std::string("KXCardUnlockPIN ") + newPin);
  }

  std::string written;

 private:
  int Log(const std::string& call) {
    calls.push_back(call);
    const std::string name = call.substr(0, call.find(' '));
    const auto it = results.find(name);
    return it == results.end() ? 0 : it->second;
  }
};

}  // namespace kxservice::test
