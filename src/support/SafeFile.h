#pragma once

#include <filesystem>
#include <string_view>

namespace pagemate {

// Writes to files at fixed, guessable paths (the log and the reports under /tmp)
// without being turned against another file: symbolic links are never followed, only
// regular files owned by this user are written, and new files are private (0600).
namespace SafeFile {

// Makes `bytes` the whole content of the file at `path`, creating it if needed. A link
// or a foreign file standing at the path is removed and replaced when the directory
// allows it; otherwise nothing is written. No atomic rename: readers may see it grow.
bool replaceContents(const std::filesystem::path& path, std::string_view bytes);

// Appends `bytes` to the file at `path`; when it cannot be opened as this user's own
// regular file, falls back to replaceContents.
bool append(const std::filesystem::path& path, std::string_view bytes);

// Where this user's file of a fixed name in a shared folder goes: `fixed` itself,
// unless something of another user stands there; then the same name in
// $XDG_RUNTIME_DIR when that is this user's folder, else "<stem>-<uid><extension>"
// beside `fixed`.
std::filesystem::path pathForThisUser(const std::filesystem::path& fixed);

}  // namespace SafeFile
}  // namespace pagemate
