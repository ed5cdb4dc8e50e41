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

// ---------------------------------------------------------------------------
// Menus
// ---------------------------------------------------------------------------
enum MenuItemKind
{
    MENU_ITEM_COMMAND,   // a command with a caption
    MENU_ITEM_SEPARATOR, // a line; no id, no caption
    MENU_ITEM_POPUP,     // a caption that opens the items of `popup`
};

struct MenuItemTemplate
{
    int kind;                      // MenuItemKind
    WORD id;                       // command id (MENU_ITEM_COMMAND), else 0
    LPCWSTR text;                  // caption; null for a separator
    const MenuItemTemplate* popup; // MENU_ITEM_POPUP: its items, else null
    UINT popupCount;               // number of items in `popup`
};

struct MenuTemplate
{
    const MenuItemTemplate* items; // top-level items, in order; popups are numbered from 0
    UINT count;
};

// The menu bar (SHCreateMenuBar's template): the menu it draws its drop-downs
// from, and its buttons.
#define MENUBAR_NO_POPUP (-1)

struct MenuBarButton
{
    int image;      // bitmap index, or I_IMAGENONE for a text button
    WORD command;   // id the button sends when pressed
    BYTE state;     // TBSTATE_*
    BYTE style;     // TBSTYLE_*
    WORD captionId; // string id of the caption (LoadStringW)
    int popupIndex; // index of the popup in the bar's menu, or MENUBAR_NO_POPUP
};

struct MenuBarTemplate
{
    WORD menuId; // RT_MENU resource holding the drop-downs
    const MenuBarButton* buttons;
    UINT count;
};

// ---------------------------------------------------------------------------
// Strings: as on the platform, grouped 16 to a bundle; string id n lives in
// bundle n / 16 + 1 at index n % 16. A null entry is an absent string.
// ---------------------------------------------------------------------------
#define STRINGS_PER_BUNDLE 16

struct StringBundle
{
    LPCWSTR strings[STRINGS_PER_BUNDLE];
};

// ---------------------------------------------------------------------------
// Accelerators
// ---------------------------------------------------------------------------
struct AcceleratorTemplate
{
    const ACCEL* entries; // fVirt (FVIRTKEY, FCONTROL, ...), key, command
    UINT count;
};

// ---------------------------------------------------------------------------
// Dialogs (the record DialogBoxIndirectParamW receives)
// ---------------------------------------------------------------------------
struct DialogItemTemplate
{
    DWORD style;   // WS_*, SS_*, ES_* ...
    DWORD exStyle; // WS_EX_*
    short x;       // position and size in dialog units
    short y;
    short cx;
    short cy;
    WORD id;           // control id; 0xFFFF for none
    LPCWSTR className; // window class, e.g. u"static"
    LPCWSTR text;      // initial text
};

struct DialogTemplate
{
    DWORD style;   // WS_*, DS_*
    DWORD exStyle; // WS_EX_*
    short x;       // position and size in dialog units
    short y;
    short cx;
    short cy;
    LPCWSTR caption;
    WORD pointSize;   // font size (DS_SETFONT)
    LPCWSTR typeface; // font name (DS_SETFONT)
    const DialogItemTemplate* items;
    UINT count;
};

// ---------------------------------------------------------------------------
// Icons: device-independent bitmaps without the file headers. Each image has
// a palette-index plane (bitCount bits a pixel, rows bottom-up, each row padded
// to 32 bits) and a 1-bit transparency mask of the same geometry.
// ---------------------------------------------------------------------------
struct IconImage
{
    BYTE width;              // pixels
    BYTE height;             // pixels
    WORD bitCount;           // bits per pixel: 2 or 4 here
    const COLORREF* palette; // 1 << bitCount colours, 0x00BBGGRR
    const BYTE* xorBits;
    DWORD xorSize; // bytes
    const BYTE* andBits;
    DWORD andSize; // bytes
};

struct IconGroupTemplate
{
    const IconImage* images;
    UINT count;
};

// ---------------------------------------------------------------------------
// The resource table (defined in resources/)
// ---------------------------------------------------------------------------

// Numeric resource types as the table stores them; RT_MENU etc. in win32.h
// are the same numbers in their MAKEINTRESOURCEW form.
#define RESTYPE_MENU 4
#define RESTYPE_DIALOG 5
#define RESTYPE_STRING 6
#define RESTYPE_ACCELERATOR 9
#define RESTYPE_RCDATA 10
#define RESTYPE_GROUP_ICON 14

// A resource type or name: a number (text == null) or a text (id == 0).
struct ResourceKey
{
    WORD id;
    LPCWSTR text; // compared without regard to ASCII case
};

struct ResourceEntry
{
    ResourceKey type;
    ResourceKey name;
    const void* data; // the record or bytes LoadResource yields
    DWORD size;       // what SizeofResource reports
};

extern const ResourceEntry g_resourceTable[];
extern const UINT g_resourceCount;

namespace plat
{

// The program's instance handle: non-null, constant for the life of the
// process, the value the platform's entry passes to WinMain.
HINSTANCE program_instance();

} // namespace plat
