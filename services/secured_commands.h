// PIN unlock and application lock: commands the user card accepts only with
// a cryptogram and a MAC the PSAM makes under a key of the master file
// diversified for this card and one of its challenges. Both work on the link
// the host opened, with the contact user card reset before (its reset answer
// gives the card factor), and neither powers anything off. A failing step
// puts its own words into ErrorText. Results follow core/result.h.
#pragma once

#include "card/operation.h"

namespace kx {

// KXCardUnlockPIN: proves the master file's PUK to the card, then resets the
// PIN to `newPin`, six digits, or the default 258147 when it is empty. The
// text is looked at only once PUK is proven and STKMF diversified: another
// length gives -15, a character outside '0' to '9' -12; the card's PIN
// changes only with the last command. The PIN's copies are wiped when the
// call ends.
int UnlockPin(Operation& op, const char* newPin);

// KXAppLock: blocks the directory named by the first four characters of
// `directory` (hex digits, e.g. "DF03"), refused with -12 before any command
// when there are fewer or they are not hex digits. The lock command carries
// the card's first challenge enciphered under BK and a MAC over it.
int LockApplication(Operation& op, const char* directory);

}  // namespace kx
