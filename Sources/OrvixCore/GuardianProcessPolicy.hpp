#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orvix {

// How the restart guardian recognises a running copy of the application.
namespace GuardianProcessPolicy {

inline constexpr const char *applicationBundleID = "org.zorvane.app";

// A live process is the application when it carries the application's bundle identifier, or
// when its executable, with every symbolic link resolved and "." and ".." removed, is the
// very executable the guardian watches, whatever bundle it was started from. Paths that are
// empty or relative are not file locations and never match.
bool isZorvane(const std::optional<std::string> &bundleID,
               const std::optional<std::filesystem::path> &executableURL,
               const std::filesystem::path &targetExecutableURL, bool terminated);

}  // namespace GuardianProcessPolicy

}  // namespace orvix
