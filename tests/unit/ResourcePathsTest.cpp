// Where the program finds its own files: beside the installed program under any
// prefix, else in the source tree of a program run from its build folder.

#include "support/ResourcePaths.h"

#include <gtest/gtest.h>

#include "harness/TestSupport.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// A prefix as "cmake --install" or the package lays it out, and a source tree with a
// build folder inside, as a developer has them.
struct Layouts {
    TempDir root;
    fs::path prefix = root.path() / "opt" / "pm";
    fs::path installed = prefix / "bin" / "pagemate";
    fs::path source = root.path() / "src" / "pagemate";
    fs::path built = source / "build" / "src" / "pagemate";

    Layouts() {
        fs::create_directories(prefix / "share" / "pagemate" / "speech");
        fs::create_directories(prefix / "share" / "icons" / "hicolor");
        testing::writeFile(installed, "");
        fs::create_directories(source / "data" / "speech");
        fs::create_directories(built.parent_path());
        testing::writeFile(built, "");
    }
};

TEST(ResourcePaths, InstalledBesideTheProgramElseTheSourceTree) {
    const Layouts layouts;
    const fs::path sourceData = layouts.source / "data";

    // Installed: the prefix's share folders, even while the source tree is there too.
    const ResourceFolders installed = ResourcePaths::locate(layouts.installed, sourceData);
    EXPECT_TRUE(installed.installed);
    EXPECT_EQ(installed.data, layouts.prefix / "share" / "pagemate");
    EXPECT_EQ(installed.icons, layouts.prefix / "share" / "icons");

    // Run from the build folder: nothing beside it, the source tree's data/.
    const ResourceFolders built = ResourcePaths::locate(layouts.built, sourceData);
    EXPECT_FALSE(built.installed);
    EXPECT_EQ(built.data, sourceData);
    EXPECT_EQ(built.icons, sourceData / "icons");

    // A copy of the build's program elsewhere, with no source tree to fall back on: the
    // installed places, which do not exist, so that messages name where files belong.
    const ResourceFolders stray =
        ResourcePaths::locate(layouts.built, layouts.root.path() / "gone" / "data");
    EXPECT_EQ(stray.data, layouts.source / "build" / "share" / "pagemate");
    EXPECT_FALSE(fs::exists(stray.data));
    EXPECT_EQ(ResourcePaths::locate(layouts.built, {}).data, stray.data);

    // A prefix without the program's data folder (a stray binary in ~/bin) is not an
    // install: the source tree still wins.
    fs::remove_all(layouts.prefix / "share" / "pagemate");
    EXPECT_EQ(ResourcePaths::locate(layouts.installed, sourceData).data, sourceData);

    // Without its own path (no /proc) only the source tree is left; this test program
    // lives in the build folder: the source tree's data, with the tray icon.
    EXPECT_EQ(ResourcePaths::locate({}, sourceData).data, sourceData);
    EXPECT_TRUE(fs::is_regular_file(ResourcePaths::current().icons / "hicolor" / "scalable" /
                                    "apps" / "pagemate-symbolic.svg"));
}

}  // namespace
}  // namespace pagemate
