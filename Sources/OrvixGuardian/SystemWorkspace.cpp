#include "SystemWorkspace.hpp"

#include <exception>

#include "ApplicationLauncher.hpp"

namespace orvix {

std::vector<RunningApplication> SystemWorkspace::runningApplications() {
    return applications_.list();
}

void SystemWorkspace::openApplication(const std::filesystem::path &bundle,
                                      const std::vector<std::string> &arguments,
                                      Completion completion) {
    std::optional<std::string> error;
    try {
        ApplicationLauncher::openHidden(bundle, arguments);
    } catch (const std::exception &failure) {
        error = failure.what();
    }
    completion(std::move(error));
}

}  // namespace orvix
