#include "Calendar.hpp"

#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include <cstdio>
#include <memory>

namespace orvix {

namespace {

std::string utf8(const icu::UnicodeString &text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

bool isKnownZone(const std::string &identifier) {
    std::unique_ptr<icu::TimeZone> zone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(identifier)));
    return zone && *zone != icu::TimeZone::getUnknown();
}

}  // namespace

Calendar::Calendar(const std::string &timeZoneIdentifier)
    : zone_(!timeZoneIdentifier.empty() && isKnownZone(timeZoneIdentifier) ? timeZoneIdentifier
                                                                           : "UTC") {}

std::string Calendar::dayKey(Instant instant) const {
    UErrorCode status = U_ZERO_ERROR;
    icu::GregorianCalendar calendar(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zone_)), status);
    int year = 0, month = 0, day = 0;
    if (U_SUCCESS(status)) {
        calendar.setTime(instant.unixSeconds() * 1000.0, status);
        // A component the calendar cannot deliver counts as 0.
        UErrorCode fieldStatus = U_ZERO_ERROR;
        year = calendar.get(UCAL_YEAR, fieldStatus);
        month = calendar.get(UCAL_MONTH, fieldStatus) + 1;
        day = calendar.get(UCAL_DATE, fieldStatus);
        if (U_FAILURE(status) || U_FAILURE(fieldStatus)) year = month = day = 0;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
}

std::string Calendar::currentTimeZoneIdentifier() {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
    icu::UnicodeString identifier;
    if (!zone || *zone == icu::TimeZone::getUnknown()) return "UTC";
    return utf8(zone->getID(identifier));
}

}  // namespace orvix
