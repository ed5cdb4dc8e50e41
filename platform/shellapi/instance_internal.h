// Inside the window namespace (instance.h): the holder's listener, and the
// helpers for the request lines and the directories.
//
// The listener takes connections on the namespace's socket and serves the
// requests they carry, several at a time:
//   - Connections are read in one poll loop: each gets kServeReadMs from its
//     accept to deliver its request line, and no more than kMaxPending wait
//     at once (beyond that the oldest is dropped), so idle connections of a
//     peer cannot starve a real one.
//   - Complete requests are answered by kMaxServing server threads (more
//     wait their turn), because answering "find" may wait for a starting
//     program's window. The servers are made at the start, so answering
//     needs no new descriptor.
//   - Out of descriptors (EMFILE, ENFILE), the listener drops its oldest
//     waiting connection, or gives up a spare descriptor it keeps for the
//     purpose, to take the next one; with neither it pauses 100 ms. It never
//     retries accept at once.
//   - Peers of another user are refused (SO_PEERCRED) with a debug line.
//
// Only the instance*.cpp files include it.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace plat
{

constexpr DWORD kServeReadMs = 1000; // a client gets this long to send its request
constexpr size_t kMaxPending = 64;   // connections waiting for their request line
constexpr size_t kMaxServing = 4;    // requests being answered at once

// Answers one request line (and acts on it).
using ServeFn = std::string (*)(const std::string& line);

struct Listener;

// Starts serving listenFd (which stays the caller's to close after
// listener_stop). Null with *error when it cannot start.
Listener* listener_start(int listenFd, ServeFn serve, std::string* error);
// Ends the loop, lets the requests being served finish, and frees it.
void listener_stop(Listener* listener);
// Waits until no request is between being acted on and its answer being
// sent, for at most ms. A command may take the device (and the process)
// down as soon as it is posted; the restart waits here so that the asker
// still gets its answer.
void listener_wait_answers(DWORD ms);

// ---------------------------------------------------------------------------
// Replies to commands (instance_reply.cpp)
// ---------------------------------------------------------------------------
// For command id just posted to target: once it is handled, "\t" and the
// reply registered for id; empty when none is registered or it has nothing
// to say.
std::string command_reply_field(HWND target, int id);
// While the namespace is being left, waits for a command's handling end at
// once.
void command_replies_stopping(bool stopping);

// ---------------------------------------------------------------------------
// Lines and places (instance_lines.cpp)
// ---------------------------------------------------------------------------
constexpr uintptr_t kHandleLowBits = 0xF; // local window handles have these clear

uint64_t fnv1a(const std::string& text);
std::string hex64(uint64_t v);                          // 16 lowercase hex digits
bool parse_hex(const std::string& text, uint64_t* out); // 1 to 16 hex digits, nothing else
std::vector<std::string> split_tabs(const std::string& line);
bool clean_field(const std::string& text); // no tab, CR or LF
// Creates the folders above dir that are missing (mode 0700).
void instance_make_parents(const std::string& dir);

} // namespace plat
