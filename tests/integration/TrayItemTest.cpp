// The tray item against a real session bus of the test's own, with a watcher and a tray
// host's reads over D-Bus, as a desktop's tray would see the item.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "fixtures/StatusWatcher.h"
#include "platform/fake/VirtualClockQueue.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/StatusNotifierBar.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using linux_backend::GLibMainQueue;
using linux_backend::StatusNotifierBar;
using testing::MenuNode;
using testing::runMainLoopUntil;
using testing::ScopedEnvironment;
using testing::StatusWatcher;
using testing::TempDir;
using testing::TrayHostView;
using Availability = StatusItem::Availability;

StatusItemOptions pagemateOptions() {
    return StatusItemOptions{"pagemate-symbolic", "页伴", "页伴（⌥Space 唤出）"};
}

std::string firstItem() {
    return "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1";
}

MenuItem command(std::string title, std::function<void()> action = {}, std::string key = {},
                 bool enabled = true) {
    return MenuItem{MenuItem::Kind::command, std::move(title), std::move(action), std::move(key),
                    enabled};
}

// What a host reads of the item and its menu beyond the program's own entries, which the
// program's own test reads (tests/program/tray.sh).
TEST(TrayItem, RegistersAndTheHostReadsTheItemAndTheMenuAsTheCoreBuiltIt) {
    testing::PrivateSessionBus bus;
    // Nothing installed where the desktop looks for icons: the source tree's are used.
    const TempDir home;
    const ScopedEnvironment dataHome("XDG_DATA_HOME", home.path().c_str());
    const ScopedEnvironment dataDirs("XDG_DATA_DIRS", home.path().c_str());
    StatusWatcher watcher;
    GLibMainQueue queue;
    StatusNotifierBar bar(queue, PAGEMATE_SOURCE_ICONS);
    auto item = bar.createItem(pagemateOptions());
    // A watcher runs: the item says so at once, and registers on the main loop.
    EXPECT_EQ(item->availability(), Availability::shown);
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }));
    EXPECT_EQ(watcher.registrations()[0].service, firstItem());

    TrayHostView host;
    const std::pair<const char*, std::string> texts[] = {{"Category", "ApplicationStatus"},
                                                         {"Status", "Active"},
                                                         {"Menu", "/MenuBar"},
                                                         {"IconThemePath", PAGEMATE_SOURCE_ICONS}};
    for (const auto& [name, value] : texts) {
        EXPECT_EQ(host.stringProperty(firstItem(), "/StatusNotifierItem",
                                      "org.kde.StatusNotifierItem", name),
                  value);
    }

    item->setMenu({command("状态：本地服务", {}, {}, false), MenuItem::separator(),
                   MenuItem::separator(), command("设置…", [] {}), command("snake_case", [] {})});
    const TrayHostView::Layout layout = host.layout(firstItem(), "/MenuBar");
    const std::vector<MenuNode>& entries = layout.root.children;
    ASSERT_EQ(entries.size(), 5U) << layout.error;
    EXPECT_EQ(entries[0].label, "状态：本地服务");
    EXPECT_FALSE(entries[0].enabled);
    // Two separators in a row both reach the host.
    EXPECT_EQ(entries[1].type, "separator");
    EXPECT_EQ(entries[2].propertyNames, std::vector<std::string>{"type"});
    // Enabled items leave "enabled" out: true is its default.
    EXPECT_EQ(std::ranges::count(entries[3].propertyNames, "enabled"), 0);
    // An underscore is shown as one, not taken for a mnemonic.
    EXPECT_EQ(entries[4].label, "snake__case");

    // A new menu is announced with its revision. Rows keep their ids while their place and
    // kind stay (the status row as its text changes); a row of another kind gets a new one.
    item->setMenu({command("状态：连不上 • 本地服务", {}, {}, false), command("设置…")});
    ASSERT_TRUE(runMainLoopUntil([&] { return !host.layoutUpdates().empty(); }));
    const TrayHostView::Layout after = host.layout(firstItem(), "/MenuBar");
    EXPECT_EQ(host.layoutUpdates().back(), std::make_pair(after.revision, 0));
    EXPECT_GT(after.revision, layout.revision);
    ASSERT_EQ(after.root.children.size(), 2U);
    EXPECT_EQ(after.root.children[0].label, "状态：连不上 • 本地服务");
    EXPECT_EQ(after.root.children[0].id, entries[0].id);
    for (const MenuNode& entry : entries) {
        EXPECT_NE(after.root.children[1].id, entry.id);
    }
}

TEST(TrayItem, AClickRunsTheActionOnceLaterOnTheMainQueue) {
    testing::PrivateSessionBus bus;
    StatusWatcher watcher;
    TrayHostView host;
    // On a queue the test runs itself: the click's answer comes back before the action has
    // run, so it was not run inside the D-Bus call. (On GLib's loop: tests/program/tray.sh.)
    fake::VirtualClockQueue queue;
    StatusNotifierBar bar(queue);
    auto item = bar.createItem(pagemateOptions());
    int chosen = 0;
    item->setMenu({command("打开", [&] { ++chosen; })});
    const std::vector<MenuNode> entries = host.layout(firstItem(), "/MenuBar").root.children;
    ASSERT_EQ(entries.size(), 1U);
    const auto sendEvent = [&](const char* event) {
        return host.call(firstItem(), "/MenuBar", "com.canonical.dbusmenu", "Event",
                         g_variant_new("(isvu)", entries[0].id, event, g_variant_new_int32(0), 0U));
    };
    // Hovering runs nothing.
    ASSERT_TRUE(sendEvent("hovered").value);
    ASSERT_TRUE(sendEvent("clicked").value);
    EXPECT_EQ(chosen, 0);
    queue.runUntilIdle();
    EXPECT_EQ(chosen, 1);

    // A click on the layout a host still shows is taken after a new menu; its action,
    // still waiting when the item goes, runs nothing.
    item->setMenu({command("新菜单", [&] { ++chosen; }), command("打开", [&] { chosen += 10; })});
    ASSERT_TRUE(sendEvent("clicked").value);
    item.reset();
    queue.runUntilIdle();
    EXPECT_EQ(chosen, 1);
}

// A tray host coming and going, the watcher ending and the bus going away are followed
// without a restart; a watcher started later: tests/program/tray.sh.
TEST(TrayItem, FollowsTheWatcherAndItsHostComingAndGoing) {
    testing::PrivateSessionBus bus;
    GLibMainQueue queue;
    StatusNotifierBar bar(queue);
    auto item = bar.createItem(pagemateOptions());
    int told = 0;
    item->setAvailabilityObserver([&] { ++told; });
    EXPECT_EQ(item->availability(), Availability::noTrayHost);
    EXPECT_NE(item->availabilityDetail().find("org.kde.StatusNotifierWatcher"), std::string::npos);
    const auto becomes = [&](Availability availability, int times) {
        EXPECT_TRUE(runMainLoopUntil([&] { return item->availability() == availability; }));
        EXPECT_EQ(told, times);
    };
    auto watcher = std::make_unique<StatusWatcher>(/*hostRegistered=*/false);
    testing::runMainLoopFor(200ms);
    EXPECT_NE(item->availabilityDetail().find("StatusNotifierHost"), std::string::npos);
    EXPECT_EQ(watcher->registrations().size(), 1U);
    watcher->setHostRegistered(true);
    becomes(Availability::shown, 1);
    watcher->setHostRegistered(false);
    becomes(Availability::noTrayHost, 2);
    watcher->setHostRegistered(true);
    becomes(Availability::shown, 3);
    watcher.reset();
    becomes(Availability::noTrayHost, 4);
    bus.stop();
    becomes(Availability::noSessionBus, 5);
}

TEST(TrayItem, WithoutASessionBusTheItemSaysWhy) {
    GLibMainQueue queue;
    StatusNotifierBar bar(queue);
    // GIO would start a bus of its own through dbus-launch when there is an X display;
    // this one only leaves a mark.
    const TempDir tools;
    const std::filesystem::path launched = tools.path() / "dbus-launch-ran";
    testing::writeFile(tools.path() / "dbus-launch",
                       "#!/bin/sh\ntouch '" + launched.string() + "'\nexit 1\n");
    std::filesystem::permissions(tools.path() / "dbus-launch", std::filesystem::perms::owner_all);
    const char* path = std::getenv("PATH");
    const ScopedEnvironment searched(
        "PATH", (tools.path().string() + ":" + (path != nullptr ? path : "/usr/bin")).c_str());
    const ScopedEnvironment display("DISPLAY", ":99");
    const TempDir runtime;
    const char* userRuntime = std::getenv("XDG_RUNTIME_DIR");
    for (const char* address : {static_cast<const char*>(nullptr), "autolaunch:"}) {
        const ScopedEnvironment noBus("DBUS_SESSION_BUS_ADDRESS", address);
        // Unset, GIO would also look for the user's bus in the runtime folder.
        const ScopedEnvironment noUserBus(
            "XDG_RUNTIME_DIR", address == nullptr ? runtime.path().c_str() : userRuntime);
        auto item = bar.createItem(pagemateOptions());
        EXPECT_EQ(item->availability(), Availability::noSessionBus);
    }
    EXPECT_FALSE(std::filesystem::exists(launched)) << "a bus was started for the item";
}

}  // namespace
}  // namespace pagemate
