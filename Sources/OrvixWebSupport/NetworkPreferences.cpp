#include "NetworkPreferences.hpp"

#include "Locations.hpp"
#include "NetworkManagerPreferences.hpp"
#include "ResolvConfPreferences.hpp"

namespace orvix {

std::unique_ptr<NetworkPreferences> NetworkPreferences::system() {
    // NetworkManager rewrites /etc/resolv.conf itself, so while it runs only it may be edited.
    if (NetworkManagerPreferences::isRunning("nmcli"))
        return std::make_unique<NetworkManagerPreferences>("nmcli", Locations::networkLockFile);
    return std::make_unique<ResolvConfPreferences>(Locations::resolverFile,
                                                   Locations::networkLockFile);
}

}  // namespace orvix
