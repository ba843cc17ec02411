#pragma once

// GMime's one-time set-up and owners for the objects it hands out.

#include <gmime/gmime.h>

#include <memory>

namespace quillpost::smtp {

// Initialises GMime the first time it is called in the process; any thread
// may call it, as often as it likes.
void EnsureGMime();

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};

// Owns one reference to a GObject (every GMime object is one).
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over the reference a GMime constructor returned.
template <typename T>
GObjectPtr<T> Own(T* object) {
  return GObjectPtr<T>(object);
}

struct FormatOptionsFree {
  void operator()(GMimeFormatOptions* options) const { g_mime_format_options_free(options); }
};

// Memory GLib allocated for the caller (g_free).
using GCharPtr = std::unique_ptr<char, GFree>;

}  // namespace quillpost::smtp
