#include "BlockList.hpp"

#include <fstream>
#include <sstream>

#include "DNSMessage.hpp"
#include "ProxyError.hpp"

namespace orvix {

namespace {

constexpr std::size_t maximumFileSize = 64 * 1024 * 1024;

bool plainDomain(const std::string &name) {
    if (!DNSMessage::encodeName(name) || name.empty()) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_'))
            return false;
    return true;
}

}  // namespace

BlockList BlockList::parse(const std::string &text) {
    BlockList list;
    std::size_t start = 0;
    std::size_t lineNumber = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        line.erase(0, first);
        for (char &c : line)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (!plainDomain(line))
            throw ProxyError("The block list has a line that is not a domain name (line " +
                             std::to_string(lineNumber) + ").");
        list.names_.insert(line);
    }
    return list;
}

BlockList BlockList::load(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ProxyError("The block list cannot be read: " + path);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad() || text.str().size() > maximumFileSize)
        throw ProxyError("The block list cannot be read: " + path);
    return parse(text.str());
}

bool BlockList::blocks(const std::string &name) const {
    if (names_.empty()) return false;
    std::size_t start = 0;
    while (true) {
        if (names_.count(name.substr(start))) return true;
        const std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) return false;
        start = dot + 1;
    }
}

}  // namespace orvix
