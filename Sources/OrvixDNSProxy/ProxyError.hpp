#pragma once

#include <stdexcept>
#include <string>

namespace orvix {

// Why the DNS proxy refuses to start: a configuration, block list or command line it does not
// understand. The message is the sentence printed on standard error.
class ProxyError : public std::runtime_error {
public:
    explicit ProxyError(const std::string &message) : std::runtime_error(message) {}
};

}  // namespace orvix
