// Payload images: the two loader stages and the compressed module firmware
// that the tool carries inside its program image and sends byte for byte.
//
//   LoadPayload(kind)  the read-only bytes of the image of that kind (PayloadKind
//                      1..4), valid for the life of the process; null for any
//                      other kind or when the image cannot be found. It yields
//                      no length: senders use the fixed lengths below, which
//                      equal the image sizes.
//
// The images are resources of type "HEX" with ids IDR_BOOT1..IDR_FW, looked up
// in g_hInst. Each successful lookup writes two debug lines.
#pragma once

#include "platform/win32.h"

enum PayloadKind
{
    PAYLOAD_BOOT1 = 1,     // stage-1 loader
    PAYLOAD_BOOT2 = 2,     // stage-2 loader
    PAYLOAD_FILE_SIZE = 3, // three size bytes, most significant first; never sent
    PAYLOAD_FW = 4,        // compressed module firmware
};

// Resource type and ids of the images.
#define PAYLOAD_RESOURCE_TYPE u"HEX"
#define IDR_BOOT1 107
#define IDR_BOOT2 108
#define IDR_FILE_SIZE 109
#define IDR_FW 110

// Image lengths in bytes.
#define BOOT1_LENGTH 184
#define BOOT2_LENGTH 7414
#define FILE_SIZE_LENGTH 3
#define FW_LENGTH 2490264

const BYTE* LoadPayload(int kind);
