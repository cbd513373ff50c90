#pragma once

#include <stdexcept>

namespace orvix {

// A refusal of the website service; `what()` is the sentence shown to the user, in the
// service's status file or on its standard error.
class WebRootError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace orvix
