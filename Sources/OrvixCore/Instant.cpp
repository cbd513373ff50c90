#include "Instant.hpp"

#include <chrono>

namespace orvix {

Instant Instant::now() {
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return fromUnixSeconds(std::chrono::duration<double>(sinceEpoch).count());
}

}  // namespace orvix
