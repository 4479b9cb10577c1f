// Where the program finds its own files: beside the installed program under any
// prefix, else in the source tree of a program run from its build folder.

#include "support/ResourcePaths.h"

#include <gtest/gtest.h>

#include "harness/TestSupport.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;

TEST(ResourcePaths, InstalledBesideTheProgramElseTheSourceTree) {
    // An installed prefix, and a source tree with a build folder inside.
    const testing::TempDir root;
    const fs::path prefix = root.path() / "opt" / "pm";
    const fs::path installed = prefix / "bin" / "pagemate";
    const fs::path source = root.path() / "src" / "pagemate";
    const fs::path built = source / "build" / "src" / "pagemate";
    fs::create_directories(prefix / "share" / "pagemate");
    fs::create_directories(source / "data");
    for (const fs::path& program : {installed, built}) {
        fs::create_directories(program.parent_path());
        testing::writeFile(program, "");
    }

    // Installed: the prefix's share folders, even while the source tree is there too.
    const ResourceFolders fromPrefix = ResourcePaths::locate(installed, source / "data");
    EXPECT_TRUE(fromPrefix.installed);
    EXPECT_EQ(fromPrefix.data, prefix / "share" / "pagemate");
    EXPECT_EQ(fromPrefix.icons, prefix / "share" / "icons");
    // Run from the build folder: nothing beside it, the source tree's data/.
    const ResourceFolders fromBuild = ResourcePaths::locate(built, source / "data");
    EXPECT_FALSE(fromBuild.installed);
    EXPECT_EQ(fromBuild.icons, source / "data" / "icons");
    // A copy of the build's program elsewhere, with no source tree to fall back on: the
    // installed places, which do not exist, so that messages name where files belong.
    EXPECT_EQ(ResourcePaths::locate(built, {}).data, source / "build" / "share" / "pagemate");
    // A prefix without the program's data folder (a stray binary in ~/bin) is no install.
    fs::remove_all(prefix / "share" / "pagemate");
    EXPECT_EQ(ResourcePaths::locate(installed, source / "data").data, source / "data");
}

}  // namespace
}  // namespace pagemate
