// Firmware image transfer: the command sequence the stage-2 loader serves and
// the compressed firmware itself.
//
//   SendFirmwareImage(hwnd)  0x50, 0x54 with the fixed file size, the image
//                            length, the image in blocks of 4000 (0xAA awaited
//                            after each full block), the even and odd XOR check
//                            bytes. On the final 0xA5: the success box, the
//                            module reset and the device restart; returns 1.
//                            Otherwise "Update firmware FAIL!!!" and 0.
// hwnd (the main window) is used only for the progress marks and the final
// line, both through TraceLog.
#pragma once

#include "platform/win32.h"

#define IMAGE_BLOCK_LENGTH 4000
#define IMAGE_MARKS_PER_LINE 23

#define CMD_CONFIGURE_BAUD 0x50 // configure-baud-rate command
#define CMD_IMAGE_TRANSFER 0x54 // image-transfer command

// The fixed file size 0x3FA000, most significant byte first.
#define FIXED_FILE_SIZE_0 0x3F
#define FIXED_FILE_SIZE_1 0xA0
#define FIXED_FILE_SIZE_2 0x00

int SendFirmwareImage(HWND hwnd);
