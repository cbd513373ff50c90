#pragma once

#include <string>
#include <unordered_set>

namespace orvix {

// The names the proxy refuses itself: each listed domain and every name below it.
class BlockList {
public:
    BlockList() = default;

    // One domain per line; empty lines and lines starting with "#" are skipped. Throws
    // ProxyError for a line that is not a plain domain name (patterns are not understood).
    static BlockList parse(const std::string &text);
    // Reads and parses the file; throws ProxyError when it cannot be read.
    static BlockList load(const std::string &path);

    // `name` in the lower-case dotted form of DNSMessage::Query.
    bool blocks(const std::string &name) const;
    std::size_t size() const { return names_.size(); }

private:
    std::unordered_set<std::string> names_;
};

}  // namespace orvix
