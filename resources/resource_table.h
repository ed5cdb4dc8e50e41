// The program's resource section: the payload images, the menu and menu bar,
// the string table, the accelerator table, the About dialog and the icon group.
//
//   g_resourceTable, g_resourceCount  the table, in the formats of win32.h; the
//                       process entry hands it to RegisterProgramResources
//                       (with the version string) before any resource call.
#pragma once

#include "platform/win32.h"

// The About box's second line shows string RES_STR_VERSION, which the image
// does not hold: the process entry adds it with the build's version (a
// bundle of its own, apart from the image's string 40003).
#define RES_STR_VERSION 40016

extern const ResourceEntry g_resourceTable[];
extern const UINT g_resourceCount;
