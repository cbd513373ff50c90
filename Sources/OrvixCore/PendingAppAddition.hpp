#pragma once

#include <string>

#include "BlockedApp.hpp"

namespace orvix {

// An application the user added to a group while a session ran; it joins the group only
// when the session is over. Its identity is the application's bundle ID.
struct PendingAppAddition {
    std::string groupID;
    BlockedApp app;

    const std::string &id() const { return app.bundleID; }

    nlohmann::ordered_json toJSON() const;
    static PendingAppAddition fromJSON(const nlohmann::json &object);

    friend bool operator==(const PendingAppAddition &, const PendingAppAddition &) = default;
};

}  // namespace orvix
