// The library's exports that kx-service calls, behind a small interface: the
// product calls the public header's functions (card_library_exports.cpp);
// the tests and the fuzz target put a fake in its place, so the request
// handling runs without a reader. Each member is the export of the same
// name, with the same arguments and result.
#pragma once

#include <memory>

namespace kxservice {

class CardLibrary {
 public:
  virtual ~CardLibrary() = default;
  virtual int KXGetErrMessage(int code, char* message) = 0;
  virtual int KXReaderInitTest(int port, int baud) = 0;
  virtual int KXSelectIFD(int code) = 0;
  virtual int GetReaderStatus(char* status) = 0;
  virtual int GetReaderInfo(char* model, char* version) = 0;
  virtual int KXReaderPowerOff() = 0;
  virtual int KXCpuReset(char* resetAnswerHex) = 0;
  virtual int KXReadCardIDAIO(char* cardNumber, char* identificationCode,
                              char* organisationNumber) = 0;
  virtual int KXReadInfoAIO(const char* directory, const char* file, int record,
                            unsigned char* out) = 0;
  virtual int KXReadBinaryAIO(const char* directory, const char* file, int offset, int length,
                              char* out) = 0;
  virtual int KXUpdateInfoAIO(const char* directory, const char* file, int record,
                              const unsigned char* data) = 0;
  virtual int KXReadPassword(int mode, char* pin) = 0;
  virtual int SetPin(const char* pinText) = 0;
  virtual int KXCardVerifyPIN(const char* pin, int* retries) = 0;
  virtual int KXCardChangePIN(const char* oldPin, const char* newPin, int* retries) = 0;
  virtual int KXCardUnlockPIN(const char* newPin) = 0;
};

// The library this program is linked with.
std::unique_ptr<CardLibrary> LinkedLibrary();

}  // namespace kxservice
