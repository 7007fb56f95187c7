#pragma once
// Per-thread message queues and "windows": the stand-in for window messages.
//
// A window is an endpoint bound to the thread that created it, with a
// callback. Messages for it are handled only on that thread, and only while
// that thread runs ProcessMessages / WaitMessage (or a wait built on
// MsgWaitForMultipleObjects, or a SendMessage of its own). A thread's queue
// is made on first use and closed when the thread ends; windows still open
// then are destroyed with it.
#include <cstdint>
#include <functional>
#include <span>

namespace Platform {

using HWND = uintptr_t;  // 0 is no window; values are never reused
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

// The window's callback; runs on the window's thread.
using TWndProc = std::function<LRESULT(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam)>;

// The default processing: nothing happens, the result is 0.
LRESULT DefWindowProc(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

// A window on the calling thread; a null proc means default processing.
HWND CreateWindow(TWndProc proc);
// Destroys a window of the calling thread. Senders still waiting for it get
// 0. False when wnd is no window or belongs to another thread.
bool DestroyWindow(HWND wnd);
bool IsWindow(HWND wnd);
// The id of the thread that owns wnd, or 0.
uint32_t GetWindowThreadId(HWND wnd);

// Runs the window's callback on its thread and returns its result. On the
// owner thread the callback is called directly. From another thread the
// caller blocks until the owner has handled the message; meanwhile it still
// handles messages sent to its own thread, so two threads sending to each
// other cannot deadlock. A window that does not exist, or is destroyed (or
// whose thread ends) before handling the message, gives 0 at once.
LRESULT SendMessage(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
// SendMessage for a sender that has descriptors of its own to wait on next:
// the owner does not wake it when the message has been handled. The sender
// sleeps until one of fds is ready (or a message is sent to it); only then
// does it look whether its message was handled, and if not it waits for
// that as SendMessage does. Same result and same order of events as
// SendMessage; a sender whose next work is announced on fds (a connection
// whose client answers the reply with its next request) thus sleeps once
// per message instead of twice. fds must not be empty.
LRESULT SendMessageWatching(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam, std::span<const int> fds);
// Queues the message and returns; false when wnd is no window. A posted
// message whose window is gone by the time it comes up is dropped.
bool PostMessage(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

// True while the calling thread handles a message that another thread sent
// (and is waiting for).
bool InSendMessage();
// Inside a message another thread sent: gives the sender result now, and
// the sender goes on while the callback still runs; whatever the message
// points to belongs to the sender again and must not be used any more.
// The callback's own return value then goes nowhere. False (and nothing
// done) outside such a message, once it was answered, and in a message
// sent from the thread itself or posted.
bool ReplyMessage(LRESULT result);

// Runs every message waiting for the calling thread, sent ones first, one at
// a time, until none is left; a message that arrives while this runs (also
// when it runs nested inside another message's callback) is run too. On the
// thread that installed a pump it then lets the pump run its own events.
// Returns whether any message of the queue ran. An exception from a callback
// propagates; a sender waiting for that message gets 0.
bool ProcessMessages();

// Runs one waiting message, sent ones first; false when there was none.
bool ProcessOneMessage();

// Blocks until a message is waiting for the calling thread or timeoutMs
// (INFINITE for no limit) have passed; returns whether a message is
// waiting. Returns at once when one already is. Before it blocks it offers
// the wait to the clock (Clock().IdleWait): a test clock moves its time on
// and the call returns false at once, so waits on a simulated clock run
// instantly. On the pump's thread the pump does the blocking.
bool WaitMessage(uint32_t timeoutMs);

// Whether messages are waiting for the calling thread (sentOnly: only ones
// sent by other threads).
bool HasMessages(bool sentOnly = false);

// What wakes MsgWaitForMultipleObjects.
inline constexpr uint32_t QS_SENDMESSAGE = 0x0040;  // a message sent by another thread
inline constexpr uint32_t QS_ALLINPUT = 0x04FF;     // any message

// Waits until one of fds is readable or a message of the kind in wakeMask
// is waiting for the calling thread. Returns WAIT_OBJECT_0 + index of the fd,
// WAIT_OBJECT_0 + fds.size() for a message, WAIT_TIMEOUT or WAIT_FAILED.
// Does not run the message; does not consult the clock.
uint32_t MsgWaitForMultipleObjects(std::span<const int> fds, uint32_t timeoutMs, uint32_t wakeMask);

// An eventfd that is readable exactly while a message waits for the calling
// thread (makes the queue if there is none). A GUI loop on the main thread
// watches it and calls ProcessMessages when it fires. Owned by the queue.
int QueueEventFd();

// The calling thread's id (never 0).
uint32_t GetCurrentThreadId();
// The id of the thread that started the program.
uint32_t MainThreadId();

// Lets a GUI toolkit take part in ProcessMessages / WaitMessage on the
// thread that installs it.
class IMessagePump {
 public:
  virtual ~IMessagePump() = default;
  // Runs the toolkit's pending events without blocking.
  virtual void ProcessEvents() = 0;
  // Blocks until a toolkit event arrives, QueueEventFd() becomes readable,
  // or ms milliseconds (INFINITE: no limit) have passed.
  virtual void WaitEvents(uint32_t ms) = 0;
};

// Installs a pump for the calling thread (nullptr removes it); returns the
// previous one. The pump must outlive its installation.
IMessagePump* SetMessagePump(IMessagePump* pump);

}  // namespace Platform
