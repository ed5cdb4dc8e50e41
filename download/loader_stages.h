// Loader stages: the two programs the tool loads into the module once its boot
// ROM has answered the sync bytes.
//
//   SendStage1Loader()  one frame: length 184, the IDR_BOOT1 image, XOR check
//                       byte; 1 when the module acknowledged it with 0xA5.
//   SendStage2Loader()  length high and low byte, the IDR_BOOT2 image in blocks
//                       of 1000 (0xAA awaited after each full block), XOR check
//                       byte; 1 when the module acknowledged it with 0xA5.
// Both run on the download worker over the open module link; 0 means the run
// starts a new attempt.
#pragma once

#include "platform/win32.h"

#define STAGE1_FRAME_LENGTH (1 + 184 + 1)
#define STAGE2_BLOCK_LENGTH 1000

#define ACK_ACCEPTED 0xA5 // stage or command accepted
#define ACK_BLOCK 0xAA    // full block received, send the next

int SendStage1Loader();
int SendStage2Loader();
