// Backends may include their libraries.
#include <gtk/gtk.h>
// ...but not the program above the ports.
#include "base/Settings.h"
