#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "WebRootError.hpp"

namespace orvix {

// The website service runs as root and changes the DNS of the whole machine, so every file it
// trusts must be one an ordinary user cannot have planted or altered. This is its only way to
// the file system: the installation's fixed places, the checks of that installation, reads
// that judge the opened file itself, and atomic writes with fixed permissions.
class WebRootFiles {
public:
    static constexpr std::size_t maximumFileSize = 1024 * 1024;

    static constexpr const char *notInstalledMessage =
        "Website service must be installed by macOS Installer.";
    static constexpr const char *directoriesMessage =
        "Website service directories must be root-owned and protected from other users.";
    static constexpr const char *executablesMessage =
        "Website service executables must be root-owned regular files.";
    static constexpr const char *accountMessage = "Installed account is unavailable.";
    static constexpr const char *unavailableMessage = "A required settings file is unavailable.";
    static constexpr const char *unexpectedFileMessage =
        "Refusing a settings file with an unexpected type, owner, permissions or size.";
    static constexpr const char *tooLargeMessage = "Settings file is too large.";
    static constexpr const char *invalidOperationMessage = "Invalid privileged state operation.";
    static constexpr const char *fileSyncMessage = "Could not sync DNS recovery data.";
    static constexpr const char *directorySyncMessage =
        "Could not sync the DNS recovery directory.";

    // The user for whom the service was installed: "owner.json".
    struct Owner {
        std::uint32_t uid = 0;

        std::string toJSON() const;
        static Owner fromJSON(std::string_view bytes);
    };

    // The installation under `root`; "/" is the machine itself, tests hand in a temporary one.
    explicit WebRootFiles(std::filesystem::path root = "/");

    std::filesystem::path directory() const;
    std::filesystem::path binary() const;
    std::filesystem::path proxy() const;
    std::filesystem::path statusURL() const;
    std::filesystem::path url(const std::string &name) const { return directory() / name; }

    // Refuses an installation whose directories or executables someone other than root could
    // change. A missing item comes out as the system's own error.
    void validateInstallation(bool requireProxy) const;

    // The "settings.json" of an ordinary account (uid above 500) from the user database.
    static std::filesystem::path settingsURL(std::uint32_t uid);

    // A regular file owned by `owner`, writable by nobody else, of at most 1 MiB; every check
    // is made on the opened descriptor, so a file swapped in after the check is never read.
    static std::string readBytes(const std::filesystem::path &url, std::uint32_t owner);

    template <typename Record>
    static Record read(const std::filesystem::path &url, std::uint32_t owner) {
        return Record::fromJSON(readBytes(url, owner));
    }

    template <typename Record>
    void write(const Record &record, const std::string &name, bool publicRead) const {
        writeData(record.toJSON(), name, publicRead, false);
    }

    // Replaces `name` in the service directory in one step, with mode 0644 (`publicRead`) or
    // 0600; `durable` also flushes the file and the directory to stable storage.
    void writeData(std::string_view data, const std::string &name, bool publicRead,
                   bool durable) const;

private:
    std::filesystem::path place(const char *absolute) const;

    std::filesystem::path root_;
};

}  // namespace orvix
