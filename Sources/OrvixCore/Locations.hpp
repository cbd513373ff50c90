#pragma once

// Every fixed place Zorvane uses. Code that must be testable takes these as defaults and
// lets a test hand in a temporary root instead.
namespace orvix::Locations {

// Inside the user's home directory.
inline constexpr const char *userSupportDirectory = "Library/Application Support/Zorvane";
inline constexpr const char *settingsFile = "settings.json";
inline constexpr const char *bootLeaseFile = "boot-access.json";
inline constexpr const char *bootStatusFile = "boot-status.json";
inline constexpr const char *deletionGuardFile = "deletion-guard.json";

// Machine-wide.
inline constexpr const char *applicationsDirectory = "/Applications";
inline constexpr const char *applicationBundle = "/Applications/Zorvane.app";
inline constexpr const char *webServiceDirectory = "/Library/Application Support/ZorvaneWeb";
// Inside the website service's directory.
inline constexpr const char *webStatusFile = "status.json";
inline constexpr const char *webJournalFile = "journal.json";
inline constexpr const char *proxyConfigurationFile = "dnscrypt.toml";
inline constexpr const char *blockListFile = "blocked-names.txt";
inline constexpr const char *webOwnerFile = "owner.json";
inline constexpr const char *privilegedHelperTools = "/Library/PrivilegedHelperTools";
inline constexpr const char *webServiceExecutable =
    "/Library/PrivilegedHelperTools/org.zorvane.web";
inline constexpr const char *proxyExecutable =
    "/Library/PrivilegedHelperTools/org.zorvane.dnscrypt";
// The website service's network settings lock; /run is emptied at every boot, so a lock
// file left by a crash never outlives it.
inline constexpr const char *networkLockFile = "/run/org.zorvane.web.network.lock";
inline constexpr const char *resolverFile = "/etc/resolv.conf";

}  // namespace orvix::Locations
