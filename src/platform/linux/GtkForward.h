#pragma once

// The toolkit's opaque handle types, declared as GTK, WebKitGTK and GIO declare them,
// so that backend headers can name them without including the libraries.
// NOLINTBEGIN(bugprone-reserved-identifier)
using GtkWidget = struct _GtkWidget;
using WebKitWebContext = struct _WebKitWebContext;
using GDBusConnection = struct _GDBusConnection;
// NOLINTEND(bugprone-reserved-identifier)
