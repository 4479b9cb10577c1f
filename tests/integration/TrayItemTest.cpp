// The tray item against a real session bus of the test's own, with a watcher and a tray
// host's reads over D-Bus, as a desktop's tray would see the item.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "fixtures/StatusWatcher.h"
#include "platform/fake/VirtualClockQueue.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/StatusNotifierBar.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using linux_backend::GLibMainQueue;
using linux_backend::GObjectPtr;
using linux_backend::GVariantPtr;
using linux_backend::StatusNotifierBar;
using testing::MenuNode;
using testing::PrivateSessionBus;
using testing::runMainLoopFor;
using testing::runMainLoopUntil;
using testing::ScopedEnvironment;
using testing::StatusWatcher;
using testing::TempDir;
using testing::TrayHostView;
using Availability = StatusItem::Availability;

constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";
constexpr const char* kIconName = "pagemate-symbolic";

StatusItemOptions pagemateOptions() {
    return StatusItemOptions{kIconName, "页伴", "页伴（⌥Space 唤出）"};
}

std::string itemName(int number) {
    return "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" +
           std::to_string(number);
}

MenuItem command(std::string title, std::function<void()> action = {}, std::string key = {},
                 bool enabled = true) {
    return MenuItem{MenuItem::Kind::command, std::move(title), std::move(action), std::move(key),
                    enabled};
}

// The data folders the desktop looks in for installed icons, empty: the icon is found in
// the source tree only.
struct NoInstalledIcons {
    TempDir home;
    TempDir data;
    ScopedEnvironment dataHome{"XDG_DATA_HOME", (home.path() / "share").c_str()};
    ScopedEnvironment dataDirs{"XDG_DATA_DIRS", data.path().c_str()};
};

GVariantPtr child(GVariant* container, gsize index) {
    return GVariantPtr(g_variant_get_child_value(container, index));
}

// The value inside a method's (v) answer.
GVariantPtr unboxed(GVariant* reply) {
    return GVariantPtr(g_variant_get_variant(child(reply, 0).get()));
}

bool nameHasOwner(TrayHostView& host, const std::string& name) {
    const TrayHostView::Reply reply =
        host.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                  "NameHasOwner", g_variant_new("(s)", name.c_str()));
    gboolean owned = FALSE;
    if (reply.value) {
        g_variant_get(reply.value.get(), "(b)", &owned);
    }
    return owned == TRUE;
}

TrayHostView::Reply sendEvent(TrayHostView& host, const std::string& service, int id,
                              const char* event) {
    return host.call(service, "/MenuBar", kMenuInterface, "Event",
                     g_variant_new("(isvu)", id, event, g_variant_new_int32(0), 0U));
}

TEST(TrayItem, RegistersWithTheWatcherAndShowsItselfToTheHost) {
    PrivateSessionBus bus;
    const NoInstalledIcons icons;
    StatusWatcher watcher;
    GLibMainQueue queue;
    StatusNotifierBar bar(queue, PAGEMATE_SOURCE_ICONS);

    auto item = bar.createItem(pagemateOptions());
    int told = 0;
    item->setAvailabilityObserver([&] { ++told; });
    // A watcher runs: the item says so at once, and registers on the main loop.
    EXPECT_EQ(item->availability(), Availability::shown);
    EXPECT_EQ(item->availabilityDetail(), "");
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }));
    runMainLoopFor(200ms);
    ASSERT_EQ(watcher.registrations().size(), 1U);
    EXPECT_EQ(watcher.registrations()[0].service, itemName(1));
    EXPECT_EQ(item->availability(), Availability::shown);
    EXPECT_EQ(told, 0) << "nothing changed";

    TrayHostView host;
    const std::string service = watcher.registrations()[0].service;
    const auto text = [&](const char* name) {
        return host.stringProperty(service, "/StatusNotifierItem", kItemInterface, name);
    };
    EXPECT_EQ(text("Category"), "ApplicationStatus");
    EXPECT_FALSE(text("Id").empty());
    EXPECT_EQ(text("Title"), "页伴");
    EXPECT_EQ(text("Status"), "Active");
    EXPECT_EQ(text("IconName"), kIconName);
    EXPECT_EQ(text("Menu"), "/MenuBar");
    // Run from the build folder with nothing installed: the source tree's icons.
    const std::string themePath = text("IconThemePath");
    EXPECT_EQ(themePath, PAGEMATE_SOURCE_ICONS);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::path(themePath) / "hicolor" /
                                                 "scalable" / "apps" / "pagemate-symbolic.svg"));
    const GVariantPtr isMenu =
        host.property(service, "/StatusNotifierItem", kItemInterface, "ItemIsMenu");
    ASSERT_TRUE(isMenu);
    EXPECT_TRUE(g_variant_get_boolean(isMenu.get()));
    const GVariantPtr toolTip =
        host.property(service, "/StatusNotifierItem", kItemInterface, "ToolTip");
    ASSERT_TRUE(toolTip);
    ASSERT_TRUE(g_variant_is_of_type(toolTip.get(), G_VARIANT_TYPE("(sa(iiay)ss)")));
    const gchar* tipTitle = nullptr;
    const gchar* tipText = nullptr;
    g_variant_get(toolTip.get(), "(&s@a(iiay)&s&s)", nullptr, nullptr, &tipTitle, &tipText);
    EXPECT_STREQ(tipTitle, "页伴（⌥Space 唤出）");
    const GVariantPtr version = host.property(service, "/MenuBar", kMenuInterface, "Version");
    ASSERT_TRUE(version);
    EXPECT_EQ(g_variant_get_uint32(version.get()), 3U);

    // A second item has a name of its own; a destroyed item leaves the bus at once.
    auto second = bar.createItem(pagemateOptions());
    ASSERT_TRUE(runMainLoopUntil([&] { return watcher.registrations().size() == 2; }));
    EXPECT_EQ(watcher.registrations()[1].service, itemName(2));
    EXPECT_TRUE(nameHasOwner(host, itemName(1)));
    item.reset();
    EXPECT_TRUE(runMainLoopUntil([&] { return !nameHasOwner(host, itemName(1)); }));
    EXPECT_TRUE(nameHasOwner(host, itemName(2)));
}

TEST(TrayItem, TheHostReadsTheMenuAsTheCoreBuiltIt) {
    PrivateSessionBus bus;
    StatusWatcher watcher;
    GLibMainQueue queue;
    StatusNotifierBar bar(queue);
    auto item = bar.createItem(pagemateOptions());
    item->setMenu({
        command("状态：本地服务", {}, {}, false),
        MenuItem::separator(),
        MenuItem::separator(),
        command(
            "设置…", [] {}, ","),
        command("snake_case", [] {}),
        MenuItem::separator(),
        command(
            "退出", [] {}, "q"),
    });

    TrayHostView host;
    const TrayHostView::Layout layout = host.layout(itemName(1), "/MenuBar");
    ASSERT_EQ(layout.error, "");
    EXPECT_EQ(layout.root.id, 0);
    EXPECT_EQ(layout.root.propertyNames, std::vector<std::string>{"children-display"});
    const std::vector<MenuNode>& entries = layout.root.children;
    ASSERT_EQ(entries.size(), 7U);

    EXPECT_EQ(entries[0].label, "状态：本地服务");
    EXPECT_FALSE(entries[0].enabled);
    // Two separators in a row both reach the host.
    for (const std::size_t index : {1U, 2U, 5U}) {
        EXPECT_EQ(entries[index].type, "separator") << index;
        EXPECT_EQ(entries[index].propertyNames, std::vector<std::string>{"type"}) << index;
    }
    EXPECT_EQ(entries[3].label, "设置…");
    EXPECT_TRUE(entries[3].enabled);
    // Key names as GTK's accelerators know them, which is how hosts read them.
    EXPECT_EQ(entries[3].shortcut, (std::vector<std::vector<std::string>>{{"Control", "comma"}}));
    EXPECT_EQ(gdk_keyval_from_name(entries[3].shortcut.at(0).at(1).c_str()), GDK_KEY_comma);
    // An underscore is shown as one, not taken for a mnemonic.
    EXPECT_EQ(entries[4].label, "snake__case");
    EXPECT_TRUE(entries[4].shortcut.empty());
    EXPECT_EQ(entries[6].label, "退出");
    EXPECT_EQ(entries[6].shortcut, (std::vector<std::vector<std::string>>{{"Control", "q"}}));
    // Enabled items leave "enabled" out: true is its default.
    for (const std::size_t index : {3U, 4U, 6U}) {
        EXPECT_EQ(std::count(entries[index].propertyNames.begin(),
                             entries[index].propertyNames.end(), "enabled"),
                  0)
            << index;
    }
    std::vector<int> ids;
    for (const MenuNode& entry : entries) {
        EXPECT_TRUE(entry.children.empty());
        ids.push_back(entry.id);
    }
    EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), ids.size()) << "ids are unique";

    // The other reads agree with the layout.
    const TrayHostView::Reply label =
        host.call(itemName(1), "/MenuBar", kMenuInterface, "GetProperty",
                  g_variant_new("(is)", entries[6].id, "label"));
    ASSERT_TRUE(label.value) << label.error;
    EXPECT_STREQ(g_variant_get_string(unboxed(label.value.get()).get(), nullptr), "退出");
    const TrayHostView::Reply enabled =
        host.call(itemName(1), "/MenuBar", kMenuInterface, "GetProperty",
                  g_variant_new("(is)", entries[6].id, "enabled"));
    ASSERT_TRUE(enabled.value) << enabled.error;
    EXPECT_TRUE(g_variant_get_boolean(unboxed(enabled.value.get()).get()));

    const gint32 wanted[] = {entries[0].id, entries[3].id};
    const TrayHostView::Reply group = host.call(
        itemName(1), "/MenuBar", kMenuInterface, "GetGroupProperties",
        g_variant_new("(@ai@as)",
                      g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, wanted, 2, sizeof(gint32)),
                      g_variant_new_strv(nullptr, 0)));
    ASSERT_TRUE(group.value) << group.error;
    const GVariantPtr properties = child(group.value.get(), 0);
    ASSERT_EQ(g_variant_n_children(properties.get()), 2U);
    const GVariantPtr first = child(properties.get(), 0);
    gint32 firstId = 0;
    g_variant_get(first.get(), "(i@a{sv})", &firstId, nullptr);
    EXPECT_EQ(firstId, entries[0].id);
    gboolean firstEnabled = TRUE;
    EXPECT_TRUE(g_variant_lookup(child(first.get(), 1).get(), "enabled", "b", &firstEnabled));
    EXPECT_FALSE(firstEnabled);

    // Depth 0 is the root alone; an unknown parent is an error.
    const TrayHostView::Reply shallow =
        host.call(itemName(1), "/MenuBar", kMenuInterface, "GetLayout",
                  g_variant_new("(ii@as)", 0, 0, g_variant_new_strv(nullptr, 0)));
    ASSERT_TRUE(shallow.value);
    EXPECT_TRUE(testing::parseMenuNode(child(shallow.value.get(), 1).get()).children.empty());
    const TrayHostView::Reply unknown =
        host.call(itemName(1), "/MenuBar", kMenuInterface, "GetLayout",
                  g_variant_new("(ii@as)", 9999, -1, g_variant_new_strv(nullptr, 0)));
    EXPECT_FALSE(unknown.value);
    EXPECT_NE(unknown.error, "");

    // A new menu is announced with its revision. Rows keep their ids while their place
    // and kind stay (the status row as its text changes); a row of another kind gets a
    // new one.
    item->setMenu({command("状态：连不上 • 本地服务", {}, {}, false), command("设置…")});
    ASSERT_TRUE(runMainLoopUntil([&] { return !host.layoutUpdates().empty(); }));
    const TrayHostView::Layout after = host.layout(itemName(1), "/MenuBar");
    EXPECT_GT(after.revision, layout.revision);
    EXPECT_EQ(host.layoutUpdates().back(), std::make_pair(after.revision, 0));
    ASSERT_EQ(after.root.children.size(), 2U);
    EXPECT_EQ(after.root.children[0].label, "状态：连不上 • 本地服务");
    EXPECT_EQ(after.root.children[0].id, entries[0].id);
    EXPECT_EQ(std::ranges::count(ids, after.root.children[1].id), 0);
}

TEST(TrayItem, AClickRunsTheActionOnceLaterOnTheMainQueue) {
    PrivateSessionBus bus;
    StatusWatcher watcher;
    TrayHostView host;

    {
        // On a queue the test runs itself: the click's answer comes back before the
        // action has run, which shows it was not run inside the D-Bus call.
        fake::VirtualClockQueue queue;
        StatusNotifierBar bar(queue);
        auto item = bar.createItem(pagemateOptions());
        int chosen = 0;
        int disabled = 0;
        item->setMenu({command("打开", [&] { ++chosen; }), MenuItem::separator(),
                       command(
                           "不可用", [&] { ++disabled; }, {}, false)});
        const std::vector<MenuNode> entries = host.layout(itemName(1), "/MenuBar").root.children;
        ASSERT_EQ(entries.size(), 3U);

        const TrayHostView::Reply clicked = sendEvent(host, itemName(1), entries[0].id, "clicked");
        ASSERT_TRUE(clicked.value) << clicked.error;
        EXPECT_EQ(chosen, 0);
        EXPECT_EQ(queue.pendingCount(), 1U);
        queue.runUntilIdle();
        EXPECT_EQ(chosen, 1);
        queue.runUntilIdle();
        EXPECT_EQ(chosen, 1) << "once";

        // Hovering, a disabled item and a separator run nothing.
        EXPECT_TRUE(sendEvent(host, itemName(1), entries[0].id, "hovered").value);
        EXPECT_TRUE(sendEvent(host, itemName(1), entries[2].id, "clicked").value);
        EXPECT_TRUE(sendEvent(host, itemName(1), entries[1].id, "clicked").value);
        queue.runUntilIdle();
        EXPECT_EQ(chosen, 1);
        EXPECT_EQ(disabled, 0);

        // A group of events runs the clicked ones; unknown ids come back as errors.
        const TrayHostView::Reply group = host.call(
            itemName(1), "/MenuBar", kMenuInterface, "EventGroup",
            g_variant_new_parsed("([(%i, 'clicked', <0>, uint32 0), (4242, 'clicked', <0>, "
                                 "uint32 0)],)",
                                 entries[0].id));
        ASSERT_TRUE(group.value) << group.error;
        const GVariantPtr errors = child(group.value.get(), 0);
        ASSERT_EQ(g_variant_n_children(errors.get()), 1U);
        gint32 errorId = 0;
        g_variant_get_child(errors.get(), 0, "i", &errorId);
        EXPECT_EQ(errorId, 4242);
        queue.runUntilIdle();
        EXPECT_EQ(chosen, 2);

        // A click on the layout a host still shows lands while its item exists, wherever
        // the new menu has put it; once the item is gone it chooses nothing.
        item->setMenu(
            {command("新菜单", [&] { ++chosen; }), command("打开", [&] { chosen += 10; })});
        ASSERT_TRUE(sendEvent(host, itemName(1), entries[0].id, "clicked").value);
        queue.runUntilIdle();
        EXPECT_EQ(chosen, 12);
        item->setMenu({command("新菜单", [&] { ++chosen; })});
        const TrayHostView::Reply stale = sendEvent(host, itemName(1), entries[0].id, "clicked");
        EXPECT_FALSE(stale.value);
        EXPECT_NE(stale.error, "");
        queue.runUntilIdle();
        EXPECT_EQ(chosen, 12);

        // A click whose action is still waiting when the item goes runs nothing.
        const int fresh = host.layout(itemName(1), "/MenuBar").root.children.at(0).id;
        ASSERT_TRUE(sendEvent(host, itemName(1), fresh, "clicked").value);
        item.reset();
        queue.runUntilIdle();
        EXPECT_EQ(chosen, 12);
    }

    // On GLib's own loop the action runs once, on the main thread.
    GLibMainQueue queue;
    StatusNotifierBar bar(queue);
    auto item = bar.createItem(pagemateOptions());
    int chosen = 0;
    std::thread::id ranOn;
    item->setMenu({command("打开", [&] {
        ++chosen;
        ranOn = std::this_thread::get_id();
    })});
    const int id = host.layout(itemName(1), "/MenuBar").root.children.at(0).id;
    ASSERT_TRUE(sendEvent(host, itemName(1), id, "clicked").value);
    ASSERT_TRUE(runMainLoopUntil([&] { return chosen > 0; }));
    runMainLoopFor(200ms);
    EXPECT_EQ(chosen, 1);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(TrayItem, WaitsForAWatcherAndFollowsItComingAndGoing) {
    PrivateSessionBus bus;
    GLibMainQueue queue;
    StatusNotifierBar bar(queue);
    auto item = bar.createItem(pagemateOptions());
    int told = 0;
    item->setAvailabilityObserver([&] { ++told; });
    EXPECT_EQ(item->availability(), Availability::noTrayHost);
    EXPECT_NE(item->availabilityDetail().find("org.kde.StatusNotifierWatcher"), std::string::npos)
        << item->availabilityDetail();
    runMainLoopFor(200ms);
    EXPECT_EQ(told, 0);

    // A tray started later gets the item without a restart.
    auto watcher = std::make_unique<StatusWatcher>();
    ASSERT_TRUE(runMainLoopUntil([&] { return item->availability() == Availability::shown; }));
    ASSERT_EQ(watcher->registrations().size(), 1U);
    EXPECT_EQ(watcher->registrations()[0].service, itemName(1));
    EXPECT_EQ(told, 1);
    EXPECT_EQ(item->availabilityDetail(), "");

    watcher.reset();
    ASSERT_TRUE(runMainLoopUntil([&] { return item->availability() == Availability::noTrayHost; }));
    EXPECT_EQ(told, 2);
    EXPECT_NE(item->availabilityDetail(), "");

    watcher = std::make_unique<StatusWatcher>();
    ASSERT_TRUE(runMainLoopUntil([&] { return item->availability() == Availability::shown; }));
    EXPECT_EQ(watcher->registrations().size(), 1U);
    EXPECT_EQ(told, 3);
}

TEST(TrayItem, AWatcherWithoutAHostShowsNothing) {
    PrivateSessionBus bus;
    StatusWatcher watcher(/*hostRegistered=*/false);
    GLibMainQueue queue;
    StatusNotifierBar bar(queue);
    auto item = bar.createItem(pagemateOptions());
    int told = 0;
    item->setAvailabilityObserver([&] { ++told; });
    ASSERT_TRUE(runMainLoopUntil([&] { return item->availability() == Availability::noTrayHost; }));
    EXPECT_NE(item->availabilityDetail().find("StatusNotifierHost"), std::string::npos)
        << item->availabilityDetail();
    EXPECT_EQ(told, 1);

    watcher.setHostRegistered(true);
    ASSERT_TRUE(runMainLoopUntil([&] { return item->availability() == Availability::shown; }));
    EXPECT_EQ(told, 2);
    watcher.setHostRegistered(false);
    ASSERT_TRUE(runMainLoopUntil([&] { return item->availability() == Availability::noTrayHost; }));
    EXPECT_EQ(told, 3);
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
    {
        const TempDir runtime;
        const ScopedEnvironment noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
        const ScopedEnvironment noUserBus("XDG_RUNTIME_DIR", runtime.path().c_str());
        auto item = bar.createItem(pagemateOptions());
        EXPECT_EQ(item->availability(), Availability::noSessionBus);
        EXPECT_NE(item->availabilityDetail().find("DBUS_SESSION_BUS_ADDRESS"), std::string::npos);
        item->setMenu({command(
            "退出", [] {}, "q")});  // kept, harmlessly
    }
    {
        const ScopedEnvironment autolaunch("DBUS_SESSION_BUS_ADDRESS", "autolaunch:");
        auto item = bar.createItem(pagemateOptions());
        EXPECT_EQ(item->availability(), Availability::noSessionBus);
        EXPECT_NE(item->availabilityDetail(), "");
    }
    EXPECT_FALSE(std::filesystem::exists(launched)) << "a bus was started for the item";

    // The bus going away is seen.
    PrivateSessionBus bus;
    StatusWatcher watcher;
    auto item = bar.createItem(pagemateOptions());
    int told = 0;
    item->setAvailabilityObserver([&] { ++told; });
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }));
    bus.stop();
    ASSERT_TRUE(
        runMainLoopUntil([&] { return item->availability() == Availability::noSessionBus; }));
    EXPECT_EQ(told, 1);
    EXPECT_NE(item->availabilityDetail(), "");
}

// The tray needs no display; without one (this process never opens one) a host's click
// is answered, but its place has no screen to be put on.
TEST(TrayItem, WithoutADisplayTheIconsPlaceStaysUnknown) {
    PrivateSessionBus bus;
    StatusWatcher watcher;
    GLibMainQueue queue;
    StatusNotifierBar bar(queue);
    auto item = bar.createItem(pagemateOptions());
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }));
    TrayHostView host;
    for (const char* method : {"Activate", "SecondaryActivate", "ContextMenu"}) {
        const TrayHostView::Reply reply =
            host.call(itemName(1), "/StatusNotifierItem", kItemInterface, method,
                      g_variant_new("(ii)", 100, 10));
        EXPECT_EQ(reply.error, "") << method;
        EXPECT_EQ(item->lastKnownFrame(), std::nullopt) << method;
    }
}

TEST(TrayIcon, IsFoundInstalledOrInTheSourceTreeAndDraws) {
    const std::string icon = kIconName;
    {
        const NoInstalledIcons nothing;
        EXPECT_EQ(StatusNotifierBar::iconThemePath(icon, PAGEMATE_SOURCE_ICONS),
                  PAGEMATE_SOURCE_ICONS);
        EXPECT_EQ(StatusNotifierBar::iconThemePath("no-such-icon", PAGEMATE_SOURCE_ICONS), "");
    }

    // The build's install rules put it where tray hosts look it up by name.
    const TempDir prefix;
    const std::string install = std::string("\"") + CMAKE_COMMAND + "\" --install \"" +
                                PAGEMATE_BUILD_DIR + "\" --prefix \"" + prefix.path().string() +
                                "\" >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    const std::filesystem::path installed =
        prefix.path() / "share" / "icons" / "hicolor" / "scalable" / "apps" / (icon + ".svg");
    ASSERT_TRUE(std::filesystem::is_regular_file(installed));
    {
        const TempDir home;
        const ScopedEnvironment dataHome("XDG_DATA_HOME", home.path().c_str());
        const ScopedEnvironment dataDirs("XDG_DATA_DIRS",
                                         (prefix.path() / "share").string().c_str());
        EXPECT_EQ(StatusNotifierBar::iconThemePath(icon, PAGEMATE_SOURCE_ICONS), "")
            << "installed: the theme finds it, no folder of its own";
    }

    // A host's icon theme with the announced folder finds the icon and draws it: some
    // pixels covered, some left clear.
    const GObjectPtr<GtkIconTheme> theme(gtk_icon_theme_new());
    const gchar* folders[] = {PAGEMATE_SOURCE_ICONS};
    gtk_icon_theme_set_search_path(theme.get(), folders, 1);
    GError* rawError = nullptr;
    const GObjectPtr<GdkPixbuf> pixbuf(gtk_icon_theme_load_icon(
        theme.get(), icon.c_str(), 22, GTK_ICON_LOOKUP_FORCE_SIZE, &rawError));
    const linux_backend::GErrorPtr error(rawError);
    ASSERT_TRUE(pixbuf) << (error ? error->message : "");
    ASSERT_TRUE(gdk_pixbuf_get_has_alpha(pixbuf.get()));
    int covered = 0;
    int clear = 0;
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf.get());
    const int stride = gdk_pixbuf_get_rowstride(pixbuf.get());
    for (int y = 0; y < gdk_pixbuf_get_height(pixbuf.get()); ++y) {
        for (int x = 0; x < gdk_pixbuf_get_width(pixbuf.get()); ++x) {
            const guchar alpha = pixels[y * stride + x * 4 + 3];
            covered += alpha > 200 ? 1 : 0;
            clear += alpha == 0 ? 1 : 0;
        }
    }
    EXPECT_GT(covered, 22 * 22 / 8);
    EXPECT_GT(clear, 22 * 22 / 4);
}

}  // namespace
}  // namespace pagemate
