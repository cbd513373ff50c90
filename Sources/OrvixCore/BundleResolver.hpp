#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

namespace orvix {

// What an application bundle's Contents/Info.plist says about it.
struct BundleInfo {
    std::optional<std::string> identifier;
    // CFBundleDisplayName, else CFBundleName, else the bundle's file name without ".app".
    std::string name;
    // CFBundleExecutable, else the bundle's file name without ".app".
    std::string executableName;
};

// The application bundle an executable belongs to: the innermost enclosing "*.app" directory.
struct ApplicationBundle {
    std::filesystem::path url;
    BundleInfo info;
};

// Finds the bundle identifiers of every application bundle (a directory named "*.app", any
// letter case) that encloses an executable, from each bundle's Contents/Info.plist in XML or
// binary form. A helper nested inside another application yields both identifiers.
// Results are cached per executable path; the cache is emptied once it holds more than
// `cacheLimit` paths, so a long-running process never grows without bound.
class BundleResolver {
public:
    static constexpr std::size_t cacheLimit = 8192;

    struct Resolution {
        std::set<std::string> bundleIDs;
        std::optional<ApplicationBundle> application;
    };

    const Resolution &resolve(const std::string &executablePath);
    const std::set<std::string> &bundleIDs(const std::string &executablePath) {
        return resolve(executablePath).bundleIDs;
    }

    // What one bundle directory's Info.plist says; none when the Info.plist is missing, larger
    // than 1 MiB, unparsable or not a dictionary. Strings of the wrong type count as absent.
    static std::optional<BundleInfo> info(const std::filesystem::path &bundle);
    // The bundle identifier of one bundle directory; none when the Info.plist cannot be read
    // or has no string "CFBundleIdentifier".
    static std::optional<std::string> bundleIdentifier(const std::filesystem::path &bundle);

    std::size_t cacheSize() const { return cache_.size(); }

private:
    std::unordered_map<std::string, Resolution> cache_;
};

}  // namespace orvix
