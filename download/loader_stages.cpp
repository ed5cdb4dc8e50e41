// Loader stages: the framed stage-1 loader and the block-wise stage-2 loader.
#include "download/loader_stages.h"

#include "download/module_link.h"
#include "download/payload.h"
#include "shell/log.h"

int SendStage1Loader()
{
    BYTE abFrame[STAGE1_FRAME_LENGTH] = {};
    BYTE bCheck = 0;
    DWORD dwWritten = 0;

    DebugPrint(u"Bootload1_v2.bin open succeed!!!!\r\n");
    const BYTE* pImage = LoadPayload(PAYLOAD_BOOT1);
    if (pImage == nullptr)
    {
        DebugPrint(u"BootLoad_v2_BIN : Read File Error!!!");
        return 0;
    }
    for (int i = 0; i < BOOT1_LENGTH; i++)
    {
        abFrame[1 + i] = pImage[i];
        bCheck ^= pImage[i];
    }
    abFrame[0] = BOOT1_LENGTH;
    abFrame[1 + BOOT1_LENGTH] = bCheck;
    WriteLink(abFrame, STAGE1_FRAME_LENGTH, &dwWritten);
    return WaitForByte(ACK_ACCEPTED) ? 1 : 0;
}

int SendStage2Loader()
{
    BYTE bCheck = 0;
    DWORD dwWritten = 0;

    const BYTE* pImage = LoadPayload(PAYLOAD_BOOT2);
    if (pImage == nullptr)
    {
        DebugPrint(u"BootLoad2_v3_BIN : Read File Error!!!\r\n");
        return 0;
    }
    DebugPrint(u"Bootload2_v3.bin open succeed!!!! \r\n");

    int nRemaining = BOOT2_LENGTH;
    BYTE bLengthHigh = (BYTE)(nRemaining / 256);
    BYTE bLengthLow = (BYTE)(nRemaining % 256);
    SendByte(bLengthHigh);
    SendByte(bLengthLow);
    Sleep(20);

    const BYTE* pNext = pImage;
    for (;;)
    {
        int nTake = nRemaining >= STAGE2_BLOCK_LENGTH ? STAGE2_BLOCK_LENGTH : nRemaining;
        nRemaining -= nTake;
        if (nTake == 0)
            break;
        for (int i = 0; i < nTake; i++)
            bCheck ^= pNext[i];
        WriteLink(pNext, (DWORD)nTake, &dwWritten);
        pNext += nTake;
        if (nTake < STAGE2_BLOCK_LENGTH)
        {
            DebugPrint(u" The last section sent : %d chars!!\r\n", nTake);
            break;
        }
        // Another byte, a break or a line error does not stop the stage; a module
        // gone silent or a lost port does, so that a new attempt begins at once
        // instead of after one silence bound per block.
        if (!WaitForByte(ACK_BLOCK) && LinkWaitEnd() >= LINK_WAIT_SILENT)
            return 0;
    }
    SendByte(bCheck);
    DebugPrint(u"Bootload2 : %X  %X  %d checkByte : %X\r\n", bLengthHigh, bLengthLow, nRemaining, bCheck);
    return WaitForByte(ACK_ACCEPTED) ? 1 : 0;
}
