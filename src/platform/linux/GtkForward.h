#pragma once

// The toolkit's opaque handle types, declared as GTK and WebKitGTK declare them, so
// that backend headers can name them without including the libraries.
// NOLINTBEGIN(bugprone-reserved-identifier)
using GtkWidget = struct _GtkWidget;
using WebKitWebContext = struct _WebKitWebContext;
// NOLINTEND(bugprone-reserved-identifier)
