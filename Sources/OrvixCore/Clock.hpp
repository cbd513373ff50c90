#pragma once

#include "Instant.hpp"

namespace orvix {

// The wall clock, behind a seam so tests can move time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() const = 0;
};

class SystemClock final : public Clock {
public:
    Instant now() const override { return Instant::now(); }
};

}  // namespace orvix
