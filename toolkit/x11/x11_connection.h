// The x11 toolkit's X connection, shared with the XInput2 raw-input stand-in so
// that raw events arrive on the toolkit's own event loop: one thread, one loop.
#pragma once

#include <X11/Xlib.h>

#include "toolkit/toolkit.h"

namespace tk::x11 {

// The toolkit's display, opened on first use; null when no backend exists or the
// server cannot be reached.
Display* Connection();

// The loop hands every GenericEvent of this extension to handler, with the
// cookie's data already fetched. One handler per extension; null removes it.
using GenericEventHandler = void (*)(void* context, XGenericEventCookie* cookie);
void SetGenericEventHandler(int extension_opcode, GenericEventHandler handler, void* context);

// The loop also waits on fd and calls handler when it is readable (or has hung
// up), on the loop's one thread. One handler per fd; null removes it, which a
// handler may do for its own fd.
using FdHandler = void (*)(void* context, int fd);
void WatchFd(int fd, FdHandler handler, void* context);

// Whether the main form holds the keyboard focus right now (tracked from focus
// events, so asking costs nothing).
bool FormHasFocus();

// Sends message through the main form's Dispatch; does nothing before the form
// exists or after it has closed.
void DispatchToForm(TMessage& message);

// X errors between BeginErrorTrap and EndErrorTrap are kept instead of printed;
// EndErrorTrap waits for the server (one round trip) and returns the first
// error code, 0 for none.
void BeginErrorTrap();
int EndErrorTrap();

}  // namespace tk::x11
