#include "LocalizedStandardOrder.hpp"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <cstring>

namespace orvix {

LocalizedStandardOrder::LocalizedStandardOrder() {
    icu::Locale locale = icu::Locale::getDefault();
    // "C" and "POSIX" map to en_US_POSIX, whose collation is plain ASCII order.
    if (std::strcmp(locale.getVariant(), "POSIX") == 0)
        locale = icu::Locale(locale.getLanguage(), locale.getCountry());
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) return;
    collator->setStrength(icu::Collator::SECONDARY);
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    if (U_SUCCESS(status)) collator_ = std::move(collator);
}

LocalizedStandardOrder::~LocalizedStandardOrder() = default;

int LocalizedStandardOrder::compare(std::string_view left, std::string_view right) const {
    constexpr std::size_t largest = 0x7fffffff;
    if (collator_ && left.size() <= largest && right.size() <= largest) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult result = collator_->compareUTF8(
            icu::StringPiece(left.data(), static_cast<int32_t>(left.size())),
            icu::StringPiece(right.data(), static_cast<int32_t>(right.size())), status);
        if (U_SUCCESS(status)) return result;
    }
    // Without ICU data a plain byte order is still a total order.
    return left.compare(right);
}

}  // namespace orvix
