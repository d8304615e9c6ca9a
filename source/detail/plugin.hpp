// C++-only link between the plugin registry and the stream contexts: the walk that finds
// the plugins able to serve a MIME type.
#pragma once

#include "../plugin.h"
#include "list.hpp"

namespace tarvik::detail {

// The next loaded plugin after `after` (null: the most recently loaded) that is valid, has
// an open slot and whose hint list matches mime_type; the caller gets one use of it
// (released with tarvik_unload_plugin) and must hold a use of `after`. Null when none.
tarvik_plugin_t *plugin_next_server(tarvik_plugin_t *after, const char *mime_type);

} // namespace tarvik::detail
