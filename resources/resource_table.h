// The program's resource section: the payload images, the menu and menu bar,
// the string table, the accelerator table, the About dialog and the icon group.
//
//   g_resourceTable, g_resourceCount  the table, in the formats of win32.h; the
//                       process entry hands it to RegisterProgramResources
//                       (with the version string) before any resource call.
//   g_nImagesStandin    1: the payload images are the generated stand-ins;
//                       0: a delivered folder, g_szImagesDir, whose VERSION
//                       gave g_szImagesName and g_szImagesVersion (empty when
//                       it had none)
#pragma once

#include "platform/win32.h"

// The About box's second line shows string RES_STR_VERSION, which the image
// does not hold: the process entry adds it with the build's version (a
// bundle of its own, apart from the image's string 40003).
#define RES_STR_VERSION 40016

extern const ResourceEntry g_resourceTable[];
extern const UINT g_resourceCount;

extern const int g_nImagesStandin;
extern const char g_szImagesDir[];
extern const char g_szImagesName[];
extern const char g_szImagesVersion[];
