// Conformance of the resource calls (FindResourceW, LoadResource, LockResource,
// SizeofResource, LoadStringW) and the content of the program's shell
// resources: menu and menu bar 105, string 40003, "ID_ACCEL", "ABOUTBOX",
// "ID_ICON".
#include "platform/kernel/resource_loader.h"
#include "resources/resource_table.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

const DWORD kSentinel = 0xDEADBEEF;
const HMODULE kForeignModule = (HMODULE)(uintptr_t)0x00400000;

HRSRC Find(LPCWSTR name, LPCWSTR type)
{
    return FindResourceW(plat::program_instance(), name, type);
}

template <typename T> const T* Load(LPCWSTR name, LPCWSTR type)
{
    HRSRC res = Find(name, type);
    if (res == nullptr)
        return nullptr;
    return (const T*)LockResource(LoadResource(plat::program_instance(), res));
}

std::u16string Str(LPCWSTR s)
{
    return s == nullptr ? std::u16string(u"<null>") : std::u16string(s);
}

} // namespace

// ---------------------------------------------------------------------------
// Lookup
// ---------------------------------------------------------------------------

TEST(FindResource, FindsEveryResourceOfTheProgramAndLeavesLastErrorAlone)
{
    struct Case
    {
        LPCWSTR name;
        LPCWSTR type;
    };
    const Case cases[] = {
        {MAKEINTRESOURCEW(107), u"HEX"},     {MAKEINTRESOURCEW(108), u"HEX"},  {MAKEINTRESOURCEW(109), u"HEX"},
        {MAKEINTRESOURCEW(110), u"HEX"},     {MAKEINTRESOURCEW(105), RT_MENU}, {MAKEINTRESOURCEW(105), RT_RCDATA},
        {MAKEINTRESOURCEW(2501), RT_STRING}, {u"ID_ACCEL", RT_ACCELERATOR},    {u"ABOUTBOX", RT_DIALOG},
        {u"ID_ICON", RT_GROUP_ICON},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(IS_INTRESOURCE(c.name) ? std::to_string((uintptr_t)c.name) : std::string("named"));
        SetLastError(kSentinel);
        HRSRC res = Find(c.name, c.type);
        EXPECT_NE(res, nullptr);
        EXPECT_EQ(GetLastError(), kSentinel);
    }
}

TEST(FindResource, TextNamesAndTypesMatchWithoutRegardToCase)
{
    HRSRC upper = Find(u"ABOUTBOX", RT_DIALOG);
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(Find(u"aboutbox", RT_DIALOG), upper);
    EXPECT_EQ(Find(u"AboutBox", RT_DIALOG), upper);
    EXPECT_EQ(Find(u"id_accel", RT_ACCELERATOR), Find(u"ID_ACCEL", RT_ACCELERATOR));
    HRSRC boot1 = Find(MAKEINTRESOURCEW(107), u"HEX");
    ASSERT_NE(boot1, nullptr);
    EXPECT_EQ(Find(MAKEINTRESOURCEW(107), u"hex"), boot1);
}

TEST(FindResource, HashNumberTextStandsForTheNumericId)
{
    HRSRC boot1 = Find(MAKEINTRESOURCEW(107), u"HEX");
    ASSERT_NE(boot1, nullptr);
    EXPECT_EQ(Find(u"#107", u"HEX"), boot1);
    EXPECT_EQ(Find(u"#105", u"#4"), Find(MAKEINTRESOURCEW(105), RT_MENU));
    // Without the '#' a text of digits is a name, not a number.
    SetLastError(kSentinel);
    EXPECT_EQ(Find(u"107", u"HEX"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(Find(u"#107x", u"HEX"), nullptr);
    EXPECT_EQ(Find(u"#", u"HEX"), nullptr);
    EXPECT_EQ(Find(u"#70000", u"HEX"), nullptr);
}

TEST(FindResource, ReportsUnknownTypeBeforeUnknownName)
{
    struct Case
    {
        const char* what;
        LPCWSTR name;
        LPCWSTR type;
        DWORD error;
    };
    const Case cases[] = {
        {"unknown text type", MAKEINTRESOURCEW(107), u"BIN", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"unknown numeric type", MAKEINTRESOURCEW(107), MAKEINTRESOURCEW(2), ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"type text only a prefix", MAKEINTRESOURCEW(107), u"HE", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"image id under another type", MAKEINTRESOURCEW(107), RT_RCDATA, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"id next to the images", MAKEINTRESOURCEW(111), u"HEX", ERROR_RESOURCE_NAME_NOT_FOUND},
        {"id 0", MAKEINTRESOURCEW(0), u"HEX", ERROR_RESOURCE_NAME_NOT_FOUND},
        {"name is a prefix", u"ABOUT", RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"name is longer", u"ABOUTBOXES", RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"text name where a number is stored", u"MENU", RT_MENU, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"number where a text name is stored", MAKEINTRESOURCEW(1), RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"dialog name under the menu type", u"ABOUTBOX", RT_MENU, ERROR_RESOURCE_NAME_NOT_FOUND},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        SetLastError(kSentinel);
        EXPECT_EQ(Find(c.name, c.type), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST(FindResource, AcceptsNullOrTheProgramInstanceOnly)
{
    HINSTANCE inst = plat::program_instance();
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(plat::program_instance(), inst);

    HRSRC viaInstance = FindResourceW(inst, MAKEINTRESOURCEW(110), u"HEX");
    ASSERT_NE(viaInstance, nullptr);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(110), u"HEX"), viaInstance);

    SetLastError(kSentinel);
    EXPECT_EQ(FindResourceW(kForeignModule, MAKEINTRESOURCEW(110), u"HEX"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Load, lock, size
// ---------------------------------------------------------------------------

TEST(LoadResource, YieldsTheSameAddressEveryTimeAndLockKeepsIt)
{
    HRSRC res = Find(MAKEINTRESOURCEW(108), u"HEX");
    ASSERT_NE(res, nullptr);
    HGLOBAL first = LoadResource(plat::program_instance(), res);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(LoadResource(nullptr, res), first);
    EXPECT_EQ(LockResource(first), first);
    EXPECT_EQ(LockResource(nullptr), nullptr);
}

TEST(LoadResource, RefusesNullAndForeignResourceHandles)
{
    int notAResource = 0;
    const HRSRC bad[] = {nullptr, (HRSRC)&notAResource};
    for (HRSRC res : bad)
    {
        SetLastError(kSentinel);
        EXPECT_EQ(LoadResource(nullptr, res), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        SetLastError(kSentinel);
        EXPECT_EQ(SizeofResource(nullptr, res), 0u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
    // A real resource through a module that is not the program.
    HRSRC res = Find(MAKEINTRESOURCEW(107), u"HEX");
    ASSERT_NE(res, nullptr);
    SetLastError(kSentinel);
    EXPECT_EQ(LoadResource(kForeignModule, res), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);
    EXPECT_EQ(SizeofResource(kForeignModule, res), 0u);
}

TEST(SizeofResource, ReportsTheImageLengths)
{
    struct Case
    {
        WORD id;
        DWORD length;
    };
    const Case cases[] = {{107, 184}, {108, 7414}, {109, 3}, {110, 2490264}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id);
        HRSRC res = Find(MAKEINTRESOURCEW(c.id), u"HEX");
        ASSERT_NE(res, nullptr);
        SetLastError(kSentinel);
        EXPECT_EQ(SizeofResource(nullptr, res), c.length);
        EXPECT_EQ(SizeofResource(plat::program_instance(), res), c.length);
        EXPECT_EQ(GetLastError(), kSentinel);
    }
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

TEST(LoadString, CopiesTheStringAndTerminatesIt)
{
    WCHAR buffer[32];
    for (WCHAR& c : buffer)
        c = u'*';
    EXPECT_EQ(LoadStringW(plat::program_instance(), 40003, buffer, 32), 6);
    EXPECT_EQ(std::u16string(buffer), u"System");
    EXPECT_EQ(LoadStringW(nullptr, 40003, buffer, 32), 6);
}

TEST(LoadString, TruncatesToTheBufferAndStillTerminates)
{
    WCHAR buffer[8];
    for (WCHAR& c : buffer)
        c = u'*';
    EXPECT_EQ(LoadStringW(nullptr, 40003, buffer, 4), 3);
    EXPECT_EQ(std::u16string(buffer), u"Sys");
    EXPECT_EQ(buffer[4], u'*');
    EXPECT_EQ(LoadStringW(nullptr, 40003, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);
}

TEST(LoadString, ZeroCapacityHandsOutTheReadOnlyString)
{
    LPCWSTR text = nullptr;
    EXPECT_EQ(LoadStringW(nullptr, 40003, (LPWSTR)&text, 0), 6);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text, 6), u"System");
}

TEST(LoadString, AbsentStringsYieldZeroAndAnEmptyBuffer)
{
    // 40002 and 40004 share the bundle of 40003; 1 and 65535 have no bundle.
    const UINT ids[] = {40002, 40004, 40000, 40015, 1, 65535, 0x10000 + 40003};
    for (UINT id : ids)
    {
        SCOPED_TRACE(id);
        WCHAR buffer[8] = {u'*', u'*'};
        SetLastError(kSentinel);
        EXPECT_EQ(LoadStringW(nullptr, id, buffer, 8), 0);
        EXPECT_EQ(buffer[0], 0);
        EXPECT_NE(GetLastError(), kSentinel);
    }
    WCHAR buffer[8];
    SetLastError(kSentinel);
    EXPECT_EQ(LoadStringW(kForeignModule, 40003, buffer, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);
    SetLastError(kSentinel);
    EXPECT_EQ(LoadStringW(nullptr, 40003, nullptr, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// The shell's resources
// ---------------------------------------------------------------------------

TEST(ShellResources, MenuHoldsSystemPopupWithUpdateSeparatorExit)
{
    const MenuTemplate* menu = Load<MenuTemplate>(MAKEINTRESOURCEW(105), RT_MENU);
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->count, 1u);
    const MenuItemTemplate& popup = menu->items[0];
    EXPECT_EQ(popup.kind, MENU_ITEM_POPUP);
    EXPECT_EQ(Str(popup.text), u"System");
    ASSERT_EQ(popup.popupCount, 3u);
    ASSERT_NE(popup.popup, nullptr);

    EXPECT_EQ(popup.popup[0].kind, MENU_ITEM_COMMAND);
    EXPECT_EQ(popup.popup[0].id, 118);
    EXPECT_EQ(Str(popup.popup[0].text), u"Update firmware - Go");
    EXPECT_EQ(popup.popup[1].kind, MENU_ITEM_SEPARATOR);
    EXPECT_EQ(popup.popup[1].text, nullptr);
    EXPECT_EQ(popup.popup[2].kind, MENU_ITEM_COMMAND);
    EXPECT_EQ(popup.popup[2].id, 101);
    EXPECT_EQ(Str(popup.popup[2].text), u"Exit");
}

TEST(ShellResources, MenuBarButtonDropsDownTheFirstPopupOfMenu105)
{
    const MenuBarTemplate* bar = Load<MenuBarTemplate>(MAKEINTRESOURCEW(105), RT_RCDATA);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->menuId, 105);
    ASSERT_EQ(bar->count, 1u);
    const MenuBarButton& button = bar->buttons[0];
    EXPECT_EQ(button.image, I_IMAGENONE);
    EXPECT_EQ(button.command, 40001);
    EXPECT_EQ(button.state, TBSTATE_ENABLED);
    EXPECT_EQ(button.style, TBSTYLE_DROPDOWN | TBSTYLE_AUTOSIZE);
    EXPECT_EQ(button.captionId, 40003);
    EXPECT_EQ(button.popupIndex, 0);

    // What the bar refers to must exist: its menu, that popup, its caption.
    const MenuTemplate* menu = Load<MenuTemplate>(MAKEINTRESOURCEW(bar->menuId), RT_MENU);
    ASSERT_NE(menu, nullptr);
    ASSERT_LT((UINT)button.popupIndex, menu->count);
    EXPECT_EQ(menu->items[button.popupIndex].kind, MENU_ITEM_POPUP);
    WCHAR caption[16];
    EXPECT_GT(LoadStringW(nullptr, button.captionId, caption, 16), 0);
    EXPECT_EQ(std::u16string(caption), u"System");
}

TEST(ShellResources, AcceleratorCtrlQGivesExit)
{
    const AcceleratorTemplate* accel = Load<AcceleratorTemplate>(u"ID_ACCEL", RT_ACCELERATOR);
    ASSERT_NE(accel, nullptr);
    ASSERT_EQ(accel->count, 1u);
    EXPECT_EQ(accel->entries[0].fVirt, FVIRTKEY | FCONTROL | FNOINVERT);
    EXPECT_EQ(accel->entries[0].key, 0x51);
    EXPECT_EQ(accel->entries[0].cmd, 101);
}

// The text as the handheld's dialog has it, and under it a line showing the
// version string, which the process entry supplies (RES_STR_VERSION).
TEST(ShellResources, AboutBoxHoldsItsTextAndAVersionLine)
{
    const DialogTemplate* dlg = Load<DialogTemplate>(u"aboutbox", RT_DIALOG);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(dlg->style, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT);
    EXPECT_EQ(dlg->exStyle, 0u);
    EXPECT_EQ(dlg->x, 10);
    EXPECT_EQ(dlg->y, 10);
    EXPECT_EQ(dlg->cx, 136);
    EXPECT_EQ(dlg->cy, 64);
    EXPECT_EQ(Str(dlg->caption), u"About");
    EXPECT_EQ(dlg->pointSize, 10);
    EXPECT_EQ(Str(dlg->typeface), u"System");
    ASSERT_EQ(dlg->count, 2u);
    const DialogItemTemplate& item = dlg->items[0];
    EXPECT_EQ(item.style, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT);
    EXPECT_EQ(item.exStyle, 0u);
    EXPECT_EQ(item.x, 12);
    EXPECT_EQ(item.y, 5);
    EXPECT_EQ(item.cx, 114);
    EXPECT_EQ(item.cy, 46);
    EXPECT_EQ(item.id, 0xFFFF);
    EXPECT_EQ(Str(item.className), u"static");
    EXPECT_EQ(Str(item.text), u"Tandrel - Written for Vela to update phone module firmware and transmit data "
                              u"between BTUART and FFUART");

    const DialogItemTemplate& version = dlg->items[1];
    EXPECT_EQ(version.style, WS_CHILD | WS_VISIBLE | SS_LEFT);
    EXPECT_EQ(Str(version.className), u"static");
    EXPECT_EQ(version.text, MAKEINTRESOURCEW(RES_STR_VERSION));
    // One line, below the text and inside the dialog.
    EXPECT_GE(version.y, item.y + item.cy);
    EXPECT_LE(version.y + version.cy, dlg->cy);
    EXPECT_EQ(version.cy, 8);
    // Not in the image itself: without the process entry there is no such string.
    WCHAR buffer[8];
    EXPECT_EQ(LoadStringW(plat::program_instance(), RES_STR_VERSION, buffer, 8), 0);
}

// The group's images must be well-formed bitmaps: planes of the size their
// geometry needs, palette indexes inside the palette, transparent corners,
// and an actual picture (more than one colour among the opaque pixels).
TEST(ShellResources, IconGroupHoldsThreeWellFormedImages)
{
    const IconGroupTemplate* group = Load<IconGroupTemplate>(u"ID_ICON", RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->count, 3u);
    struct Want
    {
        int width;
        int height;
        int bits;
    };
    const Want want[] = {{32, 32, 2}, {32, 32, 4}, {16, 16, 2}};
    for (UINT i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(i);
        const IconImage& img = group->images[i];
        ASSERT_EQ(img.width, want[i].width);
        ASSERT_EQ(img.height, want[i].height);
        ASSERT_EQ(img.bitCount, want[i].bits);
        const DWORD xorStride = (img.width * img.bitCount + 31) / 32 * 4;
        const DWORD andStride = (img.width + 31) / 32 * 4;
        ASSERT_EQ(img.xorSize, xorStride * img.height);
        ASSERT_EQ(img.andSize, andStride * img.height);
        ASSERT_NE(img.palette, nullptr);

        bool seen[16] = {};
        int transparent = 0;
        for (int row = 0; row < img.height; ++row)
        {
            for (int x = 0; x < img.width; ++x)
            {
                bool clear = (img.andBits[row * andStride + x / 8] >> (7 - x % 8)) & 1;
                int bit = x * img.bitCount;
                int index = (img.xorBits[row * xorStride + bit / 8] >> (8 - img.bitCount - bit % 8)) &
                            ((1 << img.bitCount) - 1);
                if (clear)
                {
                    ++transparent;
                    EXPECT_EQ(index, 0) << "transparent pixel with colour at " << x << "," << row;
                }
                else
                {
                    seen[index] = true;
                }
            }
        }
        // The four corners are cut off; everything else is opaque.
        EXPECT_EQ(transparent, 4);
        int colours = 0;
        for (bool s : seen)
            colours += s ? 1 : 0;
        EXPECT_GE(colours, 3);
    }
}
