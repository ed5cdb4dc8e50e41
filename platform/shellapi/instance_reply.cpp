// Replies to posted commands (instance.h): the table the process entry
// fills, and the holder's wait for a command to be handled on the program
// window's thread before it asks the reply.
#include "platform/shellapi/instance_internal.h"

#include "platform/kernel/core.h"
#include "platform/shellapi/instance.h"
#include "platform/windowing/window.h"

#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

namespace plat
{
namespace
{

constexpr size_t kMaxReply = 900; // a reply's bytes: the answer line stays under the reader's bound

struct ReplyEntry
{
    int id;
    CommandReply reply;
};

struct Replies
{
    std::mutex mu;
    std::condition_variable handled;
    std::vector<ReplyEntry> table;
    std::set<uint64_t> awaiting; // posted calls not yet run, by number
    uint64_t lastCall = 0;
    bool stopping = false; // the namespace is being left: waits end now
};

Replies& replies()
{
    static Replies* r = new Replies(); // never destroyed: a listener may outlive static destructors
    return *r;
}

CommandReply reply_for(int id)
{
    Replies& r = replies();
    std::lock_guard<std::mutex> lock(r.mu);
    for (const ReplyEntry& e : r.table)
    {
        if (e.id == id)
            return e.reply;
    }
    return nullptr;
}

// The second posted call: what the command's handling posted to the window
// has been handled as well.
void second_call_ran(HWND, uint64_t call)
{
    Replies& r = replies();
    {
        std::lock_guard<std::mutex> lock(r.mu);
        r.awaiting.erase(call);
    }
    r.handled.notify_all();
}

// The first runs right after the command was handled; it queues the second
// behind the messages the handling posted.
void first_call_ran(HWND hwnd, uint64_t call)
{
    if (!window_post_call(hwnd, second_call_ran, call))
        second_call_ran(hwnd, call);
}

// Waits until target's thread has handled what was posted to it before, and
// what that posted in turn: kReplyWaitMs at most, less when the namespace is
// being left.
void wait_handled(HWND target)
{
    Replies& r = replies();
    std::unique_lock<std::mutex> lock(r.mu);
    uint64_t call = ++r.lastCall;
    r.awaiting.insert(call);
    lock.unlock();
    bool posted = window_post_call(target, first_call_ran, call);
    lock.lock();
    if (posted)
        r.handled.wait_until(lock, deadline_after_ms(kReplyWaitMs),
                             [&] { return r.awaiting.count(call) == 0 || r.stopping; });
    r.awaiting.erase(call);
}

} // namespace

void instance_set_command_reply(int id, CommandReply reply)
{
    Replies& r = replies();
    std::lock_guard<std::mutex> lock(r.mu);
    for (size_t i = 0; i < r.table.size(); i++)
    {
        if (r.table[i].id != id)
            continue;
        if (reply == nullptr)
            r.table.erase(r.table.begin() + (long)i);
        else
            r.table[i].reply = reply;
        return;
    }
    if (reply != nullptr)
        r.table.push_back(ReplyEntry{id, reply});
}

std::string command_reply_field(HWND target, int id)
{
    CommandReply reply = reply_for(id);
    if (reply == nullptr)
        return std::string();
    wait_handled(target);
    std::string text = reply();
    if (text.size() > kMaxReply)
        text.resize(kMaxReply);
    for (char& c : text)
    {
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    }
    return text.empty() ? text : "\t" + text;
}

void command_replies_stopping(bool stopping)
{
    Replies& r = replies();
    {
        std::lock_guard<std::mutex> lock(r.mu);
        r.stopping = stopping;
    }
    r.handled.notify_all();
}

} // namespace plat
