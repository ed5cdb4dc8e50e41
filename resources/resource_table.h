// The program's resource section: the payload images, the menu and menu bar,
// the string table, the accelerator table, the About dialog and the icon group.
//
//   g_resourceTable, g_resourceCount  the table, in the formats of win32.h; the
//                       process entry hands it to RegisterProgramResources
//                       before any resource call.
#pragma once

#include "platform/win32.h"

extern const ResourceEntry g_resourceTable[];
extern const UINT g_resourceCount;
