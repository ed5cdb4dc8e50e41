// The headless display's output: the log pane's new text and each message
// box, written to a descriptor as they appear (see headless.h).
#include "platform/displays/headless.h"

#include "platform/shellapi/shell_ui.h"
#include "platform/kernel/text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <set>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace plat
{
namespace
{

struct Output
{
    std::mutex mu;
    int fd = -1;
    bool atLineStart = true; // the last byte written was a newline (or nothing was)
    size_t dropped = 0;      // bytes lost to a reader that did not read
    bool stalled = false;    // the last wait for room ran out
    std::set<HWND> dialogs;  // dialogs already written out
    const DisplayOps* base = nullptr;
};

Output& output()
{
    static Output* o = new Output(); // never destroyed: threads may still write at exit
    return *o;
}

// Under o.mu. Each wait for room is bounded, so a reader that stopped
// reading costs the tool output, never progress; once a wait has run out,
// later writes do not wait at all until the reader takes something again.
// A pipe that polls writable has room for PIPE_BUF bytes, so writing at
// most that much at a time never blocks on it (the descriptor's own flags
// are left alone: it may be shared with the shell).
bool write_all(Output& o, const char* data, size_t len)
{
    while (len > 0)
    {
        struct pollfd p = {o.fd, POLLOUT, 0};
        int r;
        do
        {
            r = poll(&p, 1, o.stalled ? 0 : kHeadlessWriteWaitMs);
        } while (r < 0 && errno == EINTR);
        if (r <= 0 || (p.revents & (POLLERR | POLLNVAL)) != 0)
        {
            o.stalled = true;
            return false;
        }
        o.stalled = false;
        ssize_t n = write(o.fd, data, std::min(len, (size_t)PIPE_BUF));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= (size_t)n;
    }
    return true;
}

void emit(Output& o, const std::string& text)
{
    if (o.fd < 0 || text.empty())
        return;
    if (o.dropped > 0)
    {
        std::string note = std::string(o.atLineStart ? "" : "\n") + "[headless output: " + std::to_string(o.dropped) +
                           " bytes lost, nobody read them]\n";
        if (!write_all(o, note.data(), note.size()))
        {
            o.dropped += text.size();
            return;
        }
        o.dropped = 0;
        o.atLineStart = true;
    }
    if (!write_all(o, text.data(), text.size()))
    {
        o.dropped += text.size();
        return;
    }
    o.atLineStart = text.back() == '\n';
}

void on_log_text(HWND, std::u16string_view inserted)
{
    Output& o = output();
    std::string text = utf16_to_utf8(inserted);
    std::lock_guard<std::mutex> lock(o.mu);
    emit(o, text);
}

// "[kind] CAPTION: TEXT" on a line of its own, line breaks made spaces.
std::string notice_line(const char* kind, std::u16string_view caption, std::u16string_view text)
{
    std::string line = std::string("[") + kind + "] " + utf16_to_utf8(caption) + ": ";
    bool lastWasBreak = false;
    for (char c : utf16_to_utf8(text))
    {
        bool isBreak = c == '\r' || c == '\n';
        if (isBreak && !lastWasBreak)
            line += ' ';
        else if (!isBreak)
            line += c;
        lastWasBreak = isBreak;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line + '\n';
}

// Under o.mu.
void emit_notice(Output& o, std::string line)
{
    if (!o.atLineStart)
        line.insert(line.begin(), '\n');
    emit(o, line);
}

void show_box(const BoxRef& box)
{
    std::string line = notice_line("box", box->caption, box->text);
    Output& o = output();
    const DisplayOps* base;
    {
        std::lock_guard<std::mutex> lock(o.mu);
        emit_notice(o, line);
        base = o.base;
    }
    if (base && base->show_box)
        base->show_box(box); // recorded and answered by the default headless display
    else
        box_answer(box, box_default_answer(box->type));
}

void box_closed(const BoxRef& box)
{
    Output& o = output();
    const DisplayOps* base;
    {
        std::lock_guard<std::mutex> lock(o.mu);
        base = o.base;
    }
    if (base && base->box_closed)
        base->box_closed(box);
}

// A dialog is written out once, when it is first shown or painted.
void on_changed(HWND hwnd, unsigned what)
{
    if ((what & (kChangeVisibility | kChangePaint)) == 0)
        return;
    DialogState ds;
    if (!dialog_of(hwnd, &ds) || ds.tmpl == nullptr)
        return;
    std::u16string text;
    for (UINT i = 0; i < ds.tmpl->count; i++)
    {
        const DialogItemTemplate& item = ds.tmpl->items[i];
        if (item.className == nullptr || !wstr_iequal(item.className, kStaticClass))
            continue;
        std::u16string itemText = text_or_string(item.text);
        if (itemText.empty())
            continue;
        if (!text.empty())
            text += u' ';
        text += itemText;
    }
    std::string line = notice_line("dialog", ds.tmpl->caption ? ds.tmpl->caption : u"", text);
    Output& o = output();
    std::lock_guard<std::mutex> lock(o.mu);
    if (!o.dialogs.insert(hwnd).second)
        return;
    emit_notice(o, line);
}

void on_destroyed(HWND hwnd)
{
    Output& o = output();
    std::lock_guard<std::mutex> lock(o.mu);
    o.dialogs.erase(hwnd);
}

const DisplayOps kOps = {
    "headless", {nullptr, on_destroyed, on_changed}, // windows: only dialogs are written out
    show_box,   box_closed,
    nullptr, // prepare_wait
    nullptr, // after_wait
    nullptr, // screen_size: the handheld's default
};

} // namespace

const DisplayOps* headless_display_open(int fd)
{
    Output& o = output();
    // The default headless display records and answers the boxes.
    const DisplayOps* previous = &display_current();
    display_set(nullptr);
    const DisplayOps* base = &display_current();
    display_set(previous == &kOps ? nullptr : previous);
    {
        std::lock_guard<std::mutex> lock(o.mu);
        o.fd = fd;
        o.atLineStart = true;
        o.dropped = 0;
        o.stalled = false;
        o.base = base;
    }
    window_set_edit_tap(on_log_text);
    return &kOps;
}

void headless_display_close()
{
    window_set_edit_tap(nullptr);
    Output& o = output();
    std::lock_guard<std::mutex> lock(o.mu);
    o.fd = -1;
}

} // namespace plat
