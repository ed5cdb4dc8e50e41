// Firmware sets: the four payload images the download sends, chosen at run
// time instead of the ones embedded in the program, and checked before the
// module is touched.
//
// A set is a folder:
//   boot1.bin (184 bytes), boot2.bin (7,414), filesize.bin (3: 3f ec e6),
//   firmware.bin (2,490,264)   the payloads, under the build's names
//   SHA256SUMS                 sha256sum's format ("HEX  NAME" or "HEX *NAME"),
//                              so that "sha256sum -c SHA256SUMS" checks it
//   VERSION                    first line "NAME VERSION" ("gsm-module 2.41")
//   SHA256SUMS.minisig         optional: minisign's detached signature
//
//   firmware_set_load      reads a folder once into memory and checks it: the
//                          folder, SHA256SUMS and the key files pass
//                          path_trusted; each payload is a regular file (not a
//                          link, FIFO or device) of its exact size whose
//                          SHA-256 is its SHA256SUMS line; a signature, when
//                          there is one (or when one is required), verifies
//                          with a trusted key. False with one reason that
//                          names the file. The bytes checked are the bytes
//                          served: nothing is read again.
//   firmware_set_embedded  the program's own images, described with where
//                          they came from (stand-ins or a delivered folder)
//   firmware_set_serve     from now on FindResourceW / LoadResource /
//                          SizeofResource for type "HEX" 107-110 yield the
//                          set's bytes; the set must live as long as the
//                          program (firmware_set_current names it)
//   firmware_key_folders   where trusted minisign public keys (*.pub) are
//                          read: /etc/fwutil/keys, then
//                          $XDG_CONFIG_HOME/fwutil/keys (~/.config/fwutil/keys);
//                          $FWU_KEYS_DIRS (folders separated by ':') or
//                          firmware_set_key_folders replace the list
//   minisign_*             the signature format, verified with libsodium
//                          (Ed25519; BLAKE2b-512 for the prehashed "ED" form)
//
// Platform-internal: the process entry and the tests include it.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat
{

constexpr int kFirmwarePayloads = 4;

struct FirmwarePayload
{
    const char* file; // its name in a set folder
    WORD id;          // the "HEX" resource it stands behind
    DWORD bytes;      // its exact length
};

// boot1.bin 107, boot2.bin 108, filesize.bin 109, firmware.bin 110.
extern const FirmwarePayload kFirmwarePayloadTable[kFirmwarePayloads];

enum class FirmwareSource
{
    EmbeddedStandin,   // the generated stand-ins built into the program
    EmbeddedDelivered, // a delivered folder built into the program
    Folder,            // a set folder read at run time
};

// "embedded stand-in", "embedded delivered", "folder".
const char* firmware_source_name(FirmwareSource source);

struct FirmwareSet
{
    FirmwareSource source = FirmwareSource::EmbeddedStandin;
    std::string path;    // the folder (a delivered build's folder for EmbeddedDelivered); empty for stand-ins
    std::string name;    // VERSION's first word; empty when unknown
    std::string version; // VERSION's second word; empty when unknown
    const BYTE* data[kFirmwarePayloads] = {};      // the bytes served, in table order
    std::vector<BYTE> held[kFirmwarePayloads];     // a folder's bytes, read once
    mutable std::string sha256[kFirmwarePayloads]; // lowercase hex; filled by firmware_payload_sha256
    bool signatureGood = false;                    // SHA256SUMS.minisig verified with a trusted key
    std::string keyId;                             // that key's id as minisign prints it (16 uppercase hex digits)
    std::string keyFile;                           // the .pub file it came from
};

// Reads and checks the set folder dir. requireSignature: a set without
// SHA256SUMS.minisig is refused.
bool firmware_set_load(const std::string& dir, bool requireSignature, FirmwareSet* set, std::string* reason);
// The program's embedded images (from the resource table registered at start).
// False with the reason when an image is absent or of the wrong length.
bool firmware_set_embedded(bool standin, const std::string& dir, const std::string& name, const std::string& version,
                           FirmwareSet* set, std::string* reason);
// The SHA-256 of payload i (table order), computed once.
const std::string& firmware_payload_sha256(const FirmwareSet& set, int i);
// "gsm-module 2.41", or "stand-in images" / "unnamed set".
std::string firmware_set_title(const FirmwareSet& set);

// Serves the set's bytes for "HEX" 107-110. set stays owned by the platform.
void firmware_set_serve(std::unique_ptr<FirmwareSet> set);
// The set being served, or null before firmware_set_serve.
const FirmwareSet* firmware_set_current();

std::vector<std::string> firmware_key_folders();
void firmware_set_key_folders(const std::vector<std::string>& folders);

// A refused set leaves nothing to send: the command that starts an update
// (commandId, a WM_COMMAND id) is taken away. The window system drops it
// before any window procedure sees it, shows `why` on the status line and
// writes it to the trace, so no step of an update (the radio's suspension,
// the port's open, a byte on the line) ever runs.
void firmware_refuse_command(WORD commandId, const std::string& why);
// For the window system: true with the reason when commandId is refused.
bool firmware_command_refused(WORD commandId, std::string* why);

// ---------------------------------------------------------------------------
// minisign (minisign.cpp)
// ---------------------------------------------------------------------------
struct MinisignKey
{
    uint8_t id[8];         // the key id, as stored (little-endian)
    uint8_t publicKey[32]; // Ed25519
    std::string file;      // where it was read
};

// The key id as minisign prints it: the 8 bytes read as a little-endian
// number, 16 uppercase hex digits.
std::string minisign_key_id(const uint8_t id[8]);
// A public key file's text ("untrusted comment: ..." then the base64 line).
bool minisign_parse_public_key(const std::string& text, MinisignKey* key, std::string* why);
// The trusted keys in the key folders. A key file that is not trusted
// (path_trusted) or not a key is left out, with a note saying why.
std::vector<MinisignKey> minisign_trusted_keys(std::vector<std::string>* notes);

struct MinisignResult
{
    std::string keyId;          // of the signature (also when its key is unknown)
    std::string keyFile;        // the trusted key that verified it
    std::string trustedComment; // the text after "trusted comment: "
};

// Verifies sigText (a .minisig file's text) over message with one of keys.
// False with why: malformed or truncated, signed by a key that is not among
// keys, a signature that does not match the message, or a trusted comment
// that was altered. sigName and messageName name the files in why.
bool minisign_verify(const std::string& message, const std::string& sigText, const std::vector<MinisignKey>& keys,
                     const std::string& sigName, const std::string& messageName, MinisignResult* result,
                     std::string* why);

} // namespace plat
