#pragma once

#include <chrono>
#include <filesystem>

// Clean-up of a staging folder that every local account may write to (the paste staging folder).
// Whatever another account planted there is removed or left, never followed: the folder is opened
// without following a link, and every entry is removed relative to the descriptor of its own
// folder, so a symbolic link (to a file or to a folder elsewhere) is removed as a link, and a
// folder swapped for a link between the check and the removal is refused. Folders on another file
// system (a mount an account made inside its own folder) are left alone, and so is anything nested
// deeper than a fixed limit.
namespace veltrix::platform::staging {

struct PurgeResult {
    int removed = 0;  // sub-folders removed with all they held
    int failed = 0;   // stale sub-folders that could not be removed entirely (logged)
};

// Removes every sub-folder of `folder` whose last modification lies more than `maxAge` before
// `now`, with everything in it. Files directly in `folder`, links and younger sub-folders stay.
// A missing folder (or a link in its place) is nothing to purge.
PurgeResult purgeStaleSubfolders(const std::filesystem::path& folder, std::chrono::seconds maxAge,
                                 std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace veltrix::platform::staging
