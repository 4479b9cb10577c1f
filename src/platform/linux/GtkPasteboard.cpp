#include "platform/linux/GtkPasteboard.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <array>
#include <utility>

#include "platform/linux/GObjectPtr.h"

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

void released(GtkClipboard*, gpointer) {}

struct SelectionDataFree {
    void operator()(GtkSelectionData* data) const { gtk_selection_data_free(data); }
};

}  // namespace

struct GtkPasteboard::Impl {
    GtkClipboard* clipboard = nullptr;  // owned by GTK
    GObjectPtr<GObject> owner;
    gulong ownerChangeHandler = 0;
    long changeCount = 0;
    // What this program offers while it owns the selection.
    std::vector<std::pair<std::string, std::string>> offered;

    // Every owner change of the selection; ours are already counted.
    static void onOwnerChange(GtkClipboard*, GdkEvent*, gpointer self) {
        auto& impl = *static_cast<Impl*>(self);
        if (gtk_clipboard_get_owner(impl.clipboard) != impl.owner.get()) {
            ++impl.changeCount;
        }
    }
    static void provide(GtkClipboard*, GtkSelectionData* selection, guint index, gpointer owner);
    bool offer(std::vector<std::pair<std::string, std::string>> targets);
};

void GtkPasteboard::Impl::provide(GtkClipboard*, GtkSelectionData* selection, guint index,
                                  gpointer owner) {
    auto* impl = static_cast<Impl*>(g_object_get_data(G_OBJECT(owner), "pasteboard"));
    if (impl == nullptr || index >= impl->offered.size()) {
        return;
    }
    const std::string& bytes = impl->offered[index].second;
    gtk_selection_data_set(selection, gtk_selection_data_get_target(selection), 8,
                           reinterpret_cast<const guchar*>(bytes.data()),
                           static_cast<gint>(bytes.size()));
}

GtkPasteboard::GtkPasteboard() : impl_(std::make_unique<Impl>()) {
    if (gdk_display_get_default() == nullptr) {
        return;  // no display: an empty pasteboard that takes nothing
    }
    impl_->clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    impl_->owner.reset(G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr)));
    g_object_set_data(impl_->owner.get(), "pasteboard", impl_.get());
    impl_->ownerChangeHandler = g_signal_connect(impl_->clipboard, "owner-change",
                                                 G_CALLBACK(&Impl::onOwnerChange), impl_.get());
}

GtkPasteboard::~GtkPasteboard() {
    if (impl_->clipboard != nullptr) {
        g_signal_handler_disconnect(impl_->clipboard, impl_->ownerChangeHandler);
        if (gtk_clipboard_get_owner(impl_->clipboard) == impl_->owner.get()) {
            gtk_clipboard_clear(impl_->clipboard);
        }
    }
}

long GtkPasteboard::changeCount() {
    return impl_->changeCount;
}

std::size_t GtkPasteboard::itemCount() {
    return types(0).empty() ? 0 : 1;
}

std::vector<std::string> GtkPasteboard::types(std::size_t item) {
    std::vector<std::string> names;
    GdkAtom* atoms = nullptr;
    gint count = 0;
    if (impl_->clipboard == nullptr || item != 0 ||
        gtk_clipboard_wait_for_targets(impl_->clipboard, &atoms, &count) == FALSE) {
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
    if (impl_->clipboard == nullptr || item != 0) {
        return std::nullopt;
    }
    const std::string name(type);
    const std::unique_ptr<GtkSelectionData, SelectionDataFree> selection(
        gtk_clipboard_wait_for_contents(impl_->clipboard, gdk_atom_intern(name.c_str(), FALSE)));
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
    if (impl_->clipboard == nullptr) {
        return std::nullopt;
    }
    const GCharPtr text(gtk_clipboard_wait_for_text(impl_->clipboard));
    if (!text) {
        return std::nullopt;
    }
    return std::string(text.get());
}

void GtkPasteboard::clearContents() {
    if (impl_->clipboard == nullptr) {
        return;
    }
    if (gtk_clipboard_get_owner(impl_->clipboard) == impl_->owner.get()) {
        gtk_clipboard_clear(impl_->clipboard);
    } else {
        // Another program's selection: giving it no owner empties it.
        gdk_selection_owner_set_for_display(gdk_display_get_default(), nullptr,
                                            GDK_SELECTION_CLIPBOARD, GDK_CURRENT_TIME, TRUE);
    }
    impl_->offered.clear();
    ++impl_->changeCount;
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
    return impl_->offer(std::move(targets));
}

bool GtkPasteboard::setString(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> targets;
    targets.reserve(kTextTargets.size());
    for (const char* target : kTextTargets) {
        targets.emplace_back(target, std::string(text));
    }
    return impl_->offer(std::move(targets));
}

bool GtkPasteboard::Impl::offer(std::vector<std::pair<std::string, std::string>> targets) {
    if (clipboard == nullptr) {
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
        gtk_clipboard_set_with_owner(clipboard, entries.data(), static_cast<guint>(entries.size()),
                                     &provide, &released, owner.get());
    offered = std::move(targets);
    ++changeCount;
    return taken == TRUE;
}

}  // namespace pagemate::linux_backend
