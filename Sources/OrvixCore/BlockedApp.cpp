#include "BlockedApp.hpp"

namespace orvix {

nlohmann::ordered_json BlockedApp::toJSON() const {
    nlohmann::ordered_json object;
    object["bundleID"] = bundleID;
    object["name"] = name;
    return object;
}

BlockedApp BlockedApp::fromJSON(const nlohmann::json &object) {
    using namespace JSONRead;
    requireObject(object, "apps");
    return {string(require(object, "bundleID"), "bundleID"),
            string(require(object, "name"), "name")};
}

}  // namespace orvix
