#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

namespace orvix {

// Finds the bundle identifiers of every application bundle (a directory named "*.app", any
// letter case) that encloses an executable, from each bundle's Contents/Info.plist in XML or
// binary form. A helper nested inside another application yields both identifiers.
// Results are cached per executable path; the cache is emptied once it holds more than
// `cacheLimit` paths, so a long-running process never grows without bound.
class BundleResolver {
public:
    static constexpr std::size_t cacheLimit = 8192;

    const std::set<std::string> &bundleIDs(const std::string &executablePath);

    // The bundle identifier of one bundle directory; none when its Info.plist is missing,
    // larger than 1 MiB, unparsable or has no string "CFBundleIdentifier".
    static std::optional<std::string> bundleIdentifier(const std::filesystem::path &bundle);

    std::size_t cacheSize() const { return cache_.size(); }

private:
    std::unordered_map<std::string, std::set<std::string>> cache_;
};

}  // namespace orvix
