#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace orvix {

// A file-lock path that does not lie inside the bundle; `what()` is the sentence shown to
// the user.
class PathError : public std::runtime_error {
public:
    enum class Code { outsideBundle };

    explicit PathError(Code code = Code::outsideBundle);
    Code code() const { return code_; }

private:
    Code code_;
};

// The path rules of the file locks. Every path is judged in its canonical form, so neither a
// symbolic link nor a ".." can make an item outside the bundle look like one inside it.
namespace DeletionGuardPaths {

// `url` with every symbolic link, "." and ".." resolved; the item must exist. Throws
// PathError for a path that is not absolute (no file location at all) and
// std::filesystem::filesystem_error carrying `url` and errno when resolving fails.
std::filesystem::path canonicalURL(const std::filesystem::path &url);

// The path of `item` relative to `root`, both canonicalised first ("" for the root itself,
// "Contents/MacOS" for its directory of that name). Components are compared whole, so
// "Zorvane.app.old" is not inside "Zorvane.app". Throws PathError or the error of
// canonicalURL.
std::string relativePath(const std::filesystem::path &item, const std::filesystem::path &root);

}  // namespace DeletionGuardPaths

}  // namespace orvix
