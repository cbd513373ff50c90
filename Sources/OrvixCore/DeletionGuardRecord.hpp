#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "JSONCoding.hpp"

namespace orvix {

// The recovery record of the file locks, "deletion-guard.json" beside the settings: every
// item of the bundle that the application has flagged, or is about to flag, so that each of
// those flags can be cleared again after a crash, a forced quit or a reboot.
struct DeletionGuardRecord {
    // The bundle as it was when the first lock was recorded.
    std::string bundlePath;
    // Relative to the bundle; "" stands for the bundle directory itself.
    std::vector<std::string> relativePaths;

    // True only for a path that cannot leave the bundle: "" or pieces separated by single
    // slashes, none of them empty, "." or "..", with no leading slash, backslash or NUL.
    static bool isSafeRelativePath(std::string_view path);

    // The exact bytes of the record file. Throws std::system_error (EILSEQ) when a path is
    // not valid UTF-8: the file could not name that item again, so its flag could never be
    // cleared.
    std::string toJSON() const;
    // Reads a record file; both keys are required. Throws DecodingError.
    static DeletionGuardRecord fromJSON(std::string_view bytes);

    friend bool operator==(const DeletionGuardRecord &, const DeletionGuardRecord &) = default;
};

}  // namespace orvix
