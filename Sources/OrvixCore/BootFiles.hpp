#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace orvix {

// The small file layer shared by the application and the boot enforcer: where the user's
// support directory is, which boot this is, and size-capped reads and atomic writes of the
// JSON files that carry state between processes.
namespace BootFiles {

inline constexpr std::size_t maximumFileSize = std::size_t{1024} * 1024;

// "~/Library/Application Support/Zorvane" of the real user, from the user database: the
// enforcer runs before login, so HOME is not trusted. Throws std::system_error (ENOENT).
std::filesystem::path userDirectory();

// The identity of this boot ("" when it cannot be read), so files of an earlier boot never
// count as fresh.
std::string bootID();

// The whole file, at most 1 MiB; throws std::system_error for a missing, unreadable,
// non-regular or larger file.
std::string readBytes(const std::filesystem::path &path);

// Creates missing parent directories with mode 0700 and replaces the file atomically with
// `bytes`, leaving it with mode 0600. Throws std::system_error.
void writeBytes(const std::filesystem::path &path, std::string_view bytes);

template <typename Record>
Record read(const std::filesystem::path &path) {
    return Record::fromJSON(readBytes(path));
}

template <typename Record>
void write(const Record &record, const std::filesystem::path &path) {
    writeBytes(path, record.toJSON());
}

}  // namespace BootFiles

// Seconds since boot on a clock that is the same in every process and stops while the
// machine sleeps. Freshness of every shared file is judged with it.
double systemUptime();

}  // namespace orvix
