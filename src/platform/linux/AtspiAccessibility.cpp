#include "platform/linux/AtspiAccessibility.h"

#include <atspi/atspi.h>

#include <memory>
#include <string>
#include <vector>

#include "app/AppLog.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

namespace {

using Node = GObjectPtr<AtspiAccessible>;

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

AtspiAccessibility::AtspiAccessibility(bool keystrokesPossible)
    : keystrokesPossible_(keystrokesPossible) {}

bool AtspiAccessibility::isTrusted() {
    if (!initialised_) {
        // 0: started now, 1: already running; anything else: no accessibility bus.
        const int started = atspi_init();
        initialised_ = started == 0 || started == 1;
    }
    if (!initialised_ || !keystrokesPossible_) {
        return false;
    }
    const Node desktop(atspi_get_desktop(0));
    return static_cast<bool>(desktop);
}

void AtspiAccessibility::requestPermission() {
    // There is no prompt to show on this desktop: say how to turn it on.
    AppLog::write(
        "辅助功能：请在桌面设置里打开辅助技术（GNOME：gsettings set "
        "org.gnome.desktop.interface toolkit-accessibility true），然后重新打开 Notion");
}

void AtspiAccessibility::openSettings() {
    // Desktops keep the switch in different places; GNOME's panel is the common one.
    GError* error = nullptr;
    if (g_spawn_command_line_async("gnome-control-center universal-access", &error) == FALSE) {
        g_clear_error(&error);
        AppLog::write("辅助功能：找不到桌面的辅助功能设置，请手动打开");
    }
}

std::optional<std::string> AtspiAccessibility::focusedWindowTitle(int pid) {
    if (!isTrusted()) {
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
    return isTrusted() && static_cast<bool>(focusedElement(pid));
}

std::optional<std::string> AtspiAccessibility::focusedElementRole(int pid) {
    const Node element = isTrusted() ? focusedElement(pid) : Node{};
    if (!element) {
        return std::nullopt;
    }
    GError* error = nullptr;
    const GCharPtr role(atspi_accessible_get_role_name(element.get(), &error));
    g_clear_error(&error);
    return role ? std::optional<std::string>(role.get()) : std::nullopt;
}

std::optional<bool> AtspiAccessibility::selectedTextSettable(int pid) {
    const Node element = isTrusted() ? focusedElement(pid) : Node{};
    if (!element) {
        return std::nullopt;
    }
    return isEditable(element.get());
}

int AtspiAccessibility::setSelectedText(int pid, std::string_view text) {
    const Node element = isTrusted() ? focusedElement(pid) : Node{};
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
