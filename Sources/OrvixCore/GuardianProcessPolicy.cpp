#include "GuardianProcessPolicy.hpp"

namespace orvix {

namespace {

std::filesystem::path resolved(const std::filesystem::path &path) {
    std::error_code error;
    // Resolves the links of the part that exists and keeps the rest as written.
    auto canonical = std::filesystem::weakly_canonical(path, error);
    return (error ? path : canonical).lexically_normal();
}

}  // namespace

bool GuardianProcessPolicy::isZorvane(const std::optional<std::string> &bundleID,
                                      const std::optional<std::filesystem::path> &executableURL,
                                      const std::filesystem::path &targetExecutableURL,
                                      bool terminated) {
    if (terminated) return false;
    if (bundleID == applicationBundleID) return true;
    if (!executableURL) return false;
    if (!executableURL->is_absolute() || !targetExecutableURL.is_absolute()) return false;
    return resolved(*executableURL) == resolved(targetExecutableURL);
}

}  // namespace orvix
