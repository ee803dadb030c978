// kxcard's card identity and card management commands: the identity block
// read and the identification code rewritten, the PIN reset without the old
// PIN, an application directory locked. The two that change the card for
// good ask for confirmation first, unless --yes.
#pragma once

#include <string>
#include <vector>

#include "tools/kxcard_items.h"

namespace kxcard {

// Usage lines of the commands below.
extern const char kIdentityUsage[];

// Runs `command` when it is one of: id, set-id, unlock-pin, lock-app.
// Returns the exit status (0 ok, 1 the library failed, 2 usage or not
// confirmed), or -1 when `command` is none of them.
int RunIdentityCommand(const std::string& command, const std::vector<std::string>& args,
                       const ItemOptions& options);

}  // namespace kxcard
