#include "PendingAppAddition.hpp"

namespace orvix {

nlohmann::ordered_json PendingAppAddition::toJSON() const {
    nlohmann::ordered_json object;
    object["groupID"] = groupID;
    object["app"] = app.toJSON();
    return object;
}

PendingAppAddition PendingAppAddition::fromJSON(const nlohmann::json &object) {
    using namespace JSONRead;
    requireObject(object, "pendingAdditions");
    const auto &app = require(object, "app");
    requireObject(app, "app");
    return {string(require(object, "groupID"), "groupID"), BlockedApp::fromJSON(app)};
}

}  // namespace orvix
