#include "platform/linux/GtkSettingsWindow.h"

#include <gtk/gtk.h>

#include <utility>

#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

namespace {

// Sizes in logical pixels, the unit of the window's own size.
constexpr int kSpacing = 12;
constexpr int kInset = 20;
constexpr int kRowSpacing = 4;
constexpr int kButtonSpacing = 8;
constexpr int kTitleSize = 12;
constexpr int kServerSize = 13;
constexpr int kStatusSize = 12;
constexpr int kStatusWidth = 410;
constexpr int kStatusLines = 6;

struct AttrListUnref {
    void operator()(PangoAttrList* list) const { pango_attr_list_unref(list); }
};

// A label in the given pixel size (and weight, and family when one is named).
void setFont(GtkWidget* label, int pixels, PangoWeight weight, const char* family = nullptr) {
    const std::unique_ptr<PangoAttrList, AttrListUnref> attributes(pango_attr_list_new());
    pango_attr_list_insert(attributes.get(), pango_attr_size_new_absolute(pixels * PANGO_SCALE));
    pango_attr_list_insert(attributes.get(), pango_attr_weight_new(weight));
    if (family != nullptr) {
        pango_attr_list_insert(attributes.get(), pango_attr_family_new(family));
    }
    gtk_label_set_attributes(GTK_LABEL(label), attributes.get());
}

// The dimmed colour of secondary text in the theme.
void dim(GtkWidget* widget) {
    gtk_style_context_add_class(gtk_widget_get_style_context(widget), GTK_STYLE_CLASS_DIM_LABEL);
}

GtkWidget* titleLabel(const std::string& text) {
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    setFont(label, kTitleSize, PANGO_WEIGHT_MEDIUM);
    dim(label);
    return label;
}

GtkWidget* popUp(const char* name, const std::vector<std::string>& items) {
    GtkWidget* combo = gtk_combo_box_text_new();
    gtk_widget_set_name(combo, name);
    for (const std::string& item : items) {
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), item.c_str());
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
    return combo;
}

GtkWidget* checkBox(const char* name, const std::string& title) {
    GtkWidget* check = gtk_check_button_new_with_label(title.c_str());
    gtk_widget_set_name(check, name);
    // A long title wraps inside the window's width instead of widening it.
    GtkWidget* label = gtk_bin_get_child(GTK_BIN(check));
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    return check;
}

// The text as far as it fits in `lines` lines of the label at `width`, with an ellipsis
// when some is left out. (GtkLabel's own line limit counts the lines of each paragraph
// apart, and the status text has several.)
std::string limitLines(GtkWidget* label, const std::string& text, int width, int lines) {
    const GObjectPtr<PangoLayout> layout(gtk_widget_create_pango_layout(label, nullptr));
    pango_layout_set_attributes(layout.get(), gtk_label_get_attributes(GTK_LABEL(label)));
    pango_layout_set_width(layout.get(), width * PANGO_SCALE);
    pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD);
    const auto lineCount = [&](const std::string& candidate) {
        pango_layout_set_text(layout.get(), candidate.c_str(), -1);
        return pango_layout_get_line_count(layout.get());
    };
    if (lineCount(text) <= lines) {
        return text;
    }
    const PangoLayoutLine* last = pango_layout_get_line_readonly(layout.get(), lines - 1);
    std::string kept = text.substr(
        0, static_cast<std::size_t>(last->start_index) + static_cast<std::size_t>(last->length));
    // Shorter by a character at a time until the ellipsis fits on the last line too.
    for (;;) {
        while (!kept.empty() && (kept.back() == '\n' || kept.back() == ' ')) {
            kept.pop_back();
        }
        if (kept.empty() || lineCount(kept + "…") <= lines) {
            return kept + "…";
        }
        while ((static_cast<unsigned char>(kept.back()) & 0xC0U) == 0x80U) {
            kept.pop_back();  // continuation bytes of UTF-8
        }
        kept.pop_back();  // the character's first byte
    }
}

}  // namespace

struct GtkSettingsWindow::Widgets {
    GObjectPtr<GtkWindow> window;
    GtkWidget* server = nullptr;
    GtkWidget* model = nullptr;
    GtkWidget* mode = nullptr;
    GtkWidget* followsCursor = nullptr;
    GtkWidget* archive = nullptr;
    GtkWidget* status = nullptr;
    GtkWidget* test = nullptr;
    GtkWidget* save = nullptr;
    std::string statusText;
    int modelCount = 0;
    int modeCount = 0;
    std::function<void()> testAction;
    std::function<void()> saveAction;

    [[nodiscard]] GtkComboBox* comboFor(PopUp popUp) const {
        return GTK_COMBO_BOX(popUp == PopUp::model ? model : mode);
    }
    [[nodiscard]] GtkToggleButton* toggleFor(CheckBox checkBox) const {
        return GTK_TOGGLE_BUTTON(checkBox == CheckBox::followsCursor ? followsCursor : archive);
    }

    static void testClicked(GtkButton*, gpointer data) {
        const auto* widgets = static_cast<Widgets*>(data);
        if (widgets->testAction) {
            // A copy: the action may replace the actions while it runs.
            const std::function<void()> action = widgets->testAction;
            action();
        }
    }
    static void saveClicked(GtkButton*, gpointer data) {
        const auto* widgets = static_cast<Widgets*>(data);
        if (widgets->saveAction) {
            const std::function<void()> action = widgets->saveAction;
            action();
        }
    }
    // Return is the save button's key everywhere in the window, as a default button's
    // key equivalent: also while a button or check box has the focus.
    static gboolean keyPressed(GtkWidget*, GdkEventKey* event, gpointer data) {
        const auto* widgets = static_cast<Widgets*>(data);
        const bool enter = event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_KP_Enter ||
                           event->keyval == GDK_KEY_ISO_Enter;
        if (!enter || (event->state & gtk_accelerator_get_default_mod_mask()) != 0) {
            return FALSE;
        }
        gtk_button_clicked(GTK_BUTTON(widgets->save));
        return TRUE;
    }
};

GtkSettingsWindow::GtkSettingsWindow(const SettingsWindowOptions& options)
    : widgets_(std::make_unique<Widgets>()) {
    Widgets& w = *widgets_;
    w.window.reset(GTK_WINDOW(g_object_ref_sink(gtk_window_new(GTK_WINDOW_TOPLEVEL))));
    GtkWindow* window = w.window.get();
    gtk_window_set_title(window, options.title.c_str());
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    // A window that cannot be resized takes the size its content asks for; this is the
    // least it asks for.
    gtk_widget_set_size_request(GTK_WIDGET(window), static_cast<int>(options.width),
                                static_cast<int>(options.height));

    GtkWidget* stack = gtk_box_new(GTK_ORIENTATION_VERTICAL, kSpacing);
    gtk_widget_set_valign(stack, GTK_ALIGN_START);
    gtk_widget_set_margin_start(stack, kInset);
    gtk_widget_set_margin_end(stack, kInset);
    gtk_widget_set_margin_top(stack, kInset);
    gtk_widget_set_margin_bottom(stack, kInset);
    gtk_container_add(GTK_CONTAINER(window), stack);

    const auto addRow = [stack](const std::string& title, GtkWidget* control) {
        GtkWidget* row = gtk_box_new(GTK_ORIENTATION_VERTICAL, kRowSpacing);
        gtk_container_add(GTK_CONTAINER(row), titleLabel(title));
        gtk_container_add(GTK_CONTAINER(row), control);
        gtk_container_add(GTK_CONTAINER(stack), row);
    };

    w.server = gtk_label_new("");
    gtk_widget_set_name(w.server, "server");
    gtk_label_set_xalign(GTK_LABEL(w.server), 0);
    gtk_label_set_ellipsize(GTK_LABEL(w.server), PANGO_ELLIPSIZE_MIDDLE);
    setFont(w.server, kServerSize, PANGO_WEIGHT_NORMAL, "monospace");
    addRow(options.serverTitle, w.server);

    w.model = popUp("model", options.modelItems);
    w.modelCount = static_cast<int>(options.modelItems.size());
    addRow(options.modelTitle, w.model);
    w.mode = popUp("mode", options.modeItems);
    w.modeCount = static_cast<int>(options.modeItems.size());
    addRow(options.modeTitle, w.mode);
    w.followsCursor = checkBox("followsCursor", options.cursorCheckBoxTitle);
    addRow(options.cursorTitle, w.followsCursor);
    w.archive = checkBox("archive", options.archiveCheckBoxTitle);
    addRow(options.archiveTitle, w.archive);

    w.status = gtk_label_new("");
    gtk_widget_set_name(w.status, "status");
    gtk_label_set_xalign(GTK_LABEL(w.status), 0);
    gtk_label_set_yalign(GTK_LABEL(w.status), 0);
    gtk_widget_set_halign(w.status, GTK_ALIGN_START);
    gtk_label_set_line_wrap(GTK_LABEL(w.status), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(w.status), PANGO_WRAP_WORD);
    gtk_label_set_max_width_chars(GTK_LABEL(w.status), 1);
    gtk_widget_set_size_request(w.status, kStatusWidth, -1);
    setFont(w.status, kStatusSize, PANGO_WEIGHT_NORMAL);
    dim(w.status);
    gtk_container_add(GTK_CONTAINER(stack), w.status);

    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, kButtonSpacing);
    gtk_widget_set_halign(buttons, GTK_ALIGN_START);
    w.test = gtk_button_new_with_label(options.testButtonTitle.c_str());
    gtk_widget_set_name(w.test, "test");
    w.save = gtk_button_new_with_label(options.saveButtonTitle.c_str());
    gtk_widget_set_name(w.save, "save");
    gtk_style_context_add_class(gtk_widget_get_style_context(w.save),
                                GTK_STYLE_CLASS_SUGGESTED_ACTION);
    gtk_widget_set_can_default(w.save, TRUE);
    gtk_container_add(GTK_CONTAINER(buttons), w.test);
    gtk_container_add(GTK_CONTAINER(buttons), w.save);
    gtk_container_add(GTK_CONTAINER(stack), buttons);
    gtk_window_set_default(window, w.save);

    gtk_widget_show_all(stack);
    // Closing only hides: the window is made once and shown again.
    g_signal_connect(window, "delete-event", G_CALLBACK(&gtk_widget_hide_on_delete), nullptr);
    g_signal_connect(window, "key-press-event", G_CALLBACK(&Widgets::keyPressed), &w);
    g_signal_connect(w.test, "clicked", G_CALLBACK(&Widgets::testClicked), &w);
    g_signal_connect(w.save, "clicked", G_CALLBACK(&Widgets::saveClicked), &w);
}

GtkSettingsWindow::~GtkSettingsWindow() {
    Widgets& w = *widgets_;
    g_signal_handlers_disconnect_by_data(w.window.get(), &w);
    g_signal_handlers_disconnect_by_data(w.test, &w);
    g_signal_handlers_disconnect_by_data(w.save, &w);
    gtk_widget_destroy(GTK_WIDGET(w.window.get()));
}

void GtkSettingsWindow::setServerText(const std::string& text) {
    gtk_label_set_text(GTK_LABEL(widgets_->server), text.c_str());
}

std::string GtkSettingsWindow::serverText() {
    return gtk_label_get_text(GTK_LABEL(widgets_->server));
}

void GtkSettingsWindow::select(PopUp popUp, int index) {
    const int count = popUp == PopUp::model ? widgets_->modelCount : widgets_->modeCount;
    gtk_combo_box_set_active(widgets_->comboFor(popUp), index >= 0 && index < count ? index : 0);
}

int GtkSettingsWindow::selectedIndex(PopUp popUp) {
    const int active = gtk_combo_box_get_active(widgets_->comboFor(popUp));
    return active >= 0 ? active : 0;
}

void GtkSettingsWindow::setChecked(CheckBox checkBox, bool checked) {
    gtk_toggle_button_set_active(widgets_->toggleFor(checkBox), checked ? TRUE : FALSE);
}

bool GtkSettingsWindow::isChecked(CheckBox checkBox) {
    return gtk_toggle_button_get_active(widgets_->toggleFor(checkBox)) == TRUE;
}

void GtkSettingsWindow::setStatusText(const std::string& text) {
    widgets_->statusText = text;
    gtk_label_set_text(GTK_LABEL(widgets_->status),
                       limitLines(widgets_->status, text, kStatusWidth, kStatusLines).c_str());
}

std::string GtkSettingsWindow::statusText() {
    return widgets_->statusText;
}

void GtkSettingsWindow::setActions(std::function<void()> testConnection,
                                   std::function<void()> save) {
    widgets_->testAction = std::move(testConnection);
    widgets_->saveAction = std::move(save);
}

void GtkSettingsWindow::makeKeyAndOrderFront() {
    gtk_widget_show(GTK_WIDGET(widgets_->window.get()));
    gtk_window_present_with_time(widgets_->window.get(), GDK_CURRENT_TIME);
}

void GtkSettingsWindow::orderOut() {
    gtk_widget_hide(GTK_WIDGET(widgets_->window.get()));
}

bool GtkSettingsWindow::isVisible() {
    return gtk_widget_get_visible(GTK_WIDGET(widgets_->window.get())) == TRUE;
}

GtkWidget* GtkSettingsWindow::widget() const {
    return GTK_WIDGET(widgets_->window.get());
}

}  // namespace pagemate::linux_backend
