#include "WebDNSBackup.hpp"

#include "Base64.hpp"
#include "JSONCoding.hpp"

namespace orvix {

nlohmann::json WebDNSBackup::toJSON() const {
    nlohmann::json object;
    object["serviceID"] = serviceID;
    if (original) object["original"] = Base64::encode(*original);
    return object;
}

WebDNSBackup WebDNSBackup::fromJSON(const nlohmann::json &object) {
    using namespace JSONRead;
    requireObject(object, "backups");
    WebDNSBackup backup;
    backup.serviceID = string(require(object, "serviceID"), "serviceID");
    if (const auto *original = optional(object, "original")) {
        backup.original = Base64::decode(string(*original, "original"));
        if (!backup.original) throw DecodingError("original", "The saved DNS settings are damaged");
    }
    return backup;
}

}  // namespace orvix
