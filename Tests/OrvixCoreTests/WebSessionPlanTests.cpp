#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "WebServiceStatus.hpp"
#include "WebSessionPlan.hpp"

namespace orvix {
namespace {

const Instant now{800000000.5};

OrvixConfiguration settings(bool protection, bool blocking, std::optional<double> endsIn,
                            bool keep = false,
                            WebsiteContentFilter filter = WebsiteContentFilter::family) {
    OrvixConfiguration configuration;
    configuration.timeZoneIdentifier = "UTC";
    configuration.websites.enabled = protection;
    configuration.websites.keepFamilyBetweenSessions = keep;
    configuration.websites.contentFilter = filter;
    configuration.websites.setDomains({"b.com", "a.com"});
    configuration.blockingEnabled = blocking;
    if (endsIn) configuration.sessionEndsAt = now.advanced(*endsIn);
    return configuration;
}

std::string sessionPlanFailure(const OrvixConfiguration &configuration) {
    try {
        WebSessionPlan plan(configuration, now);
        return "";
    } catch (const WebProtectionError &error) {
        return error.what();
    }
}

WebSessionPlan planFromText(const std::string &text) {
    return WebSessionPlan::fromJSON(nlohmann::json::parse(text));
}

TEST(WebSessionPlan, SessionPlanCarriesEndDomainsAndFilter) {
    const WebSessionPlan family(settings(true, true, 3600.25), now);
    EXPECT_EQ(family.endsAt, now.advanced(3600.25));
    EXPECT_EQ(family.domains, (std::vector<std::string>{"a.com", "b.com"}));
    EXPECT_FALSE(family.isContinuous());
    EXPECT_EQ(family.contentFilter(), WebsiteContentFilter::family);
    EXPECT_EQ(JSONWrite::compact(family.toJSON()),
              R"({"endsAt":800003600.75,"domains":["a.com","b.com"],"continuous":false})");

    const WebSessionPlan adult(settings(true, true, 60, false, WebsiteContentFilter::adult), now);
    EXPECT_EQ(JSONWrite::compact(adult.toJSON()),
              R"({"endsAt":800000060.5,"domains":["a.com","b.com"],"continuous":false,)"
              R"("filter":"adult"})");
}

TEST(WebSessionPlan, SessionPlanNeedsCurrentFixedSession) {
    const std::string refused = "Website protection requires a current fixed session.";
    EXPECT_EQ(sessionPlanFailure(settings(true, true, 31622400.0)), "");
    EXPECT_EQ(sessionPlanFailure(settings(true, true, 31622401.0)), refused);
    EXPECT_EQ(sessionPlanFailure(settings(false, true, 60)), refused);
    EXPECT_EQ(sessionPlanFailure(settings(true, false, 60)), refused);
    EXPECT_EQ(sessionPlanFailure(settings(true, true, std::nullopt)), refused);
    EXPECT_EQ(sessionPlanFailure(settings(true, true, 0)), refused);
    EXPECT_EQ(sessionPlanFailure(settings(true, true, -1)), refused);
    auto infinite = settings(true, true, 60);
    infinite.sessionEndsAt = Instant{INFINITY};
    EXPECT_EQ(sessionPlanFailure(infinite), refused);
}

struct DesiredCase {
    const char *name;
    OrvixConfiguration configuration;
    std::optional<std::string> planJSON;
};

TEST(WebSessionPlan, DesiredPlan) {
    const std::string between = R"({"endsAt":63113904000.0,"domains":[],"continuous":true})";
    const std::vector<DesiredCase> cases = {
        {"protection off during a session", settings(false, true, 60, true), std::nullopt},
        {"no session, filter not kept", settings(true, false, std::nullopt), std::nullopt},
        {"no session, filter kept", settings(true, false, std::nullopt, true), between},
        {"adult filter kept",
         settings(true, false, std::nullopt, true, WebsiteContentFilter::adult),
         R"({"endsAt":63113904000.0,"domains":[],"continuous":true,"filter":"adult"})"},
        {"session", settings(true, true, 60, true),
         R"({"endsAt":800000060.5,"domains":["a.com","b.com"],"continuous":false})"},
        {"session ending exactly now", settings(true, true, 0, true), between},
        {"session over but not finished", settings(true, true, -5, false), std::nullopt},
        {"flag without an end", settings(true, true, std::nullopt, true), between},
    };
    for (const auto &[name, configuration, planJSON] : cases) {
        SCOPED_TRACE(name);
        const auto plan = WebSessionPlan::desired(configuration, now);
        ASSERT_EQ(plan.has_value(), planJSON.has_value());
        if (plan) {
            EXPECT_EQ(JSONWrite::compact(plan->toJSON()), *planJSON);
        }
    }
}

TEST(WebSessionPlan, OverlongSessionIsAnErrorNotAFallback) {
    EXPECT_THROW(WebSessionPlan::desired(settings(true, true, 31622401.0, true), now),
                 WebProtectionError);
}

TEST(WebSessionPlan, Currency) {
    const WebSessionPlan session(settings(true, true, 60), now);
    EXPECT_TRUE(session.isCurrent(now.advanced(59.999)));
    EXPECT_FALSE(session.isCurrent(now.advanced(60)));
    const auto between = *WebSessionPlan::desired(settings(true, false, std::nullopt, true), now);
    EXPECT_TRUE(between.isContinuous());
    EXPECT_TRUE(between.isCurrent(Instant{1e12}));
    EXPECT_FALSE(planFromText(R"({"endsAt":0,"domains":[]})").isCurrent(now));
}

TEST(WebSessionPlan, AbsentOptionalsDifferFromPresentOnes) {
    const auto withoutKeys = planFromText(R"({"endsAt":5,"domains":["a.com"]})");
    EXPECT_FALSE(withoutKeys.continuous.has_value());
    EXPECT_FALSE(withoutKeys.isContinuous());
    EXPECT_EQ(withoutKeys.contentFilter(), WebsiteContentFilter::family);
    EXPECT_NE(withoutKeys, planFromText(R"({"endsAt":5,"domains":["a.com"],"continuous":false})"));
    EXPECT_NE(withoutKeys, planFromText(R"({"endsAt":5,"domains":["a.com"],"filter":"family"})"));
    EXPECT_EQ(withoutKeys, planFromText(R"({"domains":["a.com"],"endsAt":5.0,"other":1})"));
    EXPECT_NE(withoutKeys, planFromText(R"({"endsAt":5,"domains":["A.com"]})"));
}

TEST(WebSessionPlan, InstantsSurviveJSONBitForBit) {
    const double values[] = {0.1,
                             800000000.123456789,
                             786543210.987654321,
                             std::nextafter(1e9, 2e9),
                             -12.000000000001,
                             1e-300,
                             63113904000.0};
    for (double value : values) {
        const WebSessionPlan plan(Instant{value}, {"a.com"}, false, WebsiteContentFilter::adult);
        const auto back = planFromText(JSONWrite::compact(plan.toJSON()));
        EXPECT_EQ(back, plan);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(back.endsAt.secondsSinceReference),
                  std::bit_cast<std::uint64_t>(value));
    }
}

TEST(WebSessionPlan, RefusesMalformedObjects) {
    for (const char *text :
         {R"({"domains":[]})", R"({"endsAt":1})", R"({"endsAt":"1","domains":[]})",
          R"({"endsAt":1,"domains":["a",2]})", R"({"endsAt":1,"domains":{}})",
          R"({"endsAt":1,"domains":[],"continuous":1})",
          R"({"endsAt":1,"domains":[],"filter":"strict"})", "[]"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(planFromText(text), DecodingError);
    }
}

WebServiceStatus statusAt(double uptime,
                          WebServiceStatus::Phase phase = WebServiceStatus::Phase::active,
                          std::optional<WebSessionPlan> plan = std::nullopt) {
    return WebServiceStatus(501, "boot-1", uptime, phase, std::move(plan), std::nullopt, false);
}

TEST(WebServiceStatus, Freshness) {
    const auto status = statusAt(100);
    EXPECT_TRUE(status.isFresh(501, "boot-1", 100));
    EXPECT_TRUE(status.isFresh(501, "boot-1", 106));
    EXPECT_FALSE(status.isFresh(501, "boot-1", 106.01));
    EXPECT_FALSE(status.isFresh(501, "boot-1", 99.9));
    EXPECT_FALSE(status.isFresh(502, "boot-1", 101));
    EXPECT_FALSE(status.isFresh(501, "boot-2", 101));
    EXPECT_FALSE(statusAt(-1).isFresh(501, "boot-1", 1));
    EXPECT_FALSE(statusAt(NAN).isFresh(501, "boot-1", 1));
    EXPECT_FALSE(statusAt(INFINITY).isFresh(501, "boot-1", INFINITY));
    auto noBoot = status;
    noBoot.bootID = "";
    EXPECT_FALSE(noBoot.isFresh(501, "", 100));
}

TEST(WebServiceStatus, ConfirmsOnlyTheExactActivePlan) {
    const WebSessionPlan plan(settings(true, true, 60), now);
    EXPECT_TRUE(statusAt(1, WebServiceStatus::Phase::active, plan).confirmsActivePlan(plan));
    EXPECT_FALSE(statusAt(1, WebServiceStatus::Phase::starting, plan).confirmsActivePlan(plan));
    EXPECT_FALSE(statusAt(1, WebServiceStatus::Phase::active).confirmsActivePlan(plan));
    const WebSessionPlan other(settings(true, true, 61), now);
    EXPECT_FALSE(statusAt(1, WebServiceStatus::Phase::active, other).confirmsActivePlan(plan));

    auto older = statusAt(1, WebServiceStatus::Phase::active, plan);
    older.serviceVersion = "0.8.9";
    EXPECT_FALSE(older.confirmsActivePlan(plan));
    older.serviceVersion.reset();
    EXPECT_FALSE(older.confirmsActivePlan(plan));
}

TEST(WebServiceStatus, StatusFileGolden) {
    const WebServiceStatus status(501, "6f1c2a34-9b1e-4c11-8a57-2f6d0e3b7a90", 1234.5,
                                  WebServiceStatus::Phase::active,
                                  WebSessionPlan(Instant{800000000.25}, {"a.com", "b.com"}, false,
                                                 WebsiteContentFilter::adult),
                                  std::nullopt, true);
    const std::string golden =
        R"({"uid":501,"bootID":"6f1c2a34-9b1e-4c11-8a57-2f6d0e3b7a90","uptime":1234.5,)"
        R"("phase":"active","plan":{"endsAt":800000000.25,"domains":["a.com","b.com"],)"
        R"("continuous":false,"filter":"adult"},"restorationPending":true,"serviceVersion":"0.9.0"})";
    EXPECT_EQ(status.toJSON(), golden);
    EXPECT_EQ(WebServiceStatus::fromJSON(golden), status);

    const WebServiceStatus error(0, "b", 2, WebServiceStatus::Phase::error, std::nullopt,
                                 "The DNS proxy is missing.", false);
    EXPECT_EQ(
        error.toJSON(),
        R"({"uid":0,"bootID":"b","uptime":2.0,"phase":"error",)"
        R"("message":"The DNS proxy is missing.","restorationPending":false,"serviceVersion":"0.9.0"})");
}

TEST(WebServiceStatus, ReadsEveryPhaseAndRefusesBadFiles) {
    for (const char *phase : {"idle", "starting", "active", "restoring", "error"}) {
        const auto status = WebServiceStatus::fromJSON(
            std::string(
                R"({"uid":7,"bootID":"x","uptime":3,"restorationPending":false,"phase":")") +
            phase + "\"}");
        EXPECT_STREQ(jsonText(status.phase), phase);
        EXPECT_FALSE(status.serviceVersion.has_value());
        EXPECT_FALSE(status.plan.has_value());
    }
    for (
        const char *text :
        {R"({"uid":-1,"bootID":"x","uptime":3,"phase":"idle","restorationPending":false})",
         R"({"uid":4294967296,"bootID":"x","uptime":3,"phase":"idle","restorationPending":false})",
         R"({"uid":1,"bootID":"x","uptime":3,"phase":"paused","restorationPending":false})",
         R"({"uid":1,"bootID":"x","uptime":3,"phase":"idle"})",
         R"({"uid":1,"bootID":"x","phase":"idle","restorationPending":false})",
         R"({"uid":1,"bootID":"x","uptime":3,"phase":"idle","restorationPending":false,"plan":[]})",
         "not json"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(WebServiceStatus::fromJSON(text), DecodingError);
    }
}

}  // namespace
}  // namespace orvix
