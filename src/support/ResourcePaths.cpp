#include "support/ResourcePaths.h"

#include <system_error>

namespace pagemate::ResourcePaths {

namespace fs = std::filesystem;

ResourceFolders locate(const fs::path& program, const fs::path& sourceData) {
    const fs::path share = program.parent_path().parent_path() / "share";
    ResourceFolders installed{share / "pagemate", share / "icons", true};
    std::error_code error;
    if (!program.empty() && fs::is_directory(installed.data, error)) {
        return installed;
    }
    if (!sourceData.empty() && fs::is_directory(sourceData, error)) {
        return ResourceFolders{sourceData, sourceData / "icons", false};
    }
    return installed;
}

ResourceFolders current() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
#ifdef PAGEMATE_SOURCE_DATA
    const fs::path sourceData = PAGEMATE_SOURCE_DATA;
#else
    const fs::path sourceData;
#endif
    // Without /proc the program's own place is unknown: only the source tree is left.
    return locate(error ? fs::path() : program, sourceData);
}

}  // namespace pagemate::ResourcePaths
