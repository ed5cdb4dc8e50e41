// Loader stages: the framed stage-1 loader and the block-wise stage-2 loader.
#include "download/loader_stages.h"

#include "download/module_link.h"
#include "download/payload.h"
#include "shell/log.h"

int SendStage1Loader()
{
    BYTE frame[STAGE1_FRAME_LENGTH] = {};
    BYTE checkByte = 0;
    DWORD written = 0;

    DebugPrint(u"Bootload1_v2.bin open succeed!!!!\r\n");
    const BYTE* image = LoadPayload(PAYLOAD_BOOT1);
    if (image == nullptr)
    {
        DebugPrint(u"BootLoad_v2_BIN : Read File Error!!!");
        return 0;
    }
    for (int i = 0; i < BOOT1_LENGTH; i++)
    {
        frame[1 + i] = image[i];
        checkByte ^= image[i];
    }
    frame[0] = BOOT1_LENGTH;
    frame[1 + BOOT1_LENGTH] = checkByte;
    WriteFile(g_pModulePort.load()->hCom, frame, STAGE1_FRAME_LENGTH, &written, nullptr);
    return WaitForByte(ACK_ACCEPTED) ? 1 : 0;
}

int SendStage2Loader()
{
    BYTE checkByte = 0;
    DWORD written = 0;

    const BYTE* image = LoadPayload(PAYLOAD_BOOT2);
    if (image == nullptr)
    {
        DebugPrint(u"BootLoad2_v3_BIN : Read File Error!!!\r\n");
        return 0;
    }
    DebugPrint(u"Bootload2_v3.bin open succeed!!!! \r\n");

    int remaining = BOOT2_LENGTH;
    BYTE lengthHigh = (BYTE)(remaining / 256);
    BYTE lengthLow = (BYTE)(remaining % 256);
    SendByte(lengthHigh);
    SendByte(lengthLow);
    Sleep(20);

    const BYTE* next = image;
    for (;;)
    {
        int take = remaining >= STAGE2_BLOCK_LENGTH ? STAGE2_BLOCK_LENGTH : remaining;
        remaining -= take;
        if (take == 0)
            break;
        for (int i = 0; i < take; i++)
            checkByte ^= next[i];
        WriteFile(g_pModulePort.load()->hCom, next, (DWORD)take, &written, nullptr);
        next += take;
        if (take < STAGE2_BLOCK_LENGTH)
        {
            DebugPrint(u" The last section sent : %d chars!!\r\n", take);
            break;
        }
        // Another byte, a break or a line error does not stop the stage; a module
        // gone silent or a lost port does, so that a new attempt begins at once
        // instead of after one silence bound per block.
        if (!WaitForByte(ACK_BLOCK) && LinkWaitEnd() >= LINK_WAIT_SILENT)
            return 0;
    }
    SendByte(checkByte);
    DebugPrint(u"Bootload2 : %X  %X  %d checkByte : %X\r\n", lengthHigh, lengthLow, remaining, checkByte);
    return WaitForByte(ACK_ACCEPTED) ? 1 : 0;
}
