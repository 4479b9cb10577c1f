// The README's pictures, taken from the real program: it runs on a virtual display of
// the test's own (a fixed 1280 × 800 screen) with openbox, against the stand-in service
// serving pages that look like the assistant's (fixtures/pages/showcase), and a tray
// watcher on a session bus of the test's own. The tray menu is drawn as a tray host draws
// it: a GtkMenu of the layout the program exports over com.canonical.dbusmenu, under the
// icon it names. Every other window is opened by clicking its item of that menu. The
// meeting's picture is of a real meeting: started with its page's button, two LibriVox
// sentences played into the test's own sound server (one where the microphone listens,
// one as the computer's sound), and what the recogniser made of them on the page.
//
// Each picture is checked: taken, not blank, and the committed one of the same size and
// under 300 kB. With PAGEMATE_UPDATE_SCREENSHOTS=1 they are written into docs/screenshots.

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
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
using testing::TrayHostView;

namespace fs = std::filesystem;

constexpr int kScreenWidth = 1280;
constexpr std::uintmax_t kLargestPicture = std::uintmax_t{300} * 1024;

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
};

// A shown top-level window of the program: the window manager's frame around it (what
// the picture shows) and the program's own window inside, both in root coordinates.
struct ShownWindow {
    Box frame;
    Box client;
};

// The program's viewable window titled `title`, with its frame, if there is one.
std::optional<ShownWindow> shownWindow(const testing::Desktop& desktop, pid_t pid,
                                       const std::string& title) {
    Display* display = desktop.display();
    XSync(display, False);  // windows that go meanwhile are passed over, not fatal
    const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    std::optional<ShownWindow> shown;
    for (const Window window : desktop.clientWindows()) {
        XWindowAttributes attributes{};
        // The frame's left, right, top and bottom widths, as the window manager gives them.
        const auto extents =
            testing::windowProperty(display, window, "_NET_FRAME_EXTENTS", XA_CARDINAL);
        const auto edge = [&](std::size_t index) { return static_cast<int>(extents.at(index)); };
        int x = 0;
        int y = 0;
        Window child = 0;
        if (!shown && desktop.pidOf(window) == pid &&
            testing::windowTitle(display, window) == title && extents.size() == 4 &&
            XGetWindowAttributes(display, window, &attributes) != 0 &&
            attributes.map_state == IsViewable &&
            XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y,
                                  &child) != 0) {
            shown = ShownWindow{Box{x - edge(0), y - edge(2), attributes.width + edge(0) + edge(1),
                                    attributes.height + edge(2) + edge(3)},
                                Box{x, y, attributes.width, attributes.height}};
        }
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    return shown;
}

std::span<const guint8> pixels(GdkPixbuf* picture) {
    return {gdk_pixbuf_read_pixels(picture), gdk_pixbuf_get_byte_length(picture)};
}

// What the screen shows in `box` once two captures a moment apart agree: the window has
// finished drawing.
GObjectPtr<GdkPixbuf> settledCapture(const Box& box) {
    const auto capture = [&] {
        gdk_display_sync(gdk_display_get_default());
        return GObjectPtr<GdkPixbuf>(gdk_pixbuf_get_from_window(
            gdk_get_default_root_window(), box.x, box.y, box.width, box.height));
    };
    GObjectPtr<GdkPixbuf> last = capture();
    for (int attempt = 0; attempt < 40; ++attempt) {
        runMainLoopUntil([] { return false; }, 150ms);
        GObjectPtr<GdkPixbuf> next = capture();
        if (last && next && std::ranges::equal(pixels(last.get()), pixels(next.get()))) {
            return next;
        }
        last = std::move(next);
    }
    return last;
}

// How many different colours the picture has (up to 1000): a blank one has one or two.
std::size_t colours(GdkPixbuf* picture) {
    std::set<std::uint32_t> seen;
    const int channels = gdk_pixbuf_get_n_channels(picture);
    const int stride = gdk_pixbuf_get_rowstride(picture);
    const guint8* pixels = gdk_pixbuf_read_pixels(picture);
    for (int y = 0; y < gdk_pixbuf_get_height(picture) && seen.size() < 1000; ++y) {
        for (int x = 0; x < gdk_pixbuf_get_width(picture) && seen.size() < 1000; ++x) {
            const guint8* pixel = pixels + (static_cast<std::ptrdiff_t>(y) * stride) +
                                  (static_cast<std::ptrdiff_t>(x) * channels);
            seen.insert((std::uint32_t{pixel[0]} << 16) | (std::uint32_t{pixel[1]} << 8) |
                        pixel[2]);
        }
    }
    return seen.size();
}

// Checks the picture of `name`, taken of `box`: the part the program drew itself (`content`,
// without the window manager's frame) not blank, and the committed one of the same size and under
// 300 kB; with PAGEMATE_UPDATE_SCREENSHOTS=1 it becomes the committed one.
void keep(const std::string& name, const GObjectPtr<GdkPixbuf>& picture, const Box& box,
          const Box& content) {
    ASSERT_TRUE(picture) << name << ": nothing captured";
    const GObjectPtr<GdkPixbuf> drawn(gdk_pixbuf_new_subpixbuf(
        picture.get(), content.x - box.x, content.y - box.y, content.width, content.height));
    ASSERT_TRUE(drawn) << name << ": the window lies outside its frame";
    EXPECT_GT(colours(drawn.get()), 64U) << name << " looks blank";
    const fs::path committed = fs::path(SCREENSHOTS_DIR) / (name + ".png");
    const char* update = std::getenv("PAGEMATE_UPDATE_SCREENSHOTS");
    if (update != nullptr && std::string_view(update) == "1") {
        ASSERT_TRUE(gdk_pixbuf_save(picture.get(), committed.c_str(), "png", nullptr, "compression",
                                    "9", nullptr));
    }
    int width = 0;
    int height = 0;
    ASSERT_NE(gdk_pixbuf_get_file_info(committed.c_str(), &width, &height), nullptr)
        << committed << " is missing: run the test with PAGEMATE_UPDATE_SCREENSHOTS=1";
    EXPECT_LT(fs::file_size(committed), kLargestPicture) << committed;
    EXPECT_EQ(std::pair(width, height),
              std::pair(gdk_pixbuf_get_width(picture.get()), gdk_pixbuf_get_height(picture.get())))
        << committed << " is out of date";
}

// A tray host's rendering of the menu: the item's icon in a panel strip along the top
// of the screen, and under it the menu as a GtkMenu of the exported layout.
class HostMenu {
  public:
    HostMenu(const MenuNode& root, const std::string& iconThemePath, const std::string& iconName) {
        strip_ = gtk_window_new(GTK_WINDOW_POPUP);
        gtk_window_move(GTK_WINDOW(strip_), 0, 0);
        gtk_widget_set_size_request(strip_, kScreenWidth, kStripHeight);
        const GObjectPtr<GtkCssProvider> css(gtk_css_provider_new());
        gtk_css_provider_load_from_data(css.get(), "window { background: #2e3436; }", -1, nullptr);
        gtk_style_context_add_provider(gtk_widget_get_style_context(strip_),
                                       GTK_STYLE_PROVIDER(css.get()),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        GtkWidget* layout = gtk_fixed_new();
        gtk_container_add(GTK_CONTAINER(strip_), layout);
        const GObjectPtr<GtkIconTheme> theme(gtk_icon_theme_new());
        const gchar* path[] = {iconThemePath.c_str()};
        gtk_icon_theme_set_search_path(theme.get(), path, 1);
        const GObjectPtr<GtkIconInfo> info(gtk_icon_theme_lookup_icon(
            theme.get(), iconName.c_str(), kIconSize, static_cast<GtkIconLookupFlags>(0)));
        if (info) {
            const GdkRGBA white{1, 1, 1, 1};
            const GObjectPtr<GdkPixbuf> icon(gtk_icon_info_load_symbolic(
                info.get(), &white, nullptr, nullptr, nullptr, nullptr, nullptr));
            gtk_fixed_put(GTK_FIXED(layout), gtk_image_new_from_pixbuf(icon.get()), kIconX,
                          (kStripHeight - kIconSize) / 2);
        }
        EXPECT_TRUE(info) << iconName << " is not in " << iconThemePath;
        gtk_widget_show_all(strip_);

        menu_ = gtk_menu_new();
        for (const MenuNode& node : root.children) {
            if (!node.visible) {
                continue;
            }
            GtkWidget* item = node.type == "separator"
                                  ? gtk_separator_menu_item_new()
                                  : gtk_menu_item_new_with_mnemonic(node.label.c_str());
            gtk_widget_set_sensitive(item, node.enabled ? TRUE : FALSE);
            if (!node.shortcut.empty() && !node.shortcut[0].empty()) {
                // As libdbusmenu-gtk reads it: the modifiers' and the key's names as one
                // accelerator; one GTK cannot parse shows no shortcut at all.
                std::string accelerator;
                for (const std::string& key : node.shortcut[0]) {
                    accelerator += &key == &node.shortcut[0].back() ? key : "<" + key + ">";
                }
                guint key = 0;
                GdkModifierType modifiers{};
                gtk_accelerator_parse(accelerator.c_str(), &key, &modifiers);
                if (key != 0) {
                    gtk_accel_label_set_accel(GTK_ACCEL_LABEL(gtk_bin_get_child(GTK_BIN(item))),
                                              key, modifiers);
                }
            }
            gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
            ++items_;
        }
        gtk_widget_show_all(menu_);
        const GdkRectangle icon{kIconX, 0, kIconSize, kStripHeight};
        gtk_menu_popup_at_rect(GTK_MENU(menu_), gtk_widget_get_window(strip_), &icon,
                               GDK_GRAVITY_SOUTH_WEST, GDK_GRAVITY_NORTH_WEST, nullptr);
    }
    HostMenu(const HostMenu&) = delete;
    HostMenu& operator=(const HostMenu&) = delete;
    ~HostMenu() {
        gtk_widget_destroy(menu_);
        gtk_widget_destroy(strip_);
    }

    [[nodiscard]] int items() const { return items_; }
    // Once the menu is shown: its window on the screen, and the picture's box (the menu
    // and the part of the strip above it, with the icon).
    [[nodiscard]] std::optional<std::pair<Box, Box>> shown() const {
        GdkWindow* window = gtk_widget_get_window(gtk_widget_get_toplevel(menu_));
        if (window == nullptr || !gdk_window_is_viewable(window)) {
            return std::nullopt;
        }
        GdkRectangle menu{};
        gdk_window_get_frame_extents(window, &menu);
        const int right = std::max(menu.x + menu.width, kIconX + kIconSize + kMargin);
        return std::pair(Box{menu.x, menu.y, menu.width, menu.height},
                         Box{menu.x, 0, right - menu.x, menu.y + menu.height});
    }

  private:
    static constexpr int kStripHeight = 28;
    static constexpr int kIconSize = 16;
    static constexpr int kIconX = kScreenWidth - 120;
    static constexpr int kMargin = 8;
    GtkWidget* strip_ = nullptr;
    GtkWidget* menu_ = nullptr;
    int items_ = 0;
};

const MenuNode* findItem(const MenuNode& root, const std::string& label) {
    const auto found = std::ranges::find(root.children, label, &MenuNode::label);
    return found == root.children.end() ? nullptr : &*found;
}

class Screenshots : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    Screenshots() {
        for (const std::string page : {"panel", "quick", "meeting"}) {
            service.answer("/" + page, 200,
                           testing::readFile(PAGES_DIR "/showcase/" + page + ".html"), "text/html");
        }
        service.answer("/rendered", 204, "", "text/plain");
    }

    // What the page `page` told the service about itself each time it was drawn (the
    // queries of its reports), at least `width` wide.
    [[nodiscard]] std::vector<std::map<std::string, std::string>> reports(const std::string& page,
                                                                          int width = 0) const {
        std::vector<std::map<std::string, std::string>> found;
        for (const auto& request : service.received()) {
            if (request.path == "/rendered" && request.query.contains("page") &&
                request.query.at("page") == page &&
                (width == 0 || std::atoi(request.query.at("width").c_str()) >= width)) {
                found.push_back(request.query);
            }
        }
        return found;
    }
    // What its last report said of `key`.
    [[nodiscard]] std::string reported(const std::string& page, const std::string& key) const {
        const auto all = reports(page);
        return all.empty() || !all.back().contains(key) ? "" : all.back().at(key);
    }

    // Plays a LibriVox sentence into the sound server's sink `sink`, as long as it lasts.
    void play(const testing::LibrivoxSentence& sentence, const std::string& sink) const {
        const fs::path raw = home.path() / (sink + ".raw");
        testing::writeFile(raw, std::string(reinterpret_cast<const char*>(sentence.samples.data()),
                                            sentence.samples.size() * sizeof(std::int16_t)));
        int status = 0;
        testing::PulseDaemon::run("pacat --playback --device=" + sink +
                                      " --format=s16le --rate=16000 --channels=1 --raw " +
                                      raw.string(),
                                  &status);
        ASSERT_EQ(status, 0) << "pacat into " << sink;
    }

    testing::TempDir home;
    testing::ScopedEnvironment homeVariable{"HOME", home.path().c_str()};
    testing::ScopedEnvironment temporary{"TMPDIR", home.path().c_str()};
    // The computer's sound goes to "out"; the microphone ("mic", an input of its own)
    // hears what plays in "room".
    testing::PulseDaemon sound{{"module-null-sink sink_name=room",
                                "module-remap-source source_name=mic master=room.monitor"},
                               ""};
    testing::ScopedEnvironment configHome{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    testing::ScopedEnvironment dataHome{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    testing::ScopedEnvironment noWayland{"WAYLAND_DISPLAY", nullptr};
    testing::StandInService service;
    testing::ScopedEnvironment serviceAddress{"PGM_SERVER_URL", service.base().c_str()};
    testing::PrivateSessionBus bus;
    testing::StatusWatcher watcher;
    testing::Desktop desktop;
};

TEST_F(Screenshots, TrayMenuAndEveryWindowOfTheProgram) {
    testing::ProgramRun program({}, home.path() / "output.txt", home.path() / "log.txt");
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }, 30s))
        << "the tray item did not register";
    const std::string item = watcher.registrations()[0].service;
    TrayHostView host;

    // The menu once the service check is through: its status row says where it is.
    TrayHostView::Layout layout;
    ASSERT_TRUE(runMainLoopUntil(
        [&] {
            layout = host.layout(item, "/MenuBar");
            return findItem(layout.root, "状态：本地服务") != nullptr;
        },
        20s))
        << "the status row never read 状态：本地服务";
    {
        const auto property = [&](const std::string& name) {
            return host.stringProperty(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem",
                                       name);
        };
        const HostMenu menu(layout.root, property("IconThemePath"), property("IconName"));
        EXPECT_EQ(menu.items(), 21);
        ASSERT_TRUE(runMainLoopUntil([&] { return menu.shown().has_value(); }, 5s));
        const auto [content, box] = *menu.shown();
        keep("tray-menu", settledCapture(box), box, content);
    }

    // The program's process, from the name its item took: "…-<pid>-<n>".
    const std::string numbers = item.substr(std::string("org.kde.StatusNotifierItem-").size());
    const pid_t pid = std::atoi(numbers.substr(0, numbers.find('-')).c_str());
    ASSERT_GT(pid, 0) << item;
    // The menu is built anew whenever its status row changes: the item is looked up in
    // the layout of the moment, and again when the menu changed in between.
    const auto click = [&](const std::string& label) {
        std::string error;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const MenuNode* node = findItem((layout = host.layout(item, "/MenuBar")).root, label);
            ASSERT_NE(node, nullptr) << label;
            const TrayHostView::Reply reply =
                host.call(item, "/MenuBar", "com.canonical.dbusmenu", "Event",
                          g_variant_new("(isvu)", node->id, "clicked", g_variant_new_int32(0), 0U));
            if (reply.value) {
                return;
            }
            error = reply.error;
        }
        FAIL() << label << ": " << error;
    };
    const auto closed = [&](const std::string& label, const std::string& title) {
        click(label);
        return runMainLoopUntil([&] { return !shownWindow(desktop, pid, title); }, 10s);
    };
    // Opens a window through its menu item, waits until it is shown at its size (a height
    // within `heights`) and drawn, and takes its picture.
    const auto picture = [&](const std::string& name, const std::string& label,
                             const std::string& title, int width, std::pair<int, int> heights,
                             const std::function<bool()>& drawn) {
        click(label);
        std::optional<ShownWindow> shown;
        ASSERT_TRUE(runMainLoopUntil(
            [&] {
                shown = shownWindow(desktop, pid, title);
                return shown && shown->client.width == width &&
                       shown->client.height >= heights.first &&
                       shown->client.height <= heights.second && drawn();
            },
            90s))
            << name << ": not shown at its size, it is "
            << (shown ? std::to_string(shown->client.width) + " × " +
                            std::to_string(shown->client.height)
                      : "not shown");
        keep(name, settledCapture(shown->frame), shown->frame, shown->client);
    };

    const std::size_t panels = reports("panel").size();
    picture("panel", "打开完整助手", "页伴", 420, {560, 560},
            [&] { return reports("panel").size() > panels; });
    EXPECT_TRUE(closed("打开完整助手", "页伴"));
    const std::size_t quickBars = reports("quick").size();
    picture("quick-bar", "快速输入（就地改写）", "页伴", 560, {150, 150},
            [&] { return reports("quick").size() > quickBars; });
    EXPECT_TRUE(closed("快速输入（就地改写）", "页伴"));
    const std::size_t chats = reports("panel", 700).size();
    picture("chat", "打开大窗口（对话建页面）", "页伴", 960, {740, 740},
            [&] { return reports("panel", 700).size() > chats; });
    EXPECT_TRUE(closed("打开大窗口（对话建页面）", "页伴"));
    // A meeting as a user holds one: its page's start button, two speakers, the
    // transcript on the page, then its stop button.
    const std::vector<testing::LibrivoxSentence> sentences = testing::librivoxSentences();
    ASSERT_GE(sentences.size(), 2U) << "pocketsphinx-testdata is missing";
    ASSERT_TRUE(sound.running()) << sound.log();
    testing::PulseDaemon::run("pactl set-default-source mic");
    std::optional<ShownWindow> meeting;
    const auto press = [&](const std::string& button) {
        testing::clickAt(desktop.display(),
                         meeting->client.x + std::atoi(reported("meeting", button + "X").c_str()),
                         meeting->client.y + std::atoi(reported("meeting", button + "Y").c_str()));
    };
    const std::size_t meetings = reports("meeting").size();
    picture("meeting", "会议记录（本地转写）", "会议记录", 600, {640, 640}, [&] {
        if (reports("meeting").size() == meetings) {
            return false;
        }
        if (!meeting) {
            meeting = shownWindow(desktop, pid, "会议记录");
            press("start");
            EXPECT_TRUE(
                runMainLoopUntil([&] { return reported("meeting", "state") == "正在记录"; }, 30s))
                << "the meeting did not start: " << reported("meeting", "state") << "\n"
                << testing::readFile(home.path() / "log.txt");
            play(sentences[0], "room");
            play(sentences[1], "out");
        }
        return std::atoi(reported("meeting", "room").c_str()) > 0 &&
               std::atoi(reported("meeting", "online").c_str()) > 0;
    });
    press("stop");
    EXPECT_TRUE(runMainLoopUntil([&] { return reported("meeting", "state") == "未开始"; }, 60s))
        << "the meeting did not end: " << reported("meeting", "state");
    ASSERT_TRUE(closed("会议记录（本地转写）", "会议记录"));
    // The settings window is 470 wide and at least 330 high: as high as its rows need.
    picture("settings", "设置…", "页伴 · 设置", 470, {330, 500}, [] { return true; });

    EXPECT_TRUE(program.terminate());
}

}  // namespace
}  // namespace pagemate
