#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "RunningApplications.hpp"

namespace orvix {

// What the guardian needs from the desktop: the user's running applications, and opening an
// application. Tests replace it to play out slow, failing and racing launches.
class Workspace {
public:
    // Called once per request, on any thread, with the error's description when it failed.
    using Completion = std::function<void(std::optional<std::string> error)>;

    virtual ~Workspace() = default;
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // Opens the bundle without showing or activating it, with `arguments`.
    virtual void openApplication(const std::filesystem::path &bundle,
                                 const std::vector<std::string> &arguments,
                                 Completion completion) = 0;
};

}  // namespace orvix
