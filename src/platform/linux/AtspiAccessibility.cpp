#include "platform/linux/AtspiAccessibility.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <atspi/atspi.h>
#include <gio/gio.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PlatformNotice.h"
#include "platform/linux/GDBusConnections.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/X11Display.h"

namespace pagemate::linux_backend {

namespace {

using Node = GObjectPtr<AtspiAccessible>;

// How often a missing bus is looked for again, and how long the session bus may take
// to hand out the accessibility bus's address (it may have to start it first).
constexpr std::chrono::seconds kLookAgain{5};
constexpr gint kAddressTimeoutMs = 3000;

TrustStatus accessibilityBusAt(const std::string& address, std::string_view source) {
    std::string why;
    const GObjectPtr<GDBusConnection> bus = connectToBus(address, why);
    if (!bus) {
        return {UntrustedReason::noAccessibilityBus,
                std::string(source) + " \"" + address + "\": " + why};
    }
    g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
    return {};
}

struct XFreeDeleter {
    void operator()(unsigned char* data) const { XFree(data); }
};

// The address the accessibility bus's launcher leaves on the X root window, as libatspi
// reads it (only outside Wayland sessions, on $AT_SPI_DISPLAY or $DISPLAY).
std::optional<std::string> rootWindowAddress() {
    if (g_getenv("DISPLAY") == nullptr || g_getenv("WAYLAND_DISPLAY") != nullptr) {
        return std::nullopt;
    }
    const X11Connection display(XOpenDisplay(g_getenv("AT_SPI_DISPLAY")));
    if (!display) {
        return std::nullopt;
    }
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* raw = nullptr;
    const Atom property = XInternAtom(display.get(), "AT_SPI_BUS", False);
    const int read =
        XGetWindowProperty(display.get(), DefaultRootWindow(display.get()), property, 0, BUFSIZ,
                           False, XA_STRING, &type, &format, &count, &remaining, &raw);
    const std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
    if (read != Success || !data || format != 8) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(data.get()), count);
}

// Where libatspi will find the accessibility bus, in its order, and whether it answers.
TrustStatus lookForBus() {
    if (const char* address = g_getenv("AT_SPI_BUS_ADDRESS"); address != nullptr && *address) {
        return accessibilityBusAt(address, "AT_SPI_BUS_ADDRESS");
    }
    if (const std::optional<std::string> address = rootWindowAddress()) {
        return accessibilityBusAt(*address, "AT_SPI_BUS on the X root window");
    }
    const char* session = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (session == nullptr || *session == '\0') {
        return {UntrustedReason::noSessionBus, "DBUS_SESSION_BUS_ADDRESS is not set"};
    }
    std::string why;
    const GObjectPtr<GDBusConnection> bus = connectToBus(session, why);
    if (!bus) {
        return {UntrustedReason::noSessionBus, std::string(session) + ": " + why};
    }
    GError* error = nullptr;
    const GVariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, kAddressTimeoutMs, nullptr, &error));
    g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
    if (!reply) {
        return {UntrustedReason::noAccessibilityBus, "org.a11y.Bus: " + takeErrorText(error)};
    }
    const gchar* address = nullptr;
    g_variant_get(reply.get(), "(&s)", &address);
    if (address == nullptr || *address == '\0') {
        return {UntrustedReason::noAccessibilityBus, "org.a11y.Bus gave no address"};
    }
    return accessibilityBusAt(address, "org.a11y.Bus");
}

// Bounds on the walk for the focused element: deep editors stay within them, a
// runaway tree does not hang the main thread.
constexpr int kMaxDepth = 40;
constexpr int kMaxNodes = 6000;

Node childAt(AtspiAccessible* parent, gint index) {
    GError* error = nullptr;
    Node child(atspi_accessible_get_child_at_index(parent, index, &error));
    g_clear_error(&error);
    return child;
}

gint childCount(AtspiAccessible* node) {
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(node, &error);
    g_clear_error(&error);
    return count < 0 ? 0 : count;
}

bool hasState(AtspiAccessible* node, AtspiStateType state) {
    const GObjectPtr<AtspiStateSet> states(atspi_accessible_get_state_set(node));
    return states && atspi_state_set_contains(states.get(), state) == TRUE;
}

Node applicationFor(int pid) {
    const Node desktop(atspi_get_desktop(0));
    if (!desktop) {
        return {};
    }
    const gint count = childCount(desktop.get());
    for (gint index = 0; index < count; ++index) {
        Node application = childAt(desktop.get(), index);
        GError* error = nullptr;
        const guint owner =
            application ? atspi_accessible_get_process_id(application.get(), &error) : 0;
        g_clear_error(&error);
        if (application && static_cast<int>(owner) == pid) {
            return application;
        }
    }
    return {};
}

// The application's active window, or its only one.
Node activeWindow(AtspiAccessible* application) {
    const gint count = childCount(application);
    for (gint index = 0; index < count; ++index) {
        Node window = childAt(application, index);
        if (window && hasState(window.get(), ATSPI_STATE_ACTIVE)) {
            return window;
        }
    }
    return count == 1 ? childAt(application, 0) : Node{};
}

Node findFocused(AtspiAccessible* node, int depth, int& visited) {
    if (++visited > kMaxNodes || depth > kMaxDepth) {
        return {};
    }
    const gint count = childCount(node);
    for (gint index = 0; index < count; ++index) {
        Node child = childAt(node, index);
        if (!child) {
            continue;
        }
        if (hasState(child.get(), ATSPI_STATE_FOCUSED)) {
            return child;
        }
        // Hidden branches hold no focus.
        if (!hasState(child.get(), ATSPI_STATE_SHOWING)) {
            continue;
        }
        if (Node found = findFocused(child.get(), depth + 1, visited)) {
            return found;
        }
    }
    return {};
}

Node focusedElement(int pid) {
    const Node application = applicationFor(pid);
    if (!application) {
        return {};
    }
    const Node window = activeWindow(application.get());
    if (!window) {
        return {};
    }
    int visited = 0;
    return findFocused(window.get(), 0, visited);
}

bool isEditable(AtspiAccessible* element) {
    const GObjectPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(element));
    return editable && hasState(element, ATSPI_STATE_EDITABLE);
}

}  // namespace

AtspiAccessibility::AtspiAccessibility(bool keystrokesPossible, const MainQueue& clock)
    : keystrokesPossible_(keystrokesPossible), clock_(clock) {}

TrustStatus AtspiAccessibility::trustStatus() {
    if (!keystrokesPossible_) {
        return {UntrustedReason::noKeystrokes,
                "no X display, or the X server lacks the XTEST extension"};
    }
    if (initialised_) {
        return {};
    }
    const MainQueue::Clock::time_point now = clock_.now();
    if (lookedAt_ && now - *lookedAt_ < kLookAgain) {
        return status_;
    }
    lookedAt_ = now;
    status_ = lookForBus();
    if (status_.trusted()) {
        // 0: set up now; 1: set up before, which only happens here, on a bus that answered.
        const int started = atspi_init();
        initialised_ = started == 0 || started == 1;
        if (!initialised_) {
            // The bus went between the look and the set-up. Undoing the failed set-up
            // lets the next look try again (libatspi would not).
            (void)atspi_exit();
            status_ = {UntrustedReason::noAccessibilityBus, "libatspi could not connect to it"};
        }
    }
    return status_;
}

bool AtspiAccessibility::ready() {
    return trustStatus().trusted();
}

void AtspiAccessibility::requestPermission() {
    // No prompt exists here. What makes Electron applications such as Notion expose
    // their interface is the desktop's assistive-technologies switch: GNOME's setting,
    // shared by the desktops built on GSettings. Elsewhere the user is told where it is.
    constexpr const char* kSchema = "org.gnome.desktop.interface";
    constexpr const char* kKey = "toolkit-accessibility";
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    const std::unique_ptr<GSettingsSchema, decltype(&g_settings_schema_unref)> schema(
        source != nullptr ? g_settings_schema_source_lookup(source, kSchema, TRUE) : nullptr,
        &g_settings_schema_unref);
    if (!schema || g_settings_schema_has_key(schema.get(), kKey) == FALSE) {
        reportPlatformNotice(AccessibilityHasNoPrompt{});
        return;
    }
    const GObjectPtr<GSettings> settings(g_settings_new(kSchema));
    if (g_settings_get_boolean(settings.get(), kKey) == TRUE) {
        return;  // already on: the accessibility bus is what is missing
    }
    // dconf takes the change at once and writes it through its service on the session
    // bus later; without that bus the write fails and the old value comes back. Only a
    // value read back after the sync was stored.
    const bool accepted = g_settings_set_boolean(settings.get(), kKey, TRUE) == TRUE;
    g_settings_sync();
    if (accepted && g_settings_get_boolean(settings.get(), kKey) == TRUE) {
        reportPlatformNotice(AccessibilitySwitchedOn{});
        return;
    }
    GSettingsBackend* backend = nullptr;
    g_object_get(settings.get(), "backend", &backend, nullptr);
    const GObjectPtr<GSettingsBackend> owned(backend);
    const std::string store = backend != nullptr ? G_OBJECT_TYPE_NAME(backend) : "GSettings";
    reportPlatformNotice(AccessibilitySwitchNotStored{
        accepted ? store + " did not keep the value (no session bus to write through?)"
                 : store + " refused the change (the key is not writable)"});
}

void AtspiAccessibility::openSettings() {
    // Desktops keep the switch in different places.
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    const std::string current = desktop != nullptr ? desktop : "";
    const char* command = nullptr;
    if (current.find("GNOME") != std::string::npos || current.find("Unity") != std::string::npos) {
        command = "gnome-control-center universal-access";
    } else if (current.find("KDE") != std::string::npos) {
        command = "systemsettings kcm_access";
    }
    if (command == nullptr) {
        reportPlatformNotice(AccessibilitySettingsNotOpened{current});
        return;
    }
    GError* error = nullptr;
    if (g_spawn_command_line_async(command, &error) == FALSE) {
        reportPlatformNotice(
            AccessibilitySettingsNotOpened{error != nullptr ? error->message : ""});
        g_clear_error(&error);
    }
}

std::optional<std::string> AtspiAccessibility::focusedWindowTitle(int pid) {
    if (!ready()) {
        return std::nullopt;
    }
    const Node application = applicationFor(pid);
    const Node window = application ? activeWindow(application.get()) : Node{};
    if (!window) {
        return std::nullopt;
    }
    GError* error = nullptr;
    const GCharPtr name(atspi_accessible_get_name(window.get(), &error));
    g_clear_error(&error);
    if (!name) {
        return std::nullopt;
    }
    return std::string(name.get());
}

bool AtspiAccessibility::hasFocusedElement(int pid) {
    return ready() && static_cast<bool>(focusedElement(pid));
}

std::optional<std::string> AtspiAccessibility::focusedElementRole(int pid) {
    const Node element = ready() ? focusedElement(pid) : Node{};
    if (!element) {
        return std::nullopt;
    }
    GError* error = nullptr;
    const GCharPtr role(atspi_accessible_get_role_name(element.get(), &error));
    g_clear_error(&error);
    return role ? std::optional<std::string>(role.get()) : std::nullopt;
}

std::optional<bool> AtspiAccessibility::selectedTextSettable(int pid) {
    const Node element = ready() ? focusedElement(pid) : Node{};
    if (!element) {
        return std::nullopt;
    }
    return isEditable(element.get());
}

int AtspiAccessibility::setSelectedText(int pid, std::string_view text) {
    const Node element = ready() ? focusedElement(pid) : Node{};
    if (!element || !isEditable(element.get())) {
        return failure;
    }
    const GObjectPtr<AtspiText> textInterface(atspi_accessible_get_text_iface(element.get()));
    const GObjectPtr<AtspiEditableText> editable(
        atspi_accessible_get_editable_text_iface(element.get()));
    if (!textInterface || !editable) {
        return failure;
    }
    GError* error = nullptr;
    gint position = atspi_text_get_caret_offset(textInterface.get(), &error);
    g_clear_error(&error);
    // The selection is replaced; without one the text goes in at the caret.
    if (atspi_text_get_n_selections(textInterface.get(), &error) > 0) {
        AtspiRange* range = atspi_text_get_selection(textInterface.get(), 0, &error);
        if (range != nullptr) {
            position = range->start_offset;
            atspi_editable_text_delete_text(editable.get(), range->start_offset, range->end_offset,
                                            &error);
            g_free(range);
        }
    }
    g_clear_error(&error);
    const std::string copy(text);
    const gboolean inserted =
        atspi_editable_text_insert_text(editable.get(), position < 0 ? 0 : position, copy.c_str(),
                                        static_cast<gint>(copy.size()), &error);
    const bool failed = error != nullptr || inserted == FALSE;
    g_clear_error(&error);
    return failed ? failure : success;
}

}  // namespace pagemate::linux_backend
