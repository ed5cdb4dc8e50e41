// Which firmware set this run sends, and whether it may: --firmware, else the
// profile's HKEY_LOCAL_MACHINE\Platform\Firmware "Set", else the images built
// into the program. The set is read and checked here, before the radio is
// suspended or the port opened; an accepted set is served to the program's
// payload lookups, a refused one takes the update command away.
#include "app/app.h"

#include "download/run.h" // IDM_UPDATE_GO, the command a refused set takes away
#include "platform/kernel/firmware_set.h"
#include "platform/kernel/text.h"
#include "platform/profile/profile.h"
#include "resources/resource_table.h" // where the embedded images came from

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#ifndef FWU_DATA_DIR
#define FWU_DATA_DIR "/usr/share/fwutil"
#endif

namespace app
{

const char kFirmwareStandin[] = "standin";

namespace
{

const char16_t kFirmwareKey[] = u"HKEY_LOCAL_MACHINE\\Platform\\Firmware";

bool is_folder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The profile's Firmware key: "Set" names a set, "RequireSignature" (a DWORD,
// non-zero) refuses a set without a trusted signature.
void profile_firmware(Firmware* f)
{
    std::u16string set;
    DWORD require = 0;
    if (plat::registry_get_string(kFirmwareKey, u"Set", &set) && !set.empty())
    {
        f->asked = plat::utf16_to_utf8(set);
        f->askedBy = "the profile";
    }
    f->requireSignature = plat::registry_get_dword(kFirmwareKey, u"RequireSignature", &require) && require != 0;
}

std::string where_sets_go()
{
    std::string folders;
    for (const std::string& folder : firmware_folders())
        folders += (folders.empty() ? "" : " or ") + folder + "/NAME";
    return folders;
}

void describe(const plat::FirmwareSet& set, Firmware* f)
{
    f->source = plat::firmware_source_name(set.source);
    f->path = set.path;
    f->name = set.name;
    f->version = set.version;
    f->signature = set.signatureGood ? "good" : "unsigned";
    f->keyId = set.keyId;
    f->keyFile = set.keyFile;
    f->payloads.clear();
    for (int i = 0; i < plat::kFirmwarePayloads; i++)
    {
        const plat::FirmwarePayload& p = plat::kFirmwarePayloadTable[i];
        f->payloads.push_back({p.id, p.file, p.bytes, std::string()});
    }
}

void refuse(Firmware* f, const std::string& reason)
{
    f->refused = true;
    f->reason = reason;
    f->payloads.clear();
    f->signature.clear();
    f->keyId.clear();
}

} // namespace

std::vector<std::string> firmware_folders()
{
    std::vector<std::string> folders;
    const char* data = getenv("XDG_DATA_HOME");
    const char* home = getenv("HOME");
    if (data != nullptr && data[0] == '/')
        folders.push_back(std::string(data) + "/fwutil/firmware");
    else if (home != nullptr && home[0] == '/')
        folders.push_back(std::string(home) + "/.local/share/fwutil/firmware");
    folders.push_back(FWU_DATA_DIR "/firmware");
    return folders;
}

bool find_firmware(const std::string& name, std::string* path, std::string* error)
{
    std::string looked;
    for (const std::string& folder : firmware_folders())
    {
        if (is_folder(folder + "/" + name))
        {
            *path = folder + "/" + name;
            return true;
        }
        looked += (looked.empty() ? "" : ", ") + folder;
    }
    *error = "no firmware set named '" + name + "' in " + looked + " (a folder here is ./" + name + ")";
    return false;
}

Firmware choose_firmware(const Options& o, const Device& device)
{
    Firmware f;
    profile_firmware(&f);
    if (!o.firmware.empty())
    {
        f.asked = o.firmware;
        f.askedBy = "--firmware";
    }
    auto set = std::make_unique<plat::FirmwareSet>();
    std::string reason;
    bool embedded = f.asked.empty() || f.asked == kFirmwareStandin;
    if (embedded)
    {
        if (f.asked == kFirmwareStandin && !g_nImagesStandin)
        {
            refuse(&f, "--firmware standin: this build embeds the delivered set from " + std::string(g_szImagesDir) +
                           ", not stand-ins (leave --firmware out to send it)");
            return f;
        }
        if (!plat::firmware_set_embedded(g_nImagesStandin != 0, g_szImagesDir, g_szImagesName, g_szImagesVersion,
                                         set.get(), &reason))
        {
            refuse(&f, reason);
            return f;
        }
    }
    else
    {
        std::string folder = f.asked;
        if (folder.find('/') == std::string::npos && !find_firmware(f.asked, &folder, &reason))
        {
            refuse(&f, f.askedBy + ": " + reason);
            return f;
        }
        char resolved[PATH_MAX];
        if (realpath(folder.c_str(), resolved) != nullptr)
            folder = resolved; // the record names the set wherever the run started
        f.path = folder;
        f.source = plat::firmware_source_name(plat::FirmwareSource::Folder);
        if (!plat::firmware_set_load(folder, f.requireSignature, set.get(), &reason))
        {
            refuse(&f, reason);
            return f;
        }
    }
    describe(*set, &f);
    // A stand-in is not firmware: through a real port it goes only when asked for by name.
    const plat::DeviceSpec* line = plat::device_find(u"COM1:");
    bool realPort = line != nullptr && line->type == plat::DeviceType::TtyPath;
    if (set->source == plat::FirmwareSource::EmbeddedStandin && realPort && f.asked != kFirmwareStandin)
    {
        refuse(&f, "the program's embedded images are stand-ins, not firmware, and " + device.port +
                       " is a real port: put a delivered set in " + where_sets_go() +
                       " and give --firmware NAME (or --firmware DIR, or the profile's Firmware \"Set\"); "
                       "--firmware standin sends the stand-ins all the same");
        return f;
    }
    if (f.requireSignature && !set->signatureGood && f.asked != kFirmwareStandin)
    {
        refuse(&f, std::string("the ") + plat::firmware_source_name(set->source) +
                       " images carry no signature, and this device's profile requires a signed set "
                       "(Firmware \"RequireSignature\")");
        return f;
    }
    plat::firmware_set_serve(std::move(set));
    const plat::FirmwareSet* served = plat::firmware_set_current();
    for (int i = 0; i < plat::kFirmwarePayloads; i++)
        f.payloads[i].sha256 = served->source == plat::FirmwareSource::Folder
                                   ? plat::firmware_payload_sha256(*served, i)
                                   : std::string(); // the embedded images' digests are taken when asked
    return f;
}

std::string firmware_title(const Firmware& f)
{
    if (!f.name.empty())
        return f.name + " " + f.version;
    return f.source == plat::firmware_source_name(plat::FirmwareSource::EmbeddedStandin) ? "stand-in images"
                                                                                         : "unnamed set";
}

std::string firmware_summary(const Firmware& f)
{
    if (f.refused)
        return "refused: " + f.reason;
    std::string text = firmware_title(f) + " (" + f.source + (f.path.empty() ? "" : " " + f.path);
    if (f.signature == "good")
        text += ", signed, key " + f.keyId;
    else if (f.source == "folder")
        text += ", unsigned";
    return text + ")";
}

int check_firmware(const Firmware& f)
{
    if (f.refused)
    {
        fprintf(stderr, "fwutil: firmware set refused: %s\n", f.reason.c_str());
        return kExitFirmwareRefused;
    }
    const plat::FirmwareSet* set = plat::firmware_set_current();
    printf("source: %s%s\n", f.source.c_str(), f.path.empty() ? "" : (" " + f.path).c_str());
    printf("name: %s\n", f.name.empty() ? "(none)" : f.name.c_str());
    printf("version: %s\n", f.version.empty() ? "(none)" : f.version.c_str());
    for (int i = 0; i < plat::kFirmwarePayloads; i++)
    {
        printf("%-13s %8lu  %s\n", plat::kFirmwarePayloadTable[i].file,
               (unsigned long)plat::kFirmwarePayloadTable[i].bytes, plat::firmware_payload_sha256(*set, i).c_str());
    }
    if (f.signature == "good")
        printf("signature: good, key %s (%s)\n", f.keyId.c_str(), f.keyFile.c_str());
    else
        printf("signature: unsigned\n");
    return kExitOk;
}

void refuse_updates(const Firmware& f)
{
    plat::firmware_refuse_command(IDM_UPDATE_GO, "Update refused: firmware set refused: " + f.reason);
}

} // namespace app
