// Lookup of the payload images among the program's resources.
#include "download/payload.h"

#include "shell/log.h"

struct PayloadEntry
{
    int kind;
    WORD id;
    LPCWSTR foundLine; // debug line written when the resource is found
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
    for (const PayloadEntry& entry : g_payloadTable)
    {
        if (entry.kind == kind)
            return &entry;
    }
    return nullptr;
}

const BYTE* LoadPayload(int kind)
{
    const PayloadEntry* entry = FindPayloadEntry(kind);
    if (entry == nullptr)
        return nullptr;

    HINSTANCE hInst = g_hInst.load();
    HRSRC hRes = FindResourceW(hInst, MAKEINTRESOURCEW(entry->id), PAYLOAD_RESOURCE_TYPE);
    if (hRes == nullptr)
        return nullptr;
    DebugPrint(entry->foundLine);

    HGLOBAL hData = LoadResource(hInst, hRes);
    if (hData == nullptr)
        return nullptr;
    // The loaded handle is already the address of the bytes; locking keeps it.
    const BYTE* bytes = (const BYTE*)LockResource(hData);

    DebugPrint(u"Yes, we lock resources!!!!\r\n");
    return bytes;
}
