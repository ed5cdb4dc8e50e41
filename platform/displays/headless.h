// The headless display with an output stream: the windows exist with no
// screen, boxes are recorded and given their default answer at once (IDOK;
// No for a yes/no box whose default is No) (the default headless
// display of display.cpp), and what a person would read is written to a
// descriptor as it appears, so a script can follow the tool:
//   - every log pane's new text, exactly as the tool inserted it (UTF-8, the
//     tool's own "\r\n" line ends kept);
//   - every message box, when it is shown, as one line
//     "[box] CAPTION: TEXT\n" (line breaks inside the text become spaces),
//     on a line of its own;
//   - every dialog, when it is shown, as "[dialog] CAPTION: TEXT\n" (its
//     static texts). A dialog is not answered here: nothing ends it but its
//     own OK or Cancel, or its owner closing (--post 101 closes the tool).
// A reader that stops reading for kHeadlessWriteWaitMs loses output instead
// of stopping the tool; the next write says how much was lost.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/windowing/display.h"

namespace plat
{

constexpr int kHeadlessWriteWaitMs = 2000;

// Starts writing to fd (not taken over: the caller keeps it open) and returns
// the display to pass to display_set().
const DisplayOps* headless_display_open(int fd);
// Stops writing; the display then writes nothing more.
void headless_display_close();

} // namespace plat
