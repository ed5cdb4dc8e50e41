// The current display, MessageBoxW, and the headless display that records
// and answers boxes for tests and automation.
#include "platform/windowing/display.h"
#include "platform/kernel/text.h"

#include <atomic>
#include <condition_variable>

namespace plat
{

// ---------------------------------------------------------------------------
// Boxes
// ---------------------------------------------------------------------------
int box_default_answer(UINT type)
{
    if ((type & MB_TYPEMASK) != MB_YESNO)
        return IDOK;
    return (type & MB_DEFBUTTON2) ? IDNO : IDYES;
}

bool box_answer(const BoxRef& box, int result)
{
    QueueRef waiter;
    {
        std::lock_guard<std::mutex> lock(box->mu);
        if (box->done)
            return false;
        box->done = true;
        box->result = result;
        waiter = box->waiter;
    }
    queue_wake(waiter);
    return true;
}

// The waiting thread gave up (it was terminated): the box reads as cancelled
// with result 0 unless an answer came first.
static void box_cancel(const BoxRef& box)
{
    std::lock_guard<std::mutex> lock(box->mu);
    if (box->done)
        return;
    box->done = true;
    box->cancelled = true;
    box->result = 0;
}

// ---------------------------------------------------------------------------
// The headless display
// ---------------------------------------------------------------------------
namespace
{
struct Headless
{
    std::mutex mu;
    std::condition_variable shown; // a box was added (display_wait_boxes)
    std::vector<BoxRef> boxes;
    std::atomic<bool> hold{false};
};

Headless& headless()
{
    static Headless* h = new Headless(); // never destroyed: boxes may close during exit
    return *h;
}

void headless_show_box(const BoxRef& box)
{
    Headless& h = headless();
    {
        std::lock_guard<std::mutex> lock(h.mu);
        h.boxes.push_back(box);
    }
    h.shown.notify_all();
    if (!h.hold.load())
        box_answer(box, box_default_answer(box->type));
}

const DisplayOps kHeadlessOps = {
    "headless",        {nullptr, nullptr, nullptr}, // windows: nothing to draw
    headless_show_box,
    nullptr, // box_closed: the record keeps the box's end state
    nullptr, // prepare_wait
    nullptr, // after_wait
    nullptr, // screen_size: the handheld's default
};

std::atomic<const DisplayOps*> g_display{&kHeadlessOps};
std::atomic<size_t> g_boxSerial{0};
} // namespace

void display_set(const DisplayOps* ops)
{
    if (ops == nullptr)
        ops = &kHeadlessOps;
    g_display.store(ops);
    window_set_observer(&ops->windows);
}

const DisplayOps& display_current()
{
    return *g_display.load();
}

void display_hold_boxes(bool hold)
{
    headless().hold.store(hold);
}

std::vector<BoxRecord> display_box_list()
{
    Headless& h = headless();
    std::vector<BoxRef> boxes;
    {
        std::lock_guard<std::mutex> lock(h.mu);
        boxes = h.boxes;
    }
    std::vector<BoxRecord> out;
    out.reserve(boxes.size());
    for (auto& b : boxes)
    {
        std::lock_guard<std::mutex> lock(b->mu);
        out.push_back(BoxRecord{b->text, b->caption, b->type, b->owner, b->threadId, !b->done, b->cancelled,
                                b->done ? b->result : 0});
    }
    return out;
}

bool display_dismiss(size_t index, int result)
{
    Headless& h = headless();
    BoxRef box;
    {
        std::lock_guard<std::mutex> lock(h.mu);
        if (index >= h.boxes.size())
            return false;
        box = h.boxes[index];
    }
    return box_answer(box, result);
}

bool display_wait_boxes(size_t count, DWORD ms)
{
    Headless& h = headless();
    std::unique_lock<std::mutex> lock(h.mu);
    return h.shown.wait_until(lock, deadline_after_ms(ms), [&] { return h.boxes.size() >= count; });
}

} // namespace plat

using namespace plat;

// Modal, from any thread, with or without an owner. The calling thread runs a
// modal loop meanwhile, so its windows keep handling sent, posted and timer
// messages. A terminated caller returns 0 at once and the box is taken down.
// Unlike the handheld, the owner is not disabled while the box is up: the
// display keeps input away from it.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    thread_checkpoint();
    if (owner != nullptr && !IsWindow(owner))
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    auto box = std::make_shared<BoxRequest>();
    box->text = text ? std::u16string(text) : std::u16string();
    box->caption = caption ? std::u16string(caption) : std::u16string(u"Error");
    box->type = type;
    box->owner = owner;
    box->threadId = GetCurrentThreadId();
    box->waiter = current_queue();
    box->serial = g_boxSerial.fetch_add(1);

    const DisplayOps& d = display_current();
    // If the thread is ended inside a window procedure of the modal loop, the
    // box still closes at its exit.
    uint64_t hook = queue_exit_hook_add(
        [box, &d]
        {
            box_cancel(box);
            if (d.box_closed)
                d.box_closed(box);
        });
    if (d.show_box)
        d.show_box(box);
    else
        box_answer(box, box_default_answer(box->type));

    modal_loop(
        [&]
        {
            std::lock_guard<std::mutex> lock(box->mu);
            return box->done;
        });
    box_cancel(box); // a no-op once answered; else the thread was terminated
    queue_exit_hook_remove(hook);
    if (d.box_closed)
        d.box_closed(box);
    std::lock_guard<std::mutex> lock(box->mu);
    return box->result;
}
