// Backends may include their libraries.
#include <gtk/gtk.h>
