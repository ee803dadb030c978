#include "KX_ICCReader.h"
#include "service/card_library.h"

namespace kxservice {

namespace {

class Linked final : public CardLibrary {
 public:
  int KXGetErrMessage(int code, char* message) override { return ::KXGetErrMessage(code, message); }
  int KXReaderInitTest(int port, int baud) override { return ::KXReaderInitTest(port, baud); }
  int KXSelectIFD(int code) override { return ::KXSelectIFD(0, code); }
  int GetReaderStatus(char* status) override { return ::GetReaderStatus(0, status); }
  int GetReaderInfo(char* model, char* version) override {
    return ::GetReaderInfo(0, model, version);
  }
  int KXReaderPowerOff() override { return ::KXReaderPowerOff(0); }
  int KXCpuReset(char* resetAnswerHex) override { return ::KXCpuReset(0, resetAnswerHex); }
  int KXReadCardIDAIO(char* cardNumber, char* identificationCode,
                      char* organisationNumber) override {
    return ::KXReadCardIDAIO(cardNumber, identificationCode, organisationNumber);
  }
  int KXReadInfoAIO(const char* directory, const char* file, int record,
                    unsigned char* out) override {
    return ::KXReadInfoAIO(directory, file, record, out);
  }
  int KXReadBinaryAIO(const char* directory, const char* file, int offset, int length,
                      char* out) override {
    return ::KXReadBinaryAIO(directory, file, offset, length, out);
  }
  int KXUpdateInfoAIO(const char* directory, const char* file, int record,
                      const unsigned char* data) override {
    return ::KXUpdateInfoAIO(directory, file, record, data);
  }
  int KXReadPassword(int mode, char* pin) override { return ::KXReadPassword(mode, pin); }
  int SetPin(const char* pinText) override { return ::SetPin(pinText); }
  int KXCardVerifyPIN(const char* pin, int* retries) override {
    return ::KXCardVerifyPIN(0, pin, retries);
  }
  int KXCardChangePIN(const char* oldPin, const char* newPin, int* retries) override {
    return ::KXCardChangePIN(0, oldPin, newPin, retries);
  }
  int KXCardUnlockPIN(const char* newPin) override { return ::KXCardUnlockPIN(0, newPin); }
};

}  // namespace

std::unique_ptr<CardLibrary> LinkedLibrary() {
  return std::make_unique<Linked>();
}

}  // namespace kxservice
