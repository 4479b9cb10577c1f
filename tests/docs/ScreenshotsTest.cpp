// The README's pictures, from the real program on Xvfb (1280 × 800, openbox) against the
// showcase pages, each window opened from the tray menu; the meeting hears two LibriVox
// sentences through a sound server of the test's own. Each picture must be taken, not blank,
// under 300 kB and of the committed one's size; PAGEMATE_UPDATE_SCREENSHOTS=1 rewrites them.

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/PulseDaemon.h"
#include "fixtures/SpeechAudio.h"
#include "fixtures/StandInService.h"
#include "fixtures/StatusWatcher.h"
#include "harness/ProgramRun.h"
// clang-format off
#include "fixtures/Desktop.h"
#include <X11/Xatom.h>
// clang-format on

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using linux_backend::GObjectPtr;
using testing::MenuNode;
using testing::runMainLoopUntil;
namespace fs = std::filesystem;

// The program's viewable window titled `title`: the window manager's frame around it (what
// the picture shows) and the program's own window inside, in root coordinates.
using Shown = std::pair<GdkRectangle, GdkRectangle>;
std::optional<Shown> shownWindow(const testing::Desktop& desktop, pid_t pid,
                                 const std::string& title) {
    Display* display = desktop.display();
    XSync(display, False);  // windows that go meanwhile are passed over, not fatal
    const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    std::optional<Shown> shown;
    for (const Window window : desktop.clientWindows()) {
        // The frame's left, right, top and bottom widths.
        const auto edges =
            testing::windowProperty(display, window, "_NET_FRAME_EXTENTS", XA_CARDINAL);
        XWindowAttributes attributes{};
        GdkRectangle client{};
        Window child = 0;
        if (desktop.pidOf(window) == pid && testing::windowTitle(display, window) == title &&
            edges.size() == 4 && XGetWindowAttributes(display, window, &attributes) != 0 &&
            attributes.map_state == IsViewable &&
            XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &client.x,
                                  &client.y, &child) != 0) {
            const auto edge = [&](int index) { return static_cast<int>(edges[index]); };
            client.width = attributes.width;
            client.height = attributes.height;
            shown = Shown({client.x - edge(0), client.y - edge(2), client.width + edge(0) + edge(1),
                           client.height + edge(2) + edge(3)},
                          client);
        }
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    return shown;
}

// Once two captures a moment apart agree (the window has finished drawing): what the screen
// shows in `box`, checked and kept as the picture `name`. `content` is the part the program
// drew itself, which must not be blank.
void keep(const std::string& name, const GdkRectangle& box, const GdkRectangle& content) {
    const auto capture = [&] {
        gdk_display_sync(gdk_display_get_default());
        return GObjectPtr<GdkPixbuf>(gdk_pixbuf_get_from_window(
            gdk_get_default_root_window(), box.x, box.y, box.width, box.height));
    };
    GObjectPtr<GdkPixbuf> picture = capture();
    for (int attempt = 0; attempt < 40 && picture; ++attempt) {
        runMainLoopUntil([] { return false; }, 150ms);
        GObjectPtr<GdkPixbuf> next = capture();
        const auto bytes = [](GdkPixbuf* pixbuf) {
            return std::string_view(reinterpret_cast<const char*>(gdk_pixbuf_read_pixels(pixbuf)),
                                    gdk_pixbuf_get_byte_length(pixbuf));
        };
        if (next && bytes(next.get()) == bytes(picture.get())) {
            break;
        }
        picture = std::move(next);
    }
    ASSERT_TRUE(picture) << name << ": nothing captured";
    const GObjectPtr<GdkPixbuf> drawn(gdk_pixbuf_new_subpixbuf(
        picture.get(), content.x - box.x, content.y - box.y, content.width, content.height));
    ASSERT_TRUE(drawn) << name << ": the window lies outside its frame";
    const GObjectPtr<GdkPixbuf> packed(gdk_pixbuf_add_alpha(drawn.get(), FALSE, 0, 0, 0));
    const auto* pixels =
        reinterpret_cast<const std::uint32_t*>(gdk_pixbuf_read_pixels(packed.get()));
    EXPECT_GT(std::set(pixels, pixels + (std::ptrdiff_t{content.width} * content.height)).size(),
              64U)
        << name << " looks blank";
    const fs::path committed = fs::path(SCREENSHOTS_DIR) / (name + ".png");
    if (const char* update = std::getenv("PAGEMATE_UPDATE_SCREENSHOTS");
        update != nullptr && std::string_view(update) == "1") {
        ASSERT_TRUE(gdk_pixbuf_save(picture.get(), committed.c_str(), "png", nullptr, "compression",
                                    "9", nullptr));
    }
    std::pair<int, int> size;
    ASSERT_NE(gdk_pixbuf_get_file_info(committed.c_str(), &size.first, &size.second), nullptr)
        << committed << " is missing: run the test with PAGEMATE_UPDATE_SCREENSHOTS=1";
    EXPECT_LT(fs::file_size(committed), 300U * 1024) << committed;
    EXPECT_EQ(size,
              std::pair(gdk_pixbuf_get_width(picture.get()), gdk_pixbuf_get_height(picture.get())))
        << committed << " is out of date";
}

// A tray host's rendering: the icon in a dark strip along the top, and under it the exported
// layout as a GtkMenu, shortcuts as libdbusmenu-gtk reads them (one GTK cannot parse: none).
void keepTrayMenu(const MenuNode& root, const std::string& iconThemePath,
                  const std::string& iconName) {
    constexpr int kStripHeight = 28;
    constexpr int kIconX = 1280 - 120;
    constexpr int kIconSize = 16;
    GtkWidget* strip = gtk_window_new(GTK_WINDOW_POPUP);
    gtk_window_move(GTK_WINDOW(strip), 0, 0);
    gtk_widget_set_size_request(strip, 1280, kStripHeight);
    const GObjectPtr<GtkCssProvider> css(gtk_css_provider_new());
    gtk_css_provider_load_from_data(css.get(), "window { background: #2e3436; color: white; }", -1,
                                    nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(strip),
                                   GTK_STYLE_PROVIDER(css.get()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), iconThemePath.c_str());
    EXPECT_TRUE(gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), iconName.c_str()))
        << iconName << " is not in " << iconThemePath;
    GtkWidget* icon = gtk_image_new_from_icon_name(iconName.c_str(), GTK_ICON_SIZE_MENU);
    gtk_widget_set_halign(icon, GTK_ALIGN_END);
    gtk_widget_set_margin_end(icon, 1280 - kIconX - kIconSize);
    gtk_container_add(GTK_CONTAINER(strip), icon);
    gtk_widget_show_all(strip);

    GtkWidget* menu = gtk_menu_new();
    int items = 0;
    for (const MenuNode& node : root.children) {
        GtkWidget* item = node.type == "separator"
                              ? gtk_separator_menu_item_new()
                              : gtk_menu_item_new_with_mnemonic(node.label.c_str());
        gtk_widget_set_sensitive(item, node.enabled ? TRUE : FALSE);
        std::string modifiers;  // as libdbusmenu-gtk joins them: "<Control>q"
        std::string last;
        for (const std::string& key :
             node.shortcut.empty() ? std::vector<std::string>{} : node.shortcut[0]) {
            modifiers += last.empty() ? "" : "<" + last + ">";
            last = key;
        }
        guint key = 0;
        GdkModifierType mask{};
        gtk_accelerator_parse((modifiers + last).c_str(), &key, &mask);
        if (key != 0) {
            gtk_accel_label_set_accel(GTK_ACCEL_LABEL(gtk_bin_get_child(GTK_BIN(item))), key, mask);
        }
        gtk_widget_set_no_show_all(item, node.visible ? FALSE : TRUE);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
        items += node.visible ? 1 : 0;
    }
    EXPECT_EQ(items, 21);
    gtk_widget_show_all(menu);
    const GdkRectangle at{kIconX, 0, kIconSize, kStripHeight};
    gtk_menu_popup_at_rect(GTK_MENU(menu), gtk_widget_get_window(strip), &at,
                           GDK_GRAVITY_SOUTH_WEST, GDK_GRAVITY_NORTH_WEST, nullptr);
    GdkWindow* shown = nullptr;
    ASSERT_TRUE(runMainLoopUntil(
        [&] {
            shown = gtk_widget_get_window(gtk_widget_get_toplevel(menu));
            return shown != nullptr && gdk_window_is_viewable(shown);
        },
        5s));
    GdkRectangle frame{};
    gdk_window_get_frame_extents(shown, &frame);
    const int right = std::max(frame.x + frame.width, kIconX + kIconSize + 8);
    keep("tray-menu", {frame.x, 0, right - frame.x, frame.y + frame.height}, frame);
    gtk_widget_destroy(menu);
    gtk_widget_destroy(strip);
}

TEST(Screenshots, TrayMenuAndEveryWindowOfTheProgram) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    const testing::TempDir home;
    const testing::ScopedEnvironment homeVariable{"HOME", home.path().c_str()};
    const testing::ScopedEnvironment temporary{"TMPDIR", home.path().c_str()};
    // The computer's sound goes to "out"; the microphone ("mic") hears what plays in "room".
    const testing::PulseDaemon sound{{"module-null-sink sink_name=room",
                                      "module-remap-source source_name=mic master=room.monitor"},
                                     ""};
    const testing::ScopedEnvironment configHome{"XDG_CONFIG_HOME",
                                                (home.path() / "config").c_str()};
    const testing::ScopedEnvironment dataHome{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    const testing::ScopedEnvironment noWayland{"WAYLAND_DISPLAY", nullptr};
    testing::StandInService service;
    for (const std::string page : {"panel", "quick", "meeting"}) {
        service.answer("/" + page, 200, testing::readFile(PAGES_DIR "/showcase/" + page + ".html"),
                       "text/html");
    }
    service.answer("/rendered", 204, "", "text/plain");
    const testing::ScopedEnvironment serviceAddress{"PGM_SERVER_URL", service.base().c_str()};
    const testing::PrivateSessionBus bus;
    const testing::StatusWatcher watcher;
    const testing::Desktop desktop;
    // What the page told the service of itself each time it was drawn, at least `width` wide.
    const auto reports = [&](const std::string& page, int width = 0) {
        std::vector<std::map<std::string, std::string>> found;
        for (auto& request : service.received()) {
            if (request.path == "/rendered" && request.query["page"] == page &&
                std::atoi(request.query["width"].c_str()) >= width) {
                found.push_back(std::move(request.query));
            }
        }
        return found;
    };
    const auto reported = [&](const std::string& page, const std::string& key) {
        auto all = reports(page);
        return all.empty() ? "" : all.back()[key];
    };

    testing::ProgramRun program({}, home.path() / "output.txt", home.path() / "log.txt");
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }, 30s))
        << "the tray item did not register";
    const std::string item = watcher.registrations()[0].service;
    testing::TrayHostView host;
    // The menu once the service check is through: its status row says where it is.
    const auto layoutItem = [&](const std::string& label) {
        const MenuNode root = host.layout(item, "/MenuBar").root;
        const auto found = std::ranges::find(root.children, label, &MenuNode::label);
        return std::pair(root, found == root.children.end() ? std::nullopt : std::optional(*found));
    };
    ASSERT_TRUE(
        runMainLoopUntil([&] { return layoutItem("状态：本地服务").second.has_value(); }, 20s))
        << "the status row never read 状态：本地服务";
    const auto property = [&](const std::string& name) {
        return host.stringProperty(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", name);
    };
    keepTrayMenu(layoutItem("").first, property("IconThemePath"), property("IconName"));

    // The menu is built anew whenever its status row changes: the item is looked up again.
    const auto click = [&](const std::string& label) {
        std::string error;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const std::optional<MenuNode> node = layoutItem(label).second;
            ASSERT_TRUE(node) << label;
            const auto reply =
                host.call(item, "/MenuBar", "com.canonical.dbusmenu", "Event",
                          g_variant_new("(isvu)", node->id, "clicked", g_variant_new_int32(0), 0U));
            if (reply.value) {
                return;
            }
            error = reply.error;
        }
        FAIL() << label << ": " << error;
    };
    std::optional<Shown> shown;
    // Opens a window from its item; once shown at its size and drawn, its picture; closes it.
    const auto picture = [&](const std::string& name, const std::string& label,
                             const std::string& title, int width, std::pair<int, int> heights,
                             const std::function<bool()>& drawn, bool closing = true) {
        click(label);
        ASSERT_TRUE(runMainLoopUntil(
            [&] {
                shown = shownWindow(desktop, program.pid(), title);
                return shown && shown->second.width == width &&
                       shown->second.height >= heights.first &&
                       shown->second.height <= heights.second && drawn();
            },
            90s))
            << name << " was not shown at its size";
        keep(name, shown->first, shown->second);
        if (closing) {
            click(label);
            EXPECT_TRUE(
                runMainLoopUntil([&] { return !shownWindow(desktop, program.pid(), title); }, 10s))
                << name << " stayed open";
        }
    };
    const auto drawnAgain = [&](const std::string& page, int width = 0) {
        return [&reports, page, width, before = reports(page, width).size()] {
            return reports(page, width).size() > before;
        };
    };
    picture("panel", "打开完整助手", "页伴", 420, {560, 560}, drawnAgain("panel"));
    picture("quick-bar", "快速输入（就地改写）", "页伴", 560, {150, 150}, drawnAgain("quick"));
    picture("chat", "打开大窗口（对话建页面）", "页伴", 960, {740, 740}, drawnAgain("panel", 700));

    // A meeting: its page's start button, two speakers, the transcript, its stop button.
    const std::vector<testing::LibrivoxSentence> sentences = testing::librivoxSentences();
    ASSERT_GE(sentences.size(), 2U) << "pocketsphinx-testdata is missing";
    ASSERT_TRUE(sound.running()) << sound.log();
    testing::runShell("pactl set-default-source mic");
    const auto press = [&](const std::string& button) {
        testing::clickAt(desktop.display(),
                         shown->second.x + std::atoi(reported("meeting", button + "X").c_str()),
                         shown->second.y + std::atoi(reported("meeting", button + "Y").c_str()));
    };
    const auto play = [&](const testing::LibrivoxSentence& sentence, const std::string& sink) {
        testing::writeWav16(home.path() / "sentence.wav", sentence.samples);
        int status = 0;
        testing::runShell("paplay --device=" + sink + " " + (home.path() / "sentence.wav").string(),
                          &status);
        EXPECT_EQ(status, 0) << "paplay into " << sink;
    };
    const auto meetingDrawn = drawnAgain("meeting");
    bool started = false;
    picture(
        "meeting", "会议记录（本地转写）", "会议记录", 600, {640, 640},
        [&] {
            if (!started && meetingDrawn()) {
                started = true;
                press("start");
                EXPECT_TRUE(runMainLoopUntil(
                    [&] { return reported("meeting", "state") == "正在记录"; }, 30s))
                    << "the meeting did not start: " << reported("meeting", "state") << "\n"
                    << testing::readFile(home.path() / "log.txt");
                play(sentences[0], "room");
                play(sentences[1], "out");
            }
            return std::atoi(reported("meeting", "room").c_str()) > 0 &&
                   std::atoi(reported("meeting", "online").c_str()) > 0;
        },
        false);
    press("stop");
    EXPECT_TRUE(runMainLoopUntil([&] { return reported("meeting", "state") == "未开始"; }, 60s))
        << "the meeting did not end: " << reported("meeting", "state");
    click("会议记录（本地转写）");
    // The settings window is 470 wide and as high as its rows need, at least 330.
    picture(
        "settings", "设置…", "页伴 · 设置", 470, {330, 500}, [] { return true; }, false);
    EXPECT_TRUE(program.terminate());
}

}  // namespace
}  // namespace pagemate
