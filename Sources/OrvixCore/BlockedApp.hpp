#pragma once

#include <string>

#include "JSONCoding.hpp"

namespace orvix {

// An application chosen by the user; its bundle ID is its identity.
struct BlockedApp {
    std::string bundleID;
    std::string name;

    const std::string &id() const { return bundleID; }

    nlohmann::ordered_json toJSON() const;
    static BlockedApp fromJSON(const nlohmann::json &object);

    friend bool operator==(const BlockedApp &, const BlockedApp &) = default;
};

}  // namespace orvix
