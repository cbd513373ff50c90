#pragma once

#include "ProcessTable.hpp"
#include "RunningApplications.hpp"
#include "Workspace.hpp"

namespace orvix {

// The real workspace: the kernel's process table and a detached start of the bundle's
// executable. The launch is done when openApplication returns; the completion runs before.
class SystemWorkspace final : public Workspace {
public:
    SystemWorkspace() : applications_(processes_) {}

    std::vector<RunningApplication> runningApplications() override;
    void openApplication(const std::filesystem::path &bundle,
                         const std::vector<std::string> &arguments, Completion completion) override;

private:
    SystemProcessTable processes_;
    RunningApplications applications_;
};

}  // namespace orvix
