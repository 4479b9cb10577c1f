#include "platform/linux/GtkPasteboard.h"

#include <algorithm>
#include <array>

namespace pagemate::linux_backend {

namespace {

// Targets of the selection protocol itself, not of the content.
bool isProtocolTarget(std::string_view name) {
    constexpr std::array<std::string_view, 8> kProtocol = {
        "TARGETS", "TIMESTAMP",       "MULTIPLE",         "SAVE_TARGETS",
        "DELETE",  "INSERT_PROPERTY", "INSERT_SELECTION", "CLIPBOARD_MANAGER"};
    return std::find(kProtocol.begin(), kProtocol.end(), name) != kProtocol.end();
}

// What a plain-text write offers, so that every kind of reader finds it.
constexpr std::array<const char*, 5> kTextTargets = {"UTF8_STRING", "text/plain;charset=utf-8",
                                                     "text/plain", "STRING", "TEXT"};

void onOwnerChange(GtkClipboard*, GdkEvent*, gpointer self) {
    static_cast<GtkPasteboard*>(self)->noteOwnerChange();
}

void provide(GtkClipboard*, GtkSelectionData* selection, guint index, gpointer owner) {
    auto* pasteboard =
        static_cast<GtkPasteboard*>(g_object_get_data(G_OBJECT(owner), "pasteboard"));
    if (pasteboard == nullptr || index >= pasteboard->offered.size()) {
        return;
    }
    const std::string& bytes = pasteboard->offered[index].second;
    gtk_selection_data_set(selection, gtk_selection_data_get_target(selection), 8,
                           reinterpret_cast<const guchar*>(bytes.data()),
                           static_cast<gint>(bytes.size()));
}

void released(GtkClipboard*, gpointer) {}

struct SelectionDataFree {
    void operator()(GtkSelectionData* data) const { gtk_selection_data_free(data); }
};

}  // namespace

GtkPasteboard::GtkPasteboard() {
    if (gdk_display_get_default() == nullptr) {
        return;  // no display: an empty pasteboard that takes nothing
    }
    clipboard_ = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    owner_.reset(G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr)));
    g_object_set_data(owner_.get(), "pasteboard", this);
    ownerChangeHandler_ =
        g_signal_connect(clipboard_, "owner-change", G_CALLBACK(&onOwnerChange), this);
}

GtkPasteboard::~GtkPasteboard() {
    if (clipboard_ != nullptr) {
        g_signal_handler_disconnect(clipboard_, ownerChangeHandler_);
        if (gtk_clipboard_get_owner(clipboard_) == owner_.get()) {
            gtk_clipboard_clear(clipboard_);
        }
    }
}

void GtkPasteboard::noteOwnerChange() {
    if (gtk_clipboard_get_owner(clipboard_) != owner_.get()) {
        ++changeCount_;
    }
}

std::size_t GtkPasteboard::itemCount() {
    return types(0).empty() ? 0 : 1;
}

std::vector<std::string> GtkPasteboard::types(std::size_t item) {
    std::vector<std::string> names;
    GdkAtom* atoms = nullptr;
    gint count = 0;
    if (clipboard_ == nullptr || item != 0 ||
        gtk_clipboard_wait_for_targets(clipboard_, &atoms, &count) == FALSE) {
        return names;
    }
    for (gint index = 0; index < count; ++index) {
        const GCharPtr name(gdk_atom_name(atoms[index]));
        if (name && !isProtocolTarget(name.get()) &&
            std::find(names.begin(), names.end(), name.get()) == names.end()) {
            names.emplace_back(name.get());
        }
    }
    g_free(atoms);
    return names;
}

std::optional<std::string> GtkPasteboard::data(std::size_t item, std::string_view type) {
    if (clipboard_ == nullptr || item != 0) {
        return std::nullopt;
    }
    const std::string name(type);
    const std::unique_ptr<GtkSelectionData, SelectionDataFree> selection(
        gtk_clipboard_wait_for_contents(clipboard_, gdk_atom_intern(name.c_str(), FALSE)));
    if (!selection) {
        return std::nullopt;
    }
    gint length = 0;
    const guchar* bytes = gtk_selection_data_get_data_with_length(selection.get(), &length);
    if (length < 0 || (length > 0 && bytes == nullptr)) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
}

std::optional<std::string> GtkPasteboard::string() {
    if (clipboard_ == nullptr) {
        return std::nullopt;
    }
    const GCharPtr text(gtk_clipboard_wait_for_text(clipboard_));
    if (!text) {
        return std::nullopt;
    }
    return std::string(text.get());
}

void GtkPasteboard::clearContents() {
    if (clipboard_ == nullptr) {
        return;
    }
    if (gtk_clipboard_get_owner(clipboard_) == owner_.get()) {
        gtk_clipboard_clear(clipboard_);
    } else {
        // Another program's selection: giving it no owner empties it.
        gdk_selection_owner_set_for_display(gdk_display_get_default(), nullptr,
                                            GDK_SELECTION_CLIPBOARD, GDK_CURRENT_TIME, TRUE);
    }
    offered.clear();
    ++changeCount_;
}

bool GtkPasteboard::writeItems(const std::vector<PasteboardItem>& items) {
    std::vector<std::pair<std::string, std::string>> targets;
    for (const PasteboardItem& item : items) {
        for (const auto& [type, bytes] : item) {
            const std::string& name = type;
            const bool known =
                std::any_of(targets.begin(), targets.end(),
                            [&name](const auto& target) { return target.first == name; });
            if (!known && !isProtocolTarget(type)) {
                targets.emplace_back(type, bytes);
            }
        }
    }
    if (targets.empty()) {
        return true;  // items without data: the pasteboard stays empty
    }
    return offer(std::move(targets));
}

bool GtkPasteboard::setString(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> targets;
    targets.reserve(kTextTargets.size());
    for (const char* target : kTextTargets) {
        targets.emplace_back(target, std::string(text));
    }
    return offer(std::move(targets));
}

bool GtkPasteboard::offer(std::vector<std::pair<std::string, std::string>> targets) {
    if (clipboard_ == nullptr) {
        return false;
    }
    std::vector<GtkTargetEntry> entries;
    entries.reserve(targets.size());
    for (std::size_t index = 0; index < targets.size(); ++index) {
        entries.push_back(GtkTargetEntry{const_cast<gchar*>(targets[index].first.c_str()), 0,
                                         static_cast<guint>(index)});
    }
    // GTK copies the target names; the data is served from `offered` on request.
    const gboolean taken =
        gtk_clipboard_set_with_owner(clipboard_, entries.data(), static_cast<guint>(entries.size()),
                                     &provide, &released, owner_.get());
    offered = std::move(targets);
    ++changeCount_;
    return taken == TRUE;
}

}  // namespace pagemate::linux_backend
