#include "platform/linux/GtkAlerts.h"

#include <gtk/gtk.h>

namespace pagemate::linux_backend {

int GtkAlerts::show(const Alert& alert) {
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                               GTK_BUTTONS_NONE, "%s", alert.message.c_str());
    if (!alert.informativeText.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                                 alert.informativeText.c_str());
    }
    for (std::size_t index = 0; index < alert.buttons.size(); ++index) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[index].c_str(),
                              static_cast<gint>(index));
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_title(GTK_WINDOW(dialog), alert.title.c_str());
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    return response >= 0 ? response : 0;  // closed without a choice: the default
}

}  // namespace pagemate::linux_backend
