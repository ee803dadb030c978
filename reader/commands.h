// Reader commands (card power on/off, APDU transport) and the reader search.
// Results follow core/result.h: 0 or a negative code; lengths come back
// through out-parameters.
#pragma once

#include <cstdint>

namespace kx {

// The slots the reader addresses its cards by (the values nIFDType takes).
enum class Slot : int {
  Contact = 0,        // contact user card
  Other = 1,          // any other KXSelectIFD code, passed through
  Psam = 16,          // the PSAM
  Psam2 = 17,         // KXSelectIFD code 15, passed through
  Contactless = 255,  // contactless user card: power on/off without a slot byte
};

constexpr int SlotNumber(Slot slot) {
  return static_cast<int>(slot);
}

// Powers on (resets) the card in `slot`. On success *length is the reset
// answer's length (0 when the reader answered success without data) and the
// bytes are in resetAnswer (capacity bytes at most; a longer answer is
// refused with -4).
int PowerOnSlot(int slot, std::uint8_t* resetAnswer, int capacity, int* length);

// Powers off the card in `slot`. 0 or a negative code (callers ignore it).
int PowerOffSlot(int slot);

// Carries one APDU to the card in `slot`. On success *length is the reply's
// length (data and SW1 SW2, at most `capacity`; 0 for an empty reply). The
// APDU's bytes from `secretFrom` on (PIN data) never reach the trace.
int TransmitApdu(int slot, const std::uint8_t* apdu, int n, int secretFrom, std::uint8_t* reply,
                 int capacity, int* length);

// Powers the PSAM on: 0 when it answered a reset answer, -2 for an empty one,
// else the code of the power-on.
int CheckPsam();

// The status query of GetReaderStatus on `slot`: writes '2' or '0' to
// *statusChar and keeps the reset answer in ResetAnswer. Returns 0 or a
// negative code.
int QueryReaderStatus(int slot, char* statusChar);

// Opens the reader: port 100 is the USB reader, any other number a COM port
// at `baud`, which then receives the start sequence ESC "%I4". The port is
// remembered in ComPortNumber before the open, even when it fails. 0 or -2;
// -2 also when the start sequence cannot be written, the port closed again.
// *handleOut (when given) receives the COM port's platform handle on success.
int ReaderInit(int port, int baud, std::uint32_t* handleOut);

// Powers the card in `slot` off and closes the link. Always 0.
int ReaderPowerOff(int slot);

// The reader's model and firmware version texts (kReaderModelSize and
// kReaderVersionSize bytes); the reader is not asked.
inline constexpr int kReaderModelSize = 9;
inline constexpr int kReaderVersionSize = 15;
int ReaderInfo(char* model, char* version);

// Where the reader search stopped.
enum class SearchEnd {
  CardPowered,     // a reader answered with its user card powered on; the link stays open
  NoCard,          // a reader answered the status query without a card
  UsbQueryFailed,  // the USB reader's status query failed (code)
  NoReader,        // no port answered
};
enum class SearchStage { Usb, RememberedPort, Scan };
struct ReaderSearch {
  SearchEnd end = SearchEnd::NoReader;
  SearchStage stage = SearchStage::Scan;
  int port = 0;  // where it stopped: 100 for USB, else a COM port
  int code = 0;  // UsbQueryFailed: the query's code
};

// The search's steps, for ConnectUserCard and the card identity services,
// which give its ends their own results: the USB reader, then the
// remembered COM port, then COM1..COM99, each COM port sent the start
// sequence; the first reader whose status query (on `slot`) succeeds
// ends it. A USB reader whose query fails ends it when `usbFailureEnds`,
// else the search goes on. Found by the scan with a card, the port becomes
// ComPortNumber. The link is left open only for CardPowered.
ReaderSearch SearchReader(int slot, bool usbFailureEnds);

// Finds the reader (USB, then the remembered COM port, then COM1..COM99) and
// powers the contact user card on. 0, -6, -2 or the status query's code; on
// success *foundPort is where it found the reader (a COM port, or 100).
int ConnectUserCard(int* foundPort);

// Powers both cards off and closes the link. When the link has been closed
// since ConnectUserCard found the reader on `foundPort` (0: it found none),
// that reader is opened again first, so that neither card stays powered.
void DisconnectUserCard(int foundPort);

}  // namespace kx
