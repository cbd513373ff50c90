#pragma once

#include <filesystem>
#include <stdexcept>

#include "Locations.hpp"

namespace orvix {

// A refused installation; `what()` is the sentence shown to the user.
class InstallError : public std::runtime_error {
public:
    enum class Code { invalidSource, existingInstallation };

    explicit InstallError(Code code);
    Code code() const { return code_; }

private:
    Code code_;
};

// Copies the application into the applications directory, where file locks and the
// protection services can work.
namespace ApplicationInstaller {

// Copies the complete Zorvane bundle `source` to "Zorvane.app" in `applicationsDirectory`
// and returns the new bundle's path. The copy is assembled in a hidden staging directory
// beside the destination and renamed into place in one step, so the destination shows up
// complete or not at all; an existing installation is never replaced. Blocks for the whole
// copy. Throws InstallError or the system's errors.
std::filesystem::path copy(
    const std::filesystem::path &source,
    const std::filesystem::path &applicationsDirectory = Locations::applicationsDirectory);

}  // namespace ApplicationInstaller

}  // namespace orvix
