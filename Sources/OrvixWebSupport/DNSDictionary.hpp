#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <plist/plist.h>

namespace orvix {

// The DNS configuration of one network service: a property-list dictionary with string keys.
// Its resolver list is under "ServerAddresses"; a service without it takes its resolvers from
// the network. Other keys (search domains, say) are carried along untouched.
class DNSDictionary {
public:
    static constexpr const char *serverAddressesKey = "ServerAddresses";

    DNSDictionary();
    DNSDictionary(const DNSDictionary &other);
    DNSDictionary(DNSDictionary &&other) noexcept;
    DNSDictionary &operator=(DNSDictionary other) noexcept;
    ~DNSDictionary();

    // The dictionary a binary property list holds; none when the bytes are not a property list
    // or hold something other than a dictionary.
    static std::optional<DNSDictionary> fromBinary(const std::vector<std::uint8_t> &bytes);
    std::vector<std::uint8_t> binary() const;

    bool empty() const;
    bool contains(const std::string &key) const;
    // The value under `key` when it is a list of strings; none when absent or anything else.
    std::optional<std::vector<std::string>> strings(const std::string &key) const;
    void setStrings(const std::string &key, const std::vector<std::string> &values);
    void remove(const std::string &key);
    // Takes `source`'s value under `key`, whatever its type.
    void copyValue(const std::string &key, const DNSDictionary &source);

    bool hasServerAddresses() const { return contains(serverAddressesKey); }
    std::optional<std::vector<std::string>> serverAddresses() const {
        return strings(serverAddressesKey);
    }
    void setServerAddresses(const std::vector<std::string> &servers) {
        setStrings(serverAddressesKey, servers);
    }

    // Same keys with the same values, in any order.
    friend bool operator==(const DNSDictionary &left, const DNSDictionary &right);
    // The dictionary as XML, for messages and test output.
    std::string description() const;

private:
    explicit DNSDictionary(plist_t adopted) : node_(adopted) {}
    plist_t node_;
};

}  // namespace orvix
