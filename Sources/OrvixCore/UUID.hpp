#pragma once

#include <string>

namespace orvix {

// A fresh random (version 4) UUID in canonical upper-case form.
std::string makeUUIDString();

}  // namespace orvix
