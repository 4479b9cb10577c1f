#pragma once

#include <glib-object.h>

#include <memory>

namespace pagemate::linux_backend {

// Owning pointers for GLib and GObject handles.
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

struct GVariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

struct GSourceUnref {
    void operator()(GSource* source) const { g_source_unref(source); }
};
using GSourcePtr = std::unique_ptr<GSource, GSourceUnref>;

}  // namespace pagemate::linux_backend
