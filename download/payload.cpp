// Lookup of the payload images among the program's resources.
#include "download/payload.h"

#include "shell/log.h"

struct PayloadEntry
{
    int nKind;
    WORD wId;
    LPCWSTR szFoundLine; // debug line written when the resource is found
};

// clang-format off
// kind               id             debug line when found
static const PayloadEntry g_payloadTable[] = {
    { PAYLOAD_BOOT1,     IDR_BOOT1,     u"get resource IDR_BOOT1 succeed!!!!\r\n" },
    { PAYLOAD_BOOT2,     IDR_BOOT2,     u"get resource IDR_BOOT2 succeed!!!!\r\n" },
    { PAYLOAD_FILE_SIZE, IDR_FILE_SIZE, u"get resource IDR_FILE_SIZE succeed!!!!\r\n" },
    { PAYLOAD_FW,        IDR_FW,        u"get resource IDR_FW succeed!!!!\r\n" },
};
// clang-format on

static const PayloadEntry* FindPayloadEntry(int kind)
{
    for (const PayloadEntry& pe : g_payloadTable)
    {
        if (pe.nKind == kind)
            return &pe;
    }
    return nullptr;
}

const BYTE* LoadPayload(int kind)
{
    const PayloadEntry* pEntry = FindPayloadEntry(kind);
    if (pEntry == nullptr)
        return nullptr;

    HINSTANCE hInst = g_hInst.load();
    HRSRC hRes = FindResourceW(hInst, MAKEINTRESOURCEW(pEntry->wId), PAYLOAD_RESOURCE_TYPE);
    if (hRes == nullptr)
        return nullptr;
    DebugPrint(pEntry->szFoundLine);

    HGLOBAL hData = LoadResource(hInst, hRes);
    if (hData == nullptr)
        return nullptr;
    // The loaded handle is already the address of the bytes; locking keeps it.
    const BYTE* pBytes = (const BYTE*)LockResource(hData);

    DebugPrint(u"Yes, we lock resources!!!!\r\n");
    return pBytes;
}
