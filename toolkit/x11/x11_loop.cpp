// The X11 backend's message loop: X events in batches, the descriptors of the
// raw-input stand-ins, stop signals, focus, the system pointer's motion and
// client messages, each turned into the Windows message the form expects.
#include <X11/keysym.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "toolkit/x11/x11_platform.h"

namespace tk::x11 {

namespace {

// Events handled before the loop looks at the other descriptors.
constexpr int kBatch = 512;
// Controls and drawing reach the server at most this often (a display's frame)
// while input keeps coming: an 8 kHz mouse would otherwise cost a flush of the
// panel and the labels per packet. Every packet's change is in the next frame.
constexpr std::uint64_t kFrameMs = 16;
// The raw-input stand-ins' descriptors are served at most this often: eight
// mice at 8 kHz would otherwise wake the loop, and cost a poll and a read, for
// nearly every packet. Taken together, a wake-up reads each mouse's frames of a
// millisecond in one read. The kernel holds several milliseconds of a mouse's
// frames, and each frame keeps its own time.
constexpr std::int64_t kFdIntervalUs = 1000;

int signal_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (write(signal_pipe[1], &byte, 1) < 0) {
    // A full pipe already holds a pending stop.
  }
  errno = saved;
}

void DrainSignals() {
  char buf[64];
  while (read(signal_pipe[0], buf, sizeof buf) > 0) {
  }
}

std::int64_t NowUs() {
  timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

std::uint64_t NowMs() {
  timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000 + static_cast<std::uint64_t>(t.tv_nsec) / 1000000;
}

}  // namespace

// ---- Signals --------------------------------------------------------------------

void X11Backend::InstallSignals() {
  if (signals_installed_) return;
  if (signal_pipe[0] < 0 && pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    signal_pipe[0] = signal_pipe[1] = -1;
    return;
  }
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int_);
  sigaction(SIGTERM, &sa, &old_term_);
  // A closed terminal or ended ssh session; unless started under nohup, which
  // asked for the program to outlive it.
  sigaction(SIGHUP, nullptr, &old_hup_);
  if (old_hup_.sa_handler != SIG_IGN) sigaction(SIGHUP, &sa, nullptr);
  // A write to a server that went away must fail with EPIPE, not end the program.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &old_pipe_);
  signals_installed_ = true;
}

void X11Backend::RestoreSignals() {
  if (!signals_installed_) return;
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
  sigaction(SIGHUP, &old_hup_, nullptr);
  sigaction(SIGPIPE, &old_pipe_, nullptr);
  signals_installed_ = false;
}

// ---- Loop -----------------------------------------------------------------------

void X11Backend::Run(TForm& form) {
  FormView* view = ViewOf(form);
  if (!view || form.Closed()) return;
  InstallSignals();
  running_closed_ = false;
  XMapWindow(display_, view->win);
  XFlush(display_);

  bool stop_requested = false;
  bool busy = false;  // work came since the loop last found nothing to do
  while (!running_closed_) {
    const bool full = HandleBatch(busy);
    if (running_closed_) break;
    if (lost_ || stop_requested) {
      // The same path as the window's close box: the close handler closes the log.
      TMessage close{WM_CLOSE, 0, 0, 0};
      form.Dispatch(close);
      if (!form.Closed()) stop_requested = false;
      if (lost_) break;
      continue;
    }
    const std::uint64_t now = NowMs();
    const bool shown = now - last_shown_ms_ >= kFrameMs;
    if (shown) ShowChanges(now);
    // Events can arrive while a flush writes; those are read already and poll
    // would not wake for them. Under a flood the loop never waits below, but a
    // stop request and the other descriptors must not wait for the queue to run dry.
    const bool more = full || XEventsQueued(display_, QueuedAfterReading) > 0;
    // Quiet: a wait that times out. Until then a change not shown yet waits for
    // its frame; with nothing left to show, the loop only looks.
    const int timeout = more ? 0 : !busy ? -1 : shown ? 0 : static_cast<int>(last_shown_ms_ + kFrameMs - now);
    const int ready = WaitForWork(timeout, stop_requested);
    if (ready < 0) break;
    if (ready == 0 && !more && busy) {
      ShowChanges(NowMs());
      idle_.Drained(NowMs());
      busy = false;
    } else {
      busy = busy || ready > 0;
      idle_.Busy(NowMs());
    }
  }
  SendChanges();
}

// What changed reaches the server in one flush: the canvas's drawing, then the
// controls' state.
void X11Backend::SendChanges() {
  FlushCanvas();
  FlushControls();
  if (display_ && !lost_) XFlush(display_);
}

void X11Backend::ShowChanges(std::uint64_t now_ms) {
  SendChanges();
  last_shown_ms_ = now_ms;
}

// Handles the queued events, up to a batch; true when the batch was full.
bool X11Backend::HandleBatch(bool& busy) {
  int handled = 0;
  // The connection is read only once Xlib's queue is empty: a read per event
  // would cost more than the event.
  while (!running_closed_ && !lost_ && handled < kBatch &&
         (XQLength(display_) > 0 || XEventsQueued(display_, QueuedAfterReading) > 0)) {
    XEvent event;
    XNextEvent(display_, &event);
    HandleEvent(event);
    ++handled;
  }
  busy = busy || handled > 0;
  return handled == kBatch;
}

// Waits up to timeout_ms (-1: for ever) for the server, a stop signal or a
// watched descriptor and serves the descriptors; the number of those ready, 0
// when the time ran out, -1 when poll failed.
int X11Backend::WaitForWork(int timeout_ms, bool& stop_requested) {
  std::vector<pollfd>& fds = poll_fds_;
  fds.clear();
  fds.push_back({ConnectionNumber(display_), POLLIN, 0});
  fds.push_back({signal_pipe[0], POLLIN, 0});  // a negative fd is left out by poll
  // The descriptors wait for their interval; the server and a stop do not.
  const std::int64_t since = NowUs() - last_fds_us_;
  if (timeout_ms != 0 && since < kFdIntervalUs && !fd_hooks_.empty()) {
    const timespec rest = {0, (kFdIntervalUs - since) * 1000};
    const int n = ppoll(fds.data(), fds.size(), &rest, nullptr);
    if (n < 0 && errno != EINTR) return -1;
    if (n != 0) return ServeReady(n < 0 ? 1 : n, stop_requested);
    if (timeout_ms > 0) timeout_ms = std::max(0, timeout_ms - static_cast<int>((kFdIntervalUs - since) / 1000));
  }
  for (const FdHook& h : fd_hooks_) fds.push_back({h.fd, POLLIN, 0});
  const int n = poll(fds.data(), fds.size(), timeout_ms);
  if (n < 0) return errno == EINTR ? 1 : -1;
  return n == 0 ? 0 : ServeReady(n, stop_requested);
}

// After a poll that found n descriptors ready: a stop request, the watched descriptors.
int X11Backend::ServeReady(int n, bool& stop_requested) {
  const std::vector<pollfd>& fds = poll_fds_;
  if (signal_pipe[0] >= 0 && (fds[1].revents & POLLIN)) {
    DrainSignals();
    stop_requested = true;
  }
  if (fds.size() > 2) {
    last_fds_us_ = NowUs();
    CallReadyFds(fds, 2);
  }
  return n;
}

void X11Backend::CallReadyFds(const std::vector<pollfd>& fds, std::size_t first) {
  for (std::size_t i = first; i < fds.size(); ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    // A handler may remove its own hook, or another's.
    auto it = std::find_if(fd_hooks_.begin(), fd_hooks_.end(), [&](const FdHook& h) { return h.fd == fds[i].fd; });
    if (it != fd_hooks_.end()) it->handler(it->context, it->fd);
  }
}

void X11Backend::Closed(TForm& form) {
  FormView* v = ViewOf(form);
  if (v && display_ && !lost_) {
    XUnmapWindow(display_, v->win);
    XFlush(display_);
  }
  if (v == main_) running_closed_ = true;
}

// ---- Pointer and focus ----------------------------------------------------------

// With several master pointers (one cursor per mouse) core motion comes from
// each of them; the mouse position is the system pointer's, as on Windows, so
// only the first master's motion is taken, through XInput 2.
void X11Backend::SelectPointerMotion(Window w, long event_mask) {
  if (xi_opcode_ < 0) {
    int event = 0, error = 0, major = 2, minor = 2;  // the version the raw-input stand-in asks for
    xi_opcode_ = 0;
    if (XQueryExtension(display_, "XInputExtension", &xi_opcode_, &event, &error) &&
        XIQueryVersion(display_, &major, &minor) == Success && major >= 2) {
      int n = 0;
      XIDeviceInfo* info = XIQueryDevice(display_, XIAllMasterDevices, &n);
      for (int i = 0; i < n; ++i) {
        if (info[i].use == XIMasterPointer && (core_pointer_ == 0 || info[i].deviceid < core_pointer_)) {
          core_pointer_ = info[i].deviceid;
        }
      }
      if (info) XIFreeDeviceInfo(info);
    }
  }
  if (core_pointer_ == 0) {
    XSelectInput(display_, w, event_mask | PointerMotionMask);
    return;
  }
  unsigned char bits[XIMaskLen(XI_Motion)] = {};
  XISetMask(bits, XI_Motion);
  XIEventMask mask = {core_pointer_, static_cast<int>(sizeof bits), bits};
  XISelectEvents(display_, w, &mask, 1);
}

// XCloseDisplay runs Xft's hook after XInput's: a round trip there that reads an
// XInput event re-enters Xlib for XInput's lost state and hangs on the display's
// lock. So no XInput event may be on the way when the display closes.
void X11Backend::StopXiEvents() {
  if (!display_ || lost_ || core_pointer_ == 0) return;
  unsigned char none[4] = {};
  XIEventMask all = {XIAllDevices, static_cast<int>(sizeof none), none};
  XISelectEvents(display_, DefaultRootWindow(display_), &all, 1);  // the raw-input stand-in's
  for (FormView* f : forms_) {
    XIEventMask motion = {core_pointer_, static_cast<int>(sizeof none), none};
    XISelectEvents(display_, f->win, &motion, 1);
  }
  XSync(display_, True);
}

void X11Backend::PointerMoved(const XIDeviceEvent& event) {
  if (event.deviceid != core_pointer_) return;
  FormView* form = FormByWindow(event.event);
  if (!form) return;
  unsigned state = static_cast<unsigned>(event.mods.effective) & (ShiftMask | ControlMask);
  const unsigned buttons[] = {Button1Mask, Button2Mask, Button3Mask};
  for (int b = 1; b <= 3; ++b) {
    if (b < event.buttons.mask_len * 8 && XIMaskIsSet(event.buttons.mask, b)) state |= buttons[b - 1];
  }
  DispatchMove(*form, static_cast<int>(std::floor(event.event_x)), static_cast<int>(std::floor(event.event_y)), state);
}

void X11Backend::DispatchMove(FormView& form, int x, int y, unsigned state) {
  std::uintptr_t keys = 0;
  if (state & Button1Mask) keys |= 0x0001;  // MK_LBUTTON
  if (state & Button3Mask) keys |= 0x0002;  // MK_RBUTTON
  if (state & ShiftMask) keys |= 0x0004;    // MK_SHIFT
  if (state & ControlMask) keys |= 0x0008;  // MK_CONTROL
  if (state & Button2Mask) keys |= 0x0010;  // MK_MBUTTON
  const auto lparam = static_cast<std::intptr_t>((static_cast<std::uint32_t>(x) & 0xFFFF) |
                                                 ((static_cast<std::uint32_t>(y) & 0xFFFF) << 16));
  TMessage move{WM_MOUSEMOVE, keys, lparam, 0};
  form.form->Dispatch(move);
}

// Focus is followed from the focus events themselves, in event order, so that
// raw events queued behind a FocusOut never count as focused.
void X11Backend::UpdateFocus(FormView& form, const XFocusChangeEvent& event) {
  // Pointer-root focus is not the window's own, and focus moving between the
  // form and its children keeps it on the form.
  if (event.detail == NotifyPointer || event.detail == NotifyPointerRoot || event.detail == NotifyDetailNone) return;
  if (event.type == FocusOut && event.detail == NotifyInferior) return;
  // A keyboard grab (a window manager moving or resizing the window) leaves the
  // focus where it was, and Windows keeps sending raw input then; a focus change
  // made during a grab comes as NotifyWhileGrabbed and counts.
  if (event.mode == NotifyGrab || event.mode == NotifyUngrab) return;
  const bool now = event.type == FocusIn;
  if (now == form.focused) return;
  form.focused = now;
  TMessage activate{WM_ACTIVATE, now ? 1u : 0u, 0, 0};
  form.form->Dispatch(activate);
}

// ---- Events ---------------------------------------------------------------------

void X11Backend::HandleGeneric(XEvent& event) {
  XGenericEventCookie* cookie = &event.xcookie;
  if (cookie->extension == xi_opcode_ && cookie->evtype == XI_Motion) {
    if (XGetEventData(display_, cookie)) {
      PointerMoved(*static_cast<const XIDeviceEvent*>(cookie->data));
      XFreeEventData(display_, cookie);
    }
    return;
  }
  for (const GenericHook& hook : hooks_) {
    if (hook.opcode != cookie->extension) continue;
    if (XGetEventData(display_, cookie)) {
      hook.handler(hook.context, cookie);
      XFreeEventData(display_, cookie);
    }
    return;
  }
}

void X11Backend::HandleEvent(XEvent& event) {
  if (event.type == GenericEvent) {
    HandleGeneric(event);
  } else if (FormView* form = FormByWindow(event.xany.window)) {
    HandleFormEvent(*form, event);
  } else if (event.type == Expose && event.xexpose.count == 0) {
    if (ControlView* c = ControlByWindow(event.xexpose.window)) DrawControl(*c);
  }
}

void X11Backend::HandleFormEvent(FormView& form, XEvent& event) {
  switch (event.type) {
    case MotionNotify: {
      // Only the newest of a run of motions matters, as with WM_MOUSEMOVE.
      XEvent next;
      while (XEventsQueued(display_, QueuedAlready) > 0) {
        XPeekEvent(display_, &next);
        if (next.type != MotionNotify || next.xmotion.window != event.xmotion.window) break;
        XNextEvent(display_, &event);
      }
      DispatchMove(form, event.xmotion.x, event.xmotion.y, event.xmotion.state);
      break;
    }
    case ConfigureNotify:
      form.client_width = event.xconfigure.width;
      form.client_height = event.xconfigure.height;
      break;
    case MapNotify:
      if (!form.mapped) {
        form.mapped = true;
        XSetInputFocus(display_, form.win, RevertToParent, CurrentTime);
      }
      break;
    case FocusIn:
    case FocusOut: UpdateFocus(form, event.xfocus); break;
    case ClientMessage: HandleClientMessage(form, event.xclient); break;
    case KeyPress:
      if (XLookupKeysym(&event.xkey, 0) == XK_Escape) form.form->PressCancel();
      break;
    default: break;
  }
}

void X11Backend::HandleClientMessage(FormView& form, const XClientMessageEvent& event) {
  if (event.message_type == wm_protocols_ && static_cast<Atom>(event.data.l[0]) == wm_delete_) {
    TMessage close{WM_CLOSE, 0, 0, 0};
    form.form->Dispatch(close);
  } else if (event.message_type == post_message_ && event.format == 32) {
    // X has no PostMessage; this is its stand-in, so the form must take whatever
    // another program sends, as it would on Windows.
    const long* l = event.data.l;
    TMessage posted{static_cast<std::uint32_t>(l[0]), static_cast<std::uint32_t>(l[1]),
                    static_cast<std::int32_t>(l[2]), 0};
    form.form->Dispatch(posted);
  }
}

// ---- Hooks for the raw-input stand-ins ------------------------------------------

void X11Backend::SetGenericHandler(int opcode, GenericEventHandler handler, void* context) {
  std::erase_if(hooks_, [&](const GenericHook& h) { return h.opcode == opcode; });
  if (handler) hooks_.push_back({opcode, handler, context});
}

void X11Backend::SetFdHandler(int fd, FdHandler handler, void* context) {
  std::erase_if(fd_hooks_, [&](const FdHook& h) { return h.fd == fd; });
  if (handler && fd >= 0) fd_hooks_.push_back({fd, handler, context});
}

void X11Backend::DispatchToMain(TMessage& message) {
  if (main_ && !main_->form->Closed()) main_->form->Dispatch(message);
}

void SetGenericEventHandler(int extension_opcode, GenericEventHandler handler, void* context) {
  if (the_backend) the_backend->SetGenericHandler(extension_opcode, handler, context);
}

void WatchFd(int fd, FdHandler handler, void* context) {
  if (the_backend) the_backend->SetFdHandler(fd, handler, context);
}

bool FormHasFocus() { return the_backend && the_backend->MainFormFocused(); }

void DispatchToForm(TMessage& message) {
  if (the_backend) the_backend->DispatchToMain(message);
}

}  // namespace tk::x11
