// Firmware image transfer: command sequence, blocks, check bytes, and what
// follows a successful flash.
#include "download/image_transfer.h"

#include "devctl/radio_control.h"
#include "download/loader_stages.h"
#include "download/module_link.h"
#include "download/payload.h"
#include "shell/log.h"

// True when the latest wait ended because the module went silent or the port
// was lost: no point in sending the rest, every further wait would end alike.
static int TransferBroken()
{
    return LinkWaitEnd() >= LINK_WAIT_SILENT;
}

int SendFirmwareImage(HWND hwnd)
{
    static const BYTE fixedSize[3] = {FIXED_FILE_SIZE_0, FIXED_FILE_SIZE_1, FIXED_FILE_SIZE_2};
    DWORD written = 0;
    int broken = 0;

    SendByte(CMD_CONFIGURE_BAUD);
    DebugPrint(u"Send 0x50 to configure baudrate as 115.2k !!!\r\n");
    Sleep(100);

    DebugPrint(u"Memory Check, We would get 3 char here !!!!\r\n");
    SetLinkSilenceLimit(PhaseSilence(SILENCE_COMMAND_MS));
    WaitForByte(ACK_ACCEPTED);
    broken = TransferBroken();
    DebugPrint(u"Memory Check, We should get 3 char above !!!!\r\n");

    const BYTE* image = nullptr;
    DWORD length = FW_LENGTH;
    BYTE size0 = (BYTE)(length / 65536);
    BYTE size1 = (BYTE)((length / 256) % 256);
    BYTE size2 = (BYTE)(length % 256);
    BYTE evenCheck = 0;
    BYTE oddCheck = 0;

    if (!broken)
    {
        SendByte(CMD_IMAGE_TRANSFER);
        DebugPrint(u"Write fixed file size\r\n");
        WriteFile(g_pModulePort.load()->hCom, fixedSize, 3, &written, nullptr);
        // The module erases its flash before it answers.
        SetLinkSilenceLimit(PhaseSilence(SILENCE_ERASE_MS));
        for (int i = 0; i < 3 && !broken; i++)
        {
            WaitForByte(ACK_ACCEPTED);
            broken = TransferBroken();
        }
    }
    if (!broken)
    {
        image = LoadPayload(PAYLOAD_FW);
        if (image == nullptr)
        {
            DebugPrint(u"Download.bin : Read File Error!!!\r\n");
            broken = 1;
        }
    }
    if (!broken)
    {
        DebugPrint(u"Download.bin open succeed!!!! \r\n");
        BYTE sizeBytes[3] = {size0, size1, size2};
        WriteFile(g_pModulePort.load()->hCom, sizeBytes, 3, &written, nullptr);
        DebugPrint(u"Write the compressed file size\r\n");
        Sleep(20);

        SetLinkSilenceLimit(PhaseSilence(SILENCE_BLOCK_MS));
        DWORD sent = 0;
        int blockCount = 0;
        while (sent != length)
        {
            DWORD take = length - sent > IMAGE_BLOCK_LENGTH ? IMAGE_BLOCK_LENGTH : length - sent;
            const BYTE* block = image + sent;
            for (DWORD i = 0; i < take; i++)
            {
                if (i % 2 == 0)
                    evenCheck ^= block[i];
                else
                    oddCheck ^= block[i];
            }
            sent += take;
            WriteFile(g_pModulePort.load()->hCom, block, take, &written, nullptr);
            DebugPrint(u"Write %d bytes!, Totally write %d bytes\r\n", written, sent);
            blockCount++;
            TraceLog(hwnd, u"#");
            blockCount %= IMAGE_MARKS_PER_LINE;
            if (blockCount == 0)
                TraceLog(hwnd, u"\r\n");
            if (take < IMAGE_BLOCK_LENGTH)
            {
                DebugPrint(u" The last section sent; %d chars!!\r\n", written);
                break;
            }
            WaitForByte(ACK_BLOCK); // not examined: the final acknowledgement decides
            if (TransferBroken())
            {
                broken = 1;
                break;
            }
        }
    }
    if (!broken)
    {
        DebugPrint(u" Sending Checksum %X  %X !!\r\n", evenCheck, oddCheck);
        SendByte(evenCheck);
        SendByte(oddCheck);
        DebugPrint(u"File upload complete!! file size %d , %X h , Size char %X  %X  %X\r\n", length, length, size0,
                   size1, size2);
        SetLinkSilenceLimit(PhaseSilence(SILENCE_FLASH_MS));
        if (WaitForByte(ACK_ACCEPTED))
        {
            DebugPrint(u"Firmware Updated....Done");
            TraceLog(hwnd, u"\r\nFirmware Updated....Done\r\n");
            g_keepForeground.store(0);
            ReportRun(RUNREPORT_STATE, RUNSTATE_FLASHED);
            Sleep(200);
            MessageBoxW(nullptr, u"Reboot device/Reset module !", u"Successful", MB_OK);
            ResetModule(nullptr, 0, 0, 0);
            RebootDevice(nullptr, 0, 0, 0);
            return 1;
        }
    }
    else
        DebugPrint(u"Module stopped answering, image transfer abandoned\r\n");
    DebugPrint(u"Update firmware FAIL!!!");
    return 0;
}
