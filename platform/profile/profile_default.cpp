// The built-in device profile: a simulated handheld whose module UART is
// wired to the module simulator. profiles/default.reg ships the same tree
// with more commentary; a test keeps the two equal.
#include "platform/profile/profile.h"

namespace plat
{

static const char kDefaultProfile[] = R"REG(REGEDIT4

; The built-in device profile: a simulated handheld.
;
; The module's UART (FFUART) is the serial driver instance with Index 1, so the
; tool opens it as COM1:; the Bluetooth UART (BTUART) is Index 4, COM4:.
; COM1: is wired to the built-in module simulator. The peer ports COM3: (IrDA),
; COM4: (Bluetooth UART) and COM5: (raw IR) are fresh pseudo-terminal pairs
; whose far ends are announced in the debug output.

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial]
"Index"=dword:00000001

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial2]
"Index"=dword:00000004

[HKEY_LOCAL_MACHINE\Platform]
"Restart"="exit"

[HKEY_LOCAL_MACHINE\Platform\Devices]
"COM1:"="sim"
"COM3:"="pty"
"COM4:"="pty"
"COM5:"="pty"
"RIL1:"="sim-reset"

[HKEY_LOCAL_MACHINE\Platform\Simulator]
"FirmwareAtStart"=dword:00000001
)REG";

const std::string& profile_default_text()
{
    static const std::string* text = new std::string(kDefaultProfile);
    return *text;
}

} // namespace plat
