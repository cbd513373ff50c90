#pragma once

#include <memory>
#include <string_view>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class Collator;
U_NAMESPACE_END

namespace orvix {

// The order a person expects for names, as file browsers show them: letter case and accents
// weigh less than the letters themselves, and runs of digits compare by their value
// ("App 9" before "App 10"). Uses the user's locale, but the ASCII-ordered POSIX locale of a
// bare system is replaced by the common one.
class LocalizedStandardOrder {
public:
    LocalizedStandardOrder();
    ~LocalizedStandardOrder();
    LocalizedStandardOrder(const LocalizedStandardOrder &) = delete;
    LocalizedStandardOrder &operator=(const LocalizedStandardOrder &) = delete;

    // Negative, zero or positive; names that are not valid UTF-8 compare with replacement
    // characters in place of the bad bytes.
    int compare(std::string_view left, std::string_view right) const;
    bool operator()(std::string_view left, std::string_view right) const {
        return compare(left, right) < 0;
    }

private:
    std::unique_ptr<icu::Collator> collator_;
};

}  // namespace orvix
