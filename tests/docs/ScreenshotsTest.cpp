// The README's pictures, taken from the real program: it runs as a child on a virtual
// display of the test's own (a fixed 1280 × 800 screen, see tests/CMakeLists.txt) with
// openbox, against the stand-in service serving pages that look like the assistant's
// (tests/fixtures/pages/showcase), and a tray watcher on a session bus of the test's
// own. The tray menu is drawn as a tray host draws it: a GtkMenu built from the layout
// the program exports over com.canonical.dbusmenu, under the icon it names. Every
// other window is opened by clicking its item of that menu, as a user does.
//
// The meeting's picture is of a real meeting: started with its page's button, two
// recorded LibriVox sentences played into the test's own sound server (one where the
// microphone listens, one as the computer's sound), and what the program's recogniser
// (pocketsphinx) made of them on the page.
//
// With PAGEMATE_UPDATE_SCREENSHOTS=1 the pictures are written into docs/screenshots;
// otherwise each is only checked: taken, not blank, of the window's expected size, and
// the committed one of the same size and under 300 kB.

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
using testing::TrayHostView;

namespace fs = std::filesystem;

constexpr const char* kMenuInterface = "com.canonical.dbusmenu";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
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

// Searches `window` and below for a viewable window of `pid` titled `title`.
bool findClient(Display* display, Window window, pid_t pid, const std::string& title, Box* client,
                int depth) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, window, &attributes) == 0 ||
        attributes.map_state != IsViewable) {
        return false;
    }
    const auto pids = testing::windowProperty(display, window, "_NET_WM_PID", XA_CARDINAL);
    if (!pids.empty() && static_cast<pid_t>(pids[0]) == pid &&
        testing::windowTitle(display, window) == title) {
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
        *client = Box{x, y, attributes.width, attributes.height};
        return true;
    }
    if (depth == 0) {
        return false;
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    bool found = false;
    if (XQueryTree(display, window, &root, &parent, &children, &count) != 0) {
        for (unsigned int index = 0; index < count && !found; ++index) {
            found = findClient(display, children[index], pid, title, client, depth - 1);
        }
        if (children != nullptr) {
            XFree(children);
        }
    }
    return found;
}

// The program's viewable window titled `title`, with its frame, if there is one.
std::optional<ShownWindow> shownWindow(Display* display, pid_t pid, const std::string& title) {
    XSync(display, False);
    const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::optional<ShownWindow> shown;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) != 0) {
        for (unsigned int index = 0; index < count && !shown; ++index) {
            Box client;
            if (findClient(display, children[index], pid, title, &client, 3)) {
                XWindowAttributes frame{};
                XGetWindowAttributes(display, children[index], &frame);
                shown = ShownWindow{Box{frame.x, frame.y, frame.width + (2 * frame.border_width),
                                        frame.height + (2 * frame.border_width)},
                                    client};
            }
        }
        if (children != nullptr) {
            XFree(children);
        }
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    return shown;
}

// What the screen shows in `box`, as the X server has it.
GObjectPtr<GdkPixbuf> capture(const Box& box) {
    gdk_display_sync(gdk_display_get_default());
    return GObjectPtr<GdkPixbuf>(gdk_pixbuf_get_from_window(gdk_get_default_root_window(), box.x,
                                                            box.y, box.width, box.height));
}

bool samePixels(GdkPixbuf* one, GdkPixbuf* other) {
    if (one == nullptr || other == nullptr ||
        gdk_pixbuf_get_width(one) != gdk_pixbuf_get_width(other) ||
        gdk_pixbuf_get_height(one) != gdk_pixbuf_get_height(other)) {
        return false;
    }
    gsize size = 0;
    gsize otherSize = 0;
    const guint8* bytes = gdk_pixbuf_read_pixels(one);
    const guint8* otherBytes = gdk_pixbuf_read_pixels(other);
    size = gdk_pixbuf_get_byte_length(one);
    otherSize = gdk_pixbuf_get_byte_length(other);
    return size == otherSize && std::equal(bytes, bytes + size, otherBytes);
}

// The picture once two captures a moment apart agree: the window has finished drawing.
GObjectPtr<GdkPixbuf> settledCapture(const Box& box) {
    GObjectPtr<GdkPixbuf> last = capture(box);
    for (int attempt = 0; attempt < 40; ++attempt) {
        runMainLoopUntil([] { return false; }, 150ms);
        GObjectPtr<GdkPixbuf> next = capture(box);
        if (samePixels(last.get(), next.get())) {
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

class Pictures {
  public:
    explicit Pictures(fs::path scratch) : scratch_(std::move(scratch)) {
        const char* update = std::getenv("PAGEMATE_UPDATE_SCREENSHOTS");
        updating_ = update != nullptr && std::string(update) == "1";
    }

    // Checks the picture of `name`, taken of `box`, and keeps it (in docs/screenshots when
    // updating). `content` is the part the program drew itself (without the window
    // manager's frame), which must not be blank.
    void keep(const std::string& name, GdkPixbuf* picture, const Box& box, const Box& content) {
        ASSERT_NE(picture, nullptr) << name << ": nothing captured";
        EXPECT_EQ(gdk_pixbuf_get_width(picture), box.width) << name;
        EXPECT_EQ(gdk_pixbuf_get_height(picture), box.height) << name;
        ASSERT_TRUE(content.x >= box.x && content.y >= box.y &&
                    content.x + content.width <= box.x + box.width &&
                    content.y + content.height <= box.y + box.height)
            << name;
        const GObjectPtr<GdkPixbuf> drawn(gdk_pixbuf_new_subpixbuf(
            picture, content.x - box.x, content.y - box.y, content.width, content.height));
        EXPECT_GT(colours(drawn.get()), 64U) << name << " looks blank";
        const fs::path committed = fs::path(SCREENSHOTS_DIR) / (name + ".png");
        const fs::path target = updating_ ? committed : scratch_ / (name + ".png");
        fs::create_directories(target.parent_path());
        GError* failure = nullptr;
        const bool saved = gdk_pixbuf_save(picture, target.c_str(), "png", &failure, "compression",
                                           "9", nullptr) != FALSE;
        const linux_backend::GErrorPtr error(failure);
        ASSERT_TRUE(saved) << (error ? error->message : "");
        std::error_code missing;
        const std::uintmax_t bytes = fs::file_size(committed, missing);
        ASSERT_FALSE(missing) << committed << " is missing: run the test with "
                              << "PAGEMATE_UPDATE_SCREENSHOTS=1";
        EXPECT_LT(bytes, kLargestPicture) << committed;
        int width = 0;
        int height = 0;
        ASSERT_NE(gdk_pixbuf_get_file_info(committed.c_str(), &width, &height), nullptr);
        EXPECT_EQ(width, gdk_pixbuf_get_width(picture)) << committed << " is out of date";
        EXPECT_EQ(height, gdk_pixbuf_get_height(picture)) << committed << " is out of date";
    }

  private:
    fs::path scratch_;
    bool updating_ = false;
};

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
            iconFound_ = true;
            const GObjectPtr<GdkPixbuf> icon(gtk_icon_info_load_symbolic(
                info.get(), &white, nullptr, nullptr, nullptr, nullptr, nullptr));
            gtk_fixed_put(GTK_FIXED(layout), gtk_image_new_from_pixbuf(icon.get()), kIconX,
                          (kStripHeight - kIconSize) / 2);
        }
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
                const std::vector<std::string>& keys = node.shortcut[0];
                for (std::size_t index = 0; index < keys.size(); ++index) {
                    accelerator += index + 1 < keys.size() ? "<" + keys[index] + ">" : keys[index];
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
    [[nodiscard]] bool iconFound() const { return iconFound_; }
    // The menu's window on the screen, once it is shown.
    [[nodiscard]] std::optional<Box> menuBox() const {
        GdkWindow* window = gtk_widget_get_window(gtk_widget_get_toplevel(menu_));
        if (window == nullptr || !gdk_window_is_viewable(window)) {
            return std::nullopt;
        }
        GdkRectangle frame{};
        gdk_window_get_frame_extents(window, &frame);
        return Box{frame.x, frame.y, frame.width, frame.height};
    }
    // The menu and the part of the strip above it, with the icon.
    [[nodiscard]] std::optional<Box> pictureBox() const {
        const std::optional<Box> menu = menuBox();
        if (!menu) {
            return std::nullopt;
        }
        const int right = std::max(menu->x + menu->width, kIconX + kIconSize + kMargin);
        return Box{menu->x, 0, right - menu->x, menu->y + menu->height};
    }

  private:
    static constexpr int kStripHeight = 28;
    static constexpr int kIconSize = 16;
    static constexpr int kIconX = kScreenWidth - 120;
    static constexpr int kMargin = 8;
    GtkWidget* strip_ = nullptr;
    GtkWidget* menu_ = nullptr;
    int items_ = 0;
    bool iconFound_ = false;
};

const MenuNode* findItem(const MenuNode& root, const std::string& label) {
    const auto found = std::ranges::find_if(
        root.children, [&](const MenuNode& node) { return node.label == label; });
    return found == root.children.end() ? nullptr : &*found;
}

class Screenshots : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    Screenshots() {
        service.answer("/panel", 200, testing::readFile(PAGES_DIR "/showcase/panel.html"),
                       "text/html");
        service.answer("/quick", 200, testing::readFile(PAGES_DIR "/showcase/quick.html"),
                       "text/html");
        service.answer("/meeting", 200, testing::readFile(PAGES_DIR "/showcase/meeting.html"),
                       "text/html");
        service.answer("/rendered", 204, "", "text/plain");
    }

    // What the page `page` told the service last about itself (its query).
    [[nodiscard]] std::map<std::string, std::string> lastReport(const std::string& page) const {
        std::map<std::string, std::string> last;
        for (const auto& request : service.received()) {
            if (request.path == "/rendered" && request.query.contains("page") &&
                request.query.at("page") == page) {
                last = request.query;
            }
        }
        return last;
    }
    [[nodiscard]] int reported(const std::string& page, const std::string& key) const {
        const auto last = lastReport(page);
        return last.contains(key) ? std::atoi(last.at(key).c_str()) : 0;
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

    // How often the page `page` has told the service it was drawn, at least `width` wide.
    std::size_t rendered(const std::string& page, int width = 0) const {
        std::size_t count = 0;
        for (const auto& request : service.received()) {
            if (request.path == "/rendered" && request.query.contains("page") &&
                request.query.at("page") == page &&
                std::atoi(request.query.count("width") != 0 ? request.query.at("width").c_str()
                                                            : "0") >= width) {
                ++count;
            }
        }
        return count;
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
    Pictures pictures(home.path() / "pictures");
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
        const HostMenu menu(
            layout.root,
            host.stringProperty(item, "/StatusNotifierItem", kItemInterface, "IconThemePath"),
            host.stringProperty(item, "/StatusNotifierItem", kItemInterface, "IconName"));
        EXPECT_TRUE(menu.iconFound());
        EXPECT_EQ(menu.items(), 21);
        ASSERT_TRUE(runMainLoopUntil([&] { return menu.pictureBox().has_value(); }, 5s));
        const Box box = *menu.pictureBox();
        pictures.keep("tray-menu", settledCapture(box).get(), box, *menu.menuBox());
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
                host.call(item, "/MenuBar", kMenuInterface, "Event",
                          g_variant_new("(isvu)", node->id, "clicked", g_variant_new_int32(0), 0U));
            if (reply.value) {
                return;
            }
            error = reply.error;
        }
        FAIL() << label << ": " << error;
    };
    // Opens a window through its menu item, waits until it is shown at its size (a height
    // within `heights`) and drawn, takes its picture and, when `closeAfter`, closes it
    // through the same item.
    const auto picture = [&](const std::string& name, const std::string& label,
                             const std::string& title, int width, std::pair<int, int> heights,
                             const std::function<bool()>& drawn, bool closeAfter) {
        click(label);
        std::optional<ShownWindow> shown;
        ASSERT_TRUE(runMainLoopUntil(
            [&] {
                shown = shownWindow(desktop.display(), pid, title);
                return shown && shown->client.width == width &&
                       shown->client.height >= heights.first &&
                       shown->client.height <= heights.second && drawn();
            },
            90s))
            << name << ": not shown at " << width << " × " << heights.first << "–" << heights.second
            << (shown ? " (it is " + std::to_string(shown->client.width) + " × " +
                            std::to_string(shown->client.height) + ")"
                      : " (not shown)");
        pictures.keep(name, settledCapture(shown->frame).get(), shown->frame, shown->client);
        if (closeAfter) {
            click(label);
            ASSERT_TRUE(
                runMainLoopUntil([&] { return !shownWindow(desktop.display(), pid, title); }, 10s))
                << name << " did not close";
        }
    };

    const std::size_t panels = rendered("panel");
    picture(
        "panel", "打开完整助手", "页伴", 420, {560, 560},
        [&] { return rendered("panel") > panels; }, true);
    const std::size_t quickBars = rendered("quick");
    picture(
        "quick-bar", "快速输入（就地改写）", "页伴", 560, {150, 150},
        [&] { return rendered("quick") > quickBars; }, true);
    const std::size_t chats = rendered("panel", 700);
    picture(
        "chat", "打开大窗口（对话建页面）", "页伴", 960, {740, 740},
        [&] { return rendered("panel", 700) > chats; }, true);
    // A meeting as a user holds one: its page's start button, two speakers, the
    // transcript on the page, then its stop button.
    const std::vector<testing::LibrivoxSentence> sentences = testing::librivoxSentences();
    ASSERT_GE(sentences.size(), 2U) << "pocketsphinx-testdata is missing";
    ASSERT_TRUE(sound.running()) << sound.log();
    testing::PulseDaemon::run("pactl set-default-source mic");
    std::optional<ShownWindow> meeting;
    const auto press = [&](const std::string& button) {
        testing::clickAt(desktop.display(), meeting->client.x + reported("meeting", button + "X"),
                         meeting->client.y + reported("meeting", button + "Y"));
    };
    const auto meetingState = [&] { return lastReport("meeting")["state"]; };
    const std::size_t meetings = rendered("meeting");
    picture(
        "meeting", "会议记录（本地转写）", "会议记录", 600, {640, 640},
        [&] {
            if (rendered("meeting") == meetings) {
                return false;
            }
            if (!meeting) {
                meeting = shownWindow(desktop.display(), pid, "会议记录");
                press("start");
                EXPECT_TRUE(runMainLoopUntil([&] { return meetingState() == "正在记录"; }, 30s))
                    << "the meeting did not start: " << meetingState() << "\n"
                    << testing::readFile(home.path() / "log.txt");
                play(sentences[0], "room");
                play(sentences[1], "out");
            }
            return reported("meeting", "room") > 0 && reported("meeting", "online") > 0;
        },
        false);
    press("stop");
    EXPECT_TRUE(runMainLoopUntil([&] { return meetingState() == "未开始"; }, 60s))
        << "the meeting did not end: " << meetingState();
    click("会议记录（本地转写）");
    ASSERT_TRUE(
        runMainLoopUntil([&] { return !shownWindow(desktop.display(), pid, "会议记录"); }, 10s));
    // The settings window is 470 wide and at least 330 high: as high as its rows need.
    picture(
        "settings", "设置…", "页伴 · 设置", 470, {330, 500}, [] { return true; }, false);

    EXPECT_TRUE(program.terminate());
}

}  // namespace
}  // namespace pagemate
