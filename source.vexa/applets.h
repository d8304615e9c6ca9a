// The program's own declarations: applet entries (from the applet table) and the two
// front-end entries. None of them is exported: plugins reach only the library.
#pragma once

#include "multicall.h"

// Flags of the applet table.
#define TARVIK_APPLET_LISTED 0u
#define TARVIK_APPLET_HIDDEN TARVIK_MULTICALL_HIDDEN

#define TARVIK_APPLET(name, entry, flags) int entry(int argc, char **argv);
#define TARVIK_PLUGIN_APPLET(name, plugin, flags)
#include "applets.def"
#undef TARVIK_PLUGIN_APPLET
#undef TARVIK_APPLET

// Registers every applet, dispatches on argv[0] and releases the registry.
int tarvik_multicall_vexa_top_main(int argc, char **argv);
// The program's own command: dispatches on argv[1], else prints the usage.
int tarvik_multicall_vexa_main(int argc, char **argv);
