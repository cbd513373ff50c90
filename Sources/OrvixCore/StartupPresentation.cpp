#include "StartupPresentation.hpp"

namespace orvix {

bool StartupPresentation::shouldHideWindow(bool supervised, bool loginItem, bool startInMenuBar) {
    return supervised || (loginItem && startInMenuBar);
}

}  // namespace orvix
