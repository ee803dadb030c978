// The fictional default cardholder the simulator starts with: every item of
// the card filled with realistic GBK content, PIN 123456, keys
// diversified for this card, and a PSAM that goes with it.
#pragma once

#include "sim/profile.h"

namespace kx::sim {

CardProfile DefaultCardProfile();
PsamProfile DefaultPsamProfile();
SimProfile DefaultProfile();

}  // namespace kx::sim
