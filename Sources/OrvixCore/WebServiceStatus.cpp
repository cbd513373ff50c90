#include "WebServiceStatus.hpp"

#include <cmath>

#include "BootEnforcement.hpp"

namespace orvix {

namespace {

struct PhaseText {
    WebServiceStatus::Phase phase;
    const char *text;
};

constexpr PhaseText phaseTexts[] = {
    {WebServiceStatus::Phase::idle, "idle"},     {WebServiceStatus::Phase::starting, "starting"},
    {WebServiceStatus::Phase::active, "active"}, {WebServiceStatus::Phase::restoring, "restoring"},
    {WebServiceStatus::Phase::error, "error"},
};

}  // namespace

const char *jsonText(WebServiceStatus::Phase phase) {
    for (const auto &entry : phaseTexts)
        if (entry.phase == phase) return entry.text;
    return "error";
}

std::optional<WebServiceStatus::Phase> phaseFromJSONText(const std::string &text) {
    for (const auto &entry : phaseTexts)
        if (text == entry.text) return entry.phase;
    return std::nullopt;
}

WebServiceStatus::WebServiceStatus(std::uint32_t uid, std::string bootID, double uptime,
                                   Phase phase, std::optional<WebSessionPlan> plan,
                                   std::optional<std::string> message, bool restorationPending)
    : uid(uid),
      bootID(std::move(bootID)),
      uptime(uptime),
      phase(phase),
      plan(std::move(plan)),
      message(std::move(message)),
      restorationPending(restorationPending),
      serviceVersion(ServiceVersions::website) {}

bool WebServiceStatus::isFresh(std::uint32_t uid, const std::string &bootID, double uptime) const {
    return uid == this->uid && !bootID.empty() && bootID == this->bootID &&
           std::isfinite(this->uptime) && this->uptime >= 0 && uptime >= this->uptime &&
           uptime - this->uptime <= lifetimeSeconds;
}

bool WebServiceStatus::confirmsActivePlan(const WebSessionPlan &plan) const {
    return phase == Phase::active && serviceVersion == ServiceVersions::website &&
           this->plan == plan;
}

std::string WebServiceStatus::toJSON() const {
    nlohmann::ordered_json object;
    object["uid"] = uid;
    object["bootID"] = bootID;
    object["uptime"] = uptime;
    object["phase"] = jsonText(phase);
    if (plan) object["plan"] = plan->toJSON();
    if (message) object["message"] = *message;
    object["restorationPending"] = restorationPending;
    if (serviceVersion) object["serviceVersion"] = *serviceVersion;
    return JSONWrite::compact(object);
}

WebServiceStatus WebServiceStatus::fromJSON(std::string_view bytes) {
    using namespace JSONRead;
    const auto root = JSONRead::object(bytes);
    WebServiceStatus status;
    const auto uid = integer(require(root, "uid"), "uid");
    if (uid < 0 || uid > UINT32_MAX) throw DecodingError("uid", "Invalid user id");
    status.uid = static_cast<std::uint32_t>(uid);
    status.bootID = string(require(root, "bootID"), "bootID");
    status.uptime = number(require(root, "uptime"), "uptime");
    const auto phase = phaseFromJSONText(string(require(root, "phase"), "phase"));
    if (!phase) throw DecodingError("phase", "Unknown service phase");
    status.phase = *phase;
    if (const auto *plan = optional(root, "plan")) status.plan = WebSessionPlan::fromJSON(*plan);
    if (const auto *message = optional(root, "message"))
        status.message = string(*message, "message");
    status.restorationPending = boolean(require(root, "restorationPending"), "restorationPending");
    if (const auto *version = optional(root, "serviceVersion"))
        status.serviceVersion = string(*version, "serviceVersion");
    return status;
}

}  // namespace orvix
