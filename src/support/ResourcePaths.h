#pragma once

#include <filesystem>

namespace pagemate {

// The folders the program reads its own files from.
struct ResourceFolders {
    // The program's data (speech/...): <prefix>/share/pagemate, or the source tree's data/.
    std::filesystem::path data;
    // An icon theme folder (hicolor/... inside): <prefix>/share/icons, or data/icons.
    std::filesystem::path icons;
    bool installed = false;
};

// Finds the program's files relative to the program itself, so that an installed copy
// works under any prefix (/usr, /usr/local, a package unpacked elsewhere) and a program
// run from its build folder uses the source tree it was built from.
namespace ResourcePaths {

// For the program at `program` (absolute, as /proc/self/exe names it): the installed
// folders beside it (<program>/../../share/...) when <prefix>/share/pagemate is a folder;
// else the source tree's when `sourceData` (its data/ folder) is given and is one; else
// the installed ones all the same, which do not exist: a message about a missing file
// then names where it belongs.
ResourceFolders locate(const std::filesystem::path& program,
                       const std::filesystem::path& sourceData);

// The running program's (/proc/self/exe), with the source tree this build was made from
// as the fallback.
ResourceFolders current();

}  // namespace ResourcePaths
}  // namespace pagemate
