// The program's resources: the payload images, the menu and menu bar, the
// string table, the accelerator table, the About dialog and the icon group,
// gathered in the one table that FindResourceW searches (the process entry
// adds the version string the About dialog names).
#include "resources/resource_table.h"

#include "download/payload.h"

// Ids shared with the main window and its command table.
enum
{
    RES_MENUBAR = 105,          // menu and menu bar template
    RES_CMD_EXIT = 101,         // "Exit", Ctrl+Q
    RES_CMD_UPDATE_GO = 118,    // "Update firmware - Go"
    RES_CMD_MENUBUTTON = 40001, // the menu bar's own button; no command handles it
    RES_STR_SYSTEM = 40003,     // caption of that button
};

// The image bytes, embedded by the generated assembler files (resources.cmake).
extern "C" const BYTE fwu_image_boot1[];
extern "C" const BYTE fwu_image_boot2[];
extern "C" const BYTE fwu_image_filesize[];
extern "C" const BYTE fwu_image_firmware[];

// ---------------------------------------------------------------------------
// Menu 105 and the menu bar 105
// ---------------------------------------------------------------------------

// clang-format off
// kind                 id                 caption                  popup              count
static const MenuItemTemplate g_systemMenuItems[] = {
    { MENU_ITEM_COMMAND,   RES_CMD_UPDATE_GO, u"Update firmware - Go", nullptr,           0 },
    { MENU_ITEM_SEPARATOR, 0,                 nullptr,                 nullptr,           0 },
    { MENU_ITEM_COMMAND,   RES_CMD_EXIT,      u"Exit",                 nullptr,           0 },
};

static const MenuItemTemplate g_mainMenuItems[] = {
    { MENU_ITEM_POPUP,     0,                 u"System",               g_systemMenuItems, 3 },
};
// clang-format on

static const MenuTemplate g_mainMenu = {g_mainMenuItems, 1};

// clang-format off
// image         command             state            style                                caption         popup
static const MenuBarButton g_menuBarButtons[] = {
    { I_IMAGENONE, RES_CMD_MENUBUTTON, TBSTATE_ENABLED, TBSTYLE_DROPDOWN | TBSTYLE_AUTOSIZE, RES_STR_SYSTEM, 0 },
};
// clang-format on

static const MenuBarTemplate g_menuBar = {RES_MENUBAR, g_menuBarButtons, 1};

// ---------------------------------------------------------------------------
// Strings: 40003 is the only one; it lives in bundle 40003 / 16 + 1 at 40003 % 16.
// ---------------------------------------------------------------------------
static const StringBundle g_strings2501 = {{nullptr, nullptr, nullptr, u"System"}};
static_assert(RES_STR_SYSTEM / STRINGS_PER_BUNDLE + 1 == 2501 && RES_STR_SYSTEM % STRINGS_PER_BUNDLE == 3,
              "string 40003 must sit in bundle 2501 at index 3");
static_assert(RES_STR_VERSION / STRINGS_PER_BUNDLE != RES_STR_SYSTEM / STRINGS_PER_BUNDLE,
              "the version string's bundle is added apart from bundle 2501");

// ---------------------------------------------------------------------------
// Accelerators "ID_ACCEL"
// ---------------------------------------------------------------------------

// clang-format off
// flags                             key   command
static const ACCEL g_accelEntries[] = {
    { FVIRTKEY | FCONTROL | FNOINVERT, 0x51, RES_CMD_EXIT }, // Ctrl+Q
};
// clang-format on

static const AcceleratorTemplate g_accel = {g_accelEntries, 1};

// ---------------------------------------------------------------------------
// The About dialog "ABOUTBOX"
// ---------------------------------------------------------------------------
// Geometry in dialog units, as a resource script gives it: x, y, width, height.
// clang-format off
static const DialogItemTemplate g_aboutItems[] = {
    {
        .style = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, .exStyle = 0,
        .x = 12, .y = 5, .cx = 114, .cy = 46,
        .id = 0xFFFF, .className = u"static",
        .text =
            u"Tandrel - Written for Vela to update phone module firmware and transmit data between BTUART and FFUART",
    },
    {
        // One line under the text: the version string the process entry supplies.
        .style = WS_CHILD | WS_VISIBLE | SS_LEFT, .exStyle = 0,
        .x = 12, .y = 52, .cx = 114, .cy = 8,
        .id = 0xFFFF, .className = u"static",
        .text = MAKEINTRESOURCEW(RES_STR_VERSION),
    },
};

static const DialogTemplate g_aboutDialog = {
    .style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT, .exStyle = 0,
    .x = 10, .y = 10, .cx = 136, .cy = 64,
    .caption = u"About", .pointSize = 10, .typeface = u"System",
    .items = g_aboutItems, .count = 2,
};
// clang-format on

// ---------------------------------------------------------------------------
// The icon group "ID_ICON": a white tile with a black frame and a downward
// arrow, drawn at compile time at each size and depth.
// ---------------------------------------------------------------------------
template <int W, int H, int BPP> struct IconBits
{
    BYTE abXor[(W * BPP + 31) / 32 * 4 * H];
    BYTE abAnd[(W + 31) / 32 * 4 * H];
};

// Palette index of pixel (x, y), y from the top; -1 for transparent.
static constexpr int IconPixel(int w, int h, int x, int y, int frame, int fill, int arrow)
{
    bool fCorner = (x == 0 || x == w - 1) && (y == 0 || y == h - 1);
    if (fCorner)
        return -1;
    if (x == 0 || y == 0 || x == w - 1 || y == h - 1)
        return frame;
    int nMid = w / 2;
    int nShaftHalf = w / 16 > 0 ? w / 16 : 1;
    int nHeadTop = h * 9 / 16;
    int nHeadBottom = h * 7 / 8;
    if (y >= h / 8 && y < nHeadTop && x >= nMid - nShaftHalf && x < nMid + nShaftHalf)
        return arrow;
    if (y >= nHeadTop && y < nHeadBottom)
    {
        int nHalf = (nHeadBottom - y) * (w / 4) / (nHeadBottom - nHeadTop);
        if (x >= nMid - nHalf && x < nMid + nHalf)
            return arrow;
    }
    return fill;
}

template <int W, int H, int BPP> static constexpr IconBits<W, H, BPP> DrawIcon(int frame, int fill, int arrow)
{
    IconBits<W, H, BPP> bits{};
    const int cbXorStride = (W * BPP + 31) / 32 * 4;
    const int cbAndStride = (W + 31) / 32 * 4;
    for (int nRow = 0; nRow < H; ++nRow)
    {
        int y = H - 1 - nRow; // bitmap rows run bottom-up
        for (int x = 0; x < W; ++x)
        {
            int nIndex = IconPixel(W, H, x, y, frame, fill, arrow);
            if (nIndex < 0)
            {
                bits.abAnd[nRow * cbAndStride + x / 8] |= (BYTE)(0x80 >> (x % 8));
                continue;
            }
            int nBit = x * BPP;
            bits.abXor[nRow * cbXorStride + nBit / 8] |= (BYTE)(nIndex << (8 - BPP - nBit % 8));
        }
    }
    return bits;
}

// Four grey levels; the sixteen standard colours.
static const COLORREF g_palette2[] = {0x000000, 0x808080, 0xC0C0C0, 0xFFFFFF};
static const COLORREF g_palette4[] = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0xC0C0C0,
                                      0x808080, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};

static constexpr IconBits<32, 32, 2> g_icon32x2 = DrawIcon<32, 32, 2>(0, 3, 1);
static constexpr IconBits<32, 32, 4> g_icon32x4 = DrawIcon<32, 32, 4>(0, 15, 12);
static constexpr IconBits<16, 16, 2> g_icon16x2 = DrawIcon<16, 16, 2>(0, 3, 1);

// One image of the group: its geometry, palette and the planes drawn above.
#define ICON_IMAGE(width, height, bitCount, palette, bits)                                                             \
    {                                                                                                                  \
        width, height, bitCount, palette, bits.abXor, sizeof(bits.abXor), bits.abAnd, sizeof(bits.abAnd)               \
    }

// clang-format off
// width  height  bits  palette     planes
static const IconImage g_iconImages[] = {
    ICON_IMAGE(32, 32,    2,    g_palette2, g_icon32x2),
    ICON_IMAGE(32, 32,    4,    g_palette4, g_icon32x4),
    ICON_IMAGE(16, 16,    2,    g_palette2, g_icon16x2),
};
// clang-format on

static const IconGroupTemplate g_iconGroup = {g_iconImages, 3};

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------

// clang-format off
// type                              name                      data                 size
extern const ResourceEntry g_resourceTable[] = {
    { {0, PAYLOAD_RESOURCE_TYPE},      {IDR_BOOT1, nullptr},     fwu_image_boot1,     BOOT1_LENGTH },
    { {0, PAYLOAD_RESOURCE_TYPE},      {IDR_BOOT2, nullptr},     fwu_image_boot2,     BOOT2_LENGTH },
    { {0, PAYLOAD_RESOURCE_TYPE},      {IDR_FILE_SIZE, nullptr}, fwu_image_filesize,  FILE_SIZE_LENGTH },
    { {0, PAYLOAD_RESOURCE_TYPE},      {IDR_FW, nullptr},        fwu_image_firmware,  FW_LENGTH },
    { {RESTYPE_MENU, nullptr},         {RES_MENUBAR, nullptr},   &g_mainMenu,         sizeof(g_mainMenu) },
    { {RESTYPE_RCDATA, nullptr},       {RES_MENUBAR, nullptr},   &g_menuBar,          sizeof(g_menuBar) },
    { {RESTYPE_STRING, nullptr},       {2501, nullptr},          &g_strings2501,      sizeof(g_strings2501) },
    { {RESTYPE_ACCELERATOR, nullptr},  {0, u"ID_ACCEL"},         &g_accel,            sizeof(g_accel) },
    { {RESTYPE_DIALOG, nullptr},       {0, u"ABOUTBOX"},         &g_aboutDialog,      sizeof(g_aboutDialog) },
    { {RESTYPE_GROUP_ICON, nullptr},   {0, u"ID_ICON"},          &g_iconGroup,        sizeof(g_iconGroup) },
};
// clang-format on

extern const UINT g_resourceCount = sizeof(g_resourceTable) / sizeof(g_resourceTable[0]);
