#pragma once
// Spacing inside the directive does not hide an include.
# include <X11/Xlib.h>
#include "platform/fake/FakePlatform.h"
#include "platform/WebView.h"
