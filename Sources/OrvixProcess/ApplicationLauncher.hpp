#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orvix {

// Opening an application bundle the way the desktop would, but without showing it.
namespace ApplicationLauncher {

// The program a bundle starts: Contents/MacOS/<CFBundleExecutable>. Throws std::system_error
// (ENOEXEC) when the Info.plist cannot be read or names a path instead of a file name.
std::filesystem::path executable(const std::filesystem::path &bundle);

// Starts the bundle's executable with `arguments`, detached from this process: in a session
// of its own, with standard input and output on /dev/null, working directory "/", no
// descriptor of ours, and our environment without the desktop's DESKTOP_AUTOSTART_ID. Returns once
// the program has started; throws std::system_error when it could not be started (the error of
// exec, fork or the Info.plist).
void openHidden(const std::filesystem::path &bundle, const std::vector<std::string> &arguments);

}  // namespace ApplicationLauncher

}  // namespace orvix
