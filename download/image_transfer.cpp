// Firmware image transfer: command sequence, blocks, check bytes, and what
// follows a successful flash. One helper per step of the sequence, in the
// order the stage-2 loader serves them; each returns 1 when the module is
// still answering and 0 when the run should stop there.
#include "download/image_transfer.h"

#include "devctl/radio_control.h"
#include "download/loader_stages.h"
#include "download/module_link.h"
#include "download/payload.h"
#include "download/run_progress.h"
#include "shell/log.h"

// What the steps hand on to each other.
struct ImageTransfer
{
    const BYTE* pImage; // the IDR_FW bytes, once loaded
    DWORD dwLength;     // bytes of the image
    BYTE abLength[3];   // the length, most significant byte first
    BYTE bEvenCheck;    // E: XOR of the bytes at even offsets
    BYTE bOddCheck;     // O: XOR of the bytes at odd offsets
};

// True when the latest wait ended because the module went silent or the port
// was lost: no point in sending the rest, every further wait would end alike.
static int TransferBroken()
{
    return LinkWaitEnd() >= LINK_WAIT_SILENT;
}

static void WriteToModule(const BYTE* pBytes, DWORD cbBytes, DWORD* pdwWritten)
{
    WriteLink(pBytes, cbBytes, pdwWritten);
}

// 0x50, then the loader's memory report up to its 0xA5 (not examined).
static int SendConfigureBaud()
{
    SendByte(CMD_CONFIGURE_BAUD);
    DebugPrint(u"Send 0x50 to configure baudrate as 115.2k !!!\r\n");
    Sleep(100);

    DebugPrint(u"Memory Check, We would get 3 char here !!!!\r\n");
    SetLinkSilenceLimit(PhaseSilence(SILENCE_COMMAND_MS));
    WaitForByte(ACK_ACCEPTED);
    int fAnswering = !TransferBroken();
    DebugPrint(u"Memory Check, We should get 3 char above !!!!\r\n");
    return fAnswering;
}

// 0x54 and the fixed file size, then three 0xA5 (not examined).
static int SendFixedFileSize()
{
    static const BYTE abFixedSize[3] = {FIXED_FILE_SIZE_0, FIXED_FILE_SIZE_1, FIXED_FILE_SIZE_2};
    DWORD dwWritten = 0;

    SendByte(CMD_IMAGE_TRANSFER);
    DebugPrint(u"Write fixed file size\r\n");
    WriteToModule(abFixedSize, 3, &dwWritten);
    // The module erases its flash before it answers.
    SetLinkSilenceLimit(PhaseSilence(SILENCE_ERASE_MS));
    for (int i = 0; i < 3; i++)
    {
        WaitForByte(ACK_ACCEPTED);
        if (TransferBroken())
            return 0;
    }
    return 1;
}

// The IDR_FW image and its three length bytes; 0 when the image is missing.
static int SendImageLength(ImageTransfer* pXfer)
{
    DWORD dwWritten = 0;

    pXfer->pImage = LoadPayload(PAYLOAD_FW);
    if (pXfer->pImage == nullptr)
    {
        DebugPrint(u"Download.bin : Read File Error!!!\r\n");
        SetRunReason(RUNREASON_NO_IMAGE);
        return 0;
    }
    DebugPrint(u"Download.bin open succeed!!!! \r\n");
    WriteToModule(pXfer->abLength, 3, &dwWritten);
    DebugPrint(u"Write the compressed file size\r\n");
    Sleep(20);
    return 1;
}

// Offsets count from the start of the block; every block but the last is
// 4000 bytes long, so they share their parity with the offsets in the image.
static void FoldCheckBytes(ImageTransfer* pXfer, const BYTE* pBlock, DWORD cbBlock)
{
    for (DWORD i = 0; i < cbBlock; i++)
    {
        if (i % 2 == 0)
            pXfer->bEvenCheck ^= pBlock[i];
        else
            pXfer->bOddCheck ^= pBlock[i];
    }
}

// One "#" per block, a line end after every 23rd.
static void ShowBlockMark(HWND hwnd, int* pnMarks)
{
    (*pnMarks)++;
    TraceLog(hwnd, u"#");
    *pnMarks %= IMAGE_MARKS_PER_LINE;
    if (*pnMarks == 0)
        TraceLog(hwnd, u"\r\n");
}

// The progress of an acknowledged block, once the next block is on its way:
// posting it wakes the window's thread, which must not hold up the block.
// *pdwAcked is 0 when there is none to show.
static void ShowAckedProgress(HWND hwnd, const ImageTransfer* pXfer, DWORD* pdwAcked)
{
    if (*pdwAcked != 0)
        ShowImageProgress(hwnd, *pdwAcked, pXfer->dwLength);
    *pdwAcked = 0;
}

// The image in blocks of 4000 bytes, the last one shorter; 0xAA awaited (not
// examined) after each full block.
static int SendImageBlocks(HWND hwnd, ImageTransfer* pXfer)
{
    DWORD dwSent = 0;
    DWORD dwAcked = 0; // acknowledged, its progress not shown yet
    int nMarks = 0;

    SetLinkSilenceLimit(PhaseSilence(SILENCE_BLOCK_MS));
    ShowRunPhase(hwnd, RUNPHASE_IMAGE, pXfer->dwLength);
    while (dwSent != pXfer->dwLength)
    {
        DWORD dwRemaining = pXfer->dwLength - dwSent;
        DWORD cbBlock = dwRemaining > IMAGE_BLOCK_LENGTH ? IMAGE_BLOCK_LENGTH : dwRemaining;
        const BYTE* pBlock = pXfer->pImage + dwSent;
        DWORD dwWritten = 0;

        FoldCheckBytes(pXfer, pBlock, cbBlock);
        dwSent += cbBlock;
        WriteToModule(pBlock, cbBlock, &dwWritten);
        ShowAckedProgress(hwnd, pXfer, &dwAcked);
        DebugPrint(u"Write %d bytes!, Totally write %d bytes\r\n", dwWritten, dwSent);
        ShowBlockMark(hwnd, &nMarks);
        if (cbBlock < IMAGE_BLOCK_LENGTH)
        {
            DebugPrint(u" The last section sent; %d chars!!\r\n", dwWritten);
            break;
        }
        WaitForByte(ACK_BLOCK); // not examined: the final acknowledgement decides
        if (TransferBroken())
            return 0;
        dwAcked = dwSent;
    }
    ShowAckedProgress(hwnd, pXfer, &dwAcked);
    // The last block has no 0xAA of its own: it counts once written, and the
    // final 0xA5 of the verify answers for it.
    ShowImageProgress(hwnd, dwSent, pXfer->dwLength);
    ShowRunPhase(hwnd, RUNPHASE_VERIFY, 0);
    return 1;
}

// E and O, then the final 0xA5: the only acknowledgement that decides.
static int SendCheckBytes(const ImageTransfer* pXfer)
{
    DebugPrint(u" Sending Checksum %X  %X !!\r\n", pXfer->bEvenCheck, pXfer->bOddCheck);
    SendByte(pXfer->bEvenCheck);
    SendByte(pXfer->bOddCheck);
    DebugPrint(u"File upload complete!! file size %d , %X h , Size char %X  %X  %X\r\n", pXfer->dwLength,
               pXfer->dwLength, pXfer->abLength[0], pXfer->abLength[1], pXfer->abLength[2]);
    SetLinkSilenceLimit(PhaseSilence(SILENCE_FLASH_MS));
    return WaitForByte(ACK_ACCEPTED);
}

// The module holds the new firmware: tell the user, reset the module, restart
// the device (which goes down inside RebootDevice when the restart works).
static void RestartAfterFlash(HWND hwnd)
{
    DebugPrint(u"Firmware Updated....Done");
    TraceLog(hwnd, u"\r\nFirmware Updated....Done\r\n");
    g_keepForeground.store(0);
    ReportRun(RUNREPORT_STATE, RUNSTATE_FLASHED);
    ShowRunPhase(hwnd, RUNPHASE_RESTART, 0);
    Sleep(200);
    MessageBoxW(nullptr, u"Reboot device/Reset module !", u"Successful", MB_OK);
    ResetModule(nullptr, 0, 0, 0);
    RebootDevice(nullptr, 0, 0, 0);
}

int SendFirmwareImage(HWND hwnd)
{
    ImageTransfer xfer = {};
    xfer.dwLength = FW_LENGTH;
    xfer.abLength[0] = (BYTE)(xfer.dwLength / 65536);
    xfer.abLength[1] = (BYTE)((xfer.dwLength / 256) % 256);
    xfer.abLength[2] = (BYTE)(xfer.dwLength % 256);

    ShowRunPhase(hwnd, RUNPHASE_ERASE, 0);
    if (!SendConfigureBaud() || !SendFixedFileSize() || !SendImageLength(&xfer) || !SendImageBlocks(hwnd, &xfer))
    {
        DebugPrint(u"Module stopped answering, image transfer abandoned\r\n");
    }
    else if (SendCheckBytes(&xfer))
    {
        RestartAfterFlash(hwnd);
        return 1;
    }
    DebugPrint(u"Update firmware FAIL!!!");
    return 0;
}
