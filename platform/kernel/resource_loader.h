// The platform's resource formats and the program's resource table.
//
// On the handheld the resource compiler turns the program's script into binary
// resources inside the program file. Here the resources are data compiled into
// the program (resources/): the payload images are raw bytes, and menus, the
// menu bar, accelerators, strings, the dialog and the icon group are the plain
// records below. FindResourceW / LoadResource / LockResource yield a pointer to
// one of these records (or to the image bytes); the window system reads them.
//
//   type             name           LoadResource yields
//   RT_MENU          id             const MenuTemplate*
//   RT_RCDATA        id (menu bar)  const MenuBarTemplate*
//   RT_STRING        id / 16 + 1    const StringBundle*   (LoadStringW reads it)
//   RT_ACCELERATOR   name           const AcceleratorTemplate*
//   RT_DIALOG        name           const DialogTemplate*
//   RT_GROUP_ICON    name           const IconGroupTemplate*
//   "HEX"            id             the image bytes
//
// The program's instance handle (the one WinMain receives and every resource
// lookup passes) is plat::program_instance(); a null module means the same.
#pragma once

#include "platform/win32.h"

namespace plat
{

// The table RegisterProgramResources installed, and its length (0 before).
const ResourceEntry* resource_table(UINT* count);

} // namespace plat

namespace plat
{

// The program's instance handle: non-null, constant for the life of the
// process, the value the platform's entry passes to WinMain.
HINSTANCE program_instance();

} // namespace plat
