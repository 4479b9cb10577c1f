// A core file that reaches past the ports: the boundary check must list both lines.
#include "app/Crossing.h"

#include <string>

#include "platform/linux/WebKitView.h"
#include <curl/curl.h>
