#pragma once

namespace orvix {

// Whether the main window stays hidden when the application starts.
namespace StartupPresentation {

// Hidden when the restart guardian started the application ("--supervised"), or when it was
// launched as a login item and the user asked to start in the menu bar.
bool shouldHideWindow(bool supervised, bool loginItem, bool startInMenuBar);

}  // namespace StartupPresentation

}  // namespace orvix
