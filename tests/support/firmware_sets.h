// Firmware set folders for tests: random payloads of the exact sizes, the
// SHA256SUMS that sha256sum itself writes, a VERSION, and minisign keys and
// signatures made by the real minisign program.
//
//   make_set       a valid, unsigned set in a new folder (0700)
//   write_sums     SHA256SUMS of the payloads and VERSION, by sha256sum
//   have_minisign  whether the minisign program is installed
//   make_key       a key pair DIR/NAME.pub, DIR/NAME.key, no password
//   sign           SHA256SUMS.minisig with a key (legacy: minisign -l)
#pragma once

#include <string>

namespace fwsets
{

bool make_set(const std::string& dir, const std::string& version = "gsm-module 2.41");
bool write_sums(const std::string& dir);
bool have_minisign();
bool make_key(const std::string& dir, const std::string& name);
bool sign(const std::string& setDir, const std::string& keyFile, bool legacy = false);
std::string read_bytes(const std::string& path);
// The key id of a minisign public key file as the tool prints it: 16 hex
// digits (minisign's own comment leaves out leading zeros).
std::string key_id(const std::string& pubPath);
bool write_bytes(const std::string& path, const std::string& bytes, int mode = 0600);
// The lowercase hex SHA-256 sha256sum prints for a file.
std::string sha256sum_of(const std::string& path);

} // namespace fwsets
