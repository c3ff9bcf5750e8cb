// The X11 backend's connection: opening the display, its atoms and GCs, the
// error trap, a lost server, and the teardown that frees it all.
#include <cstdio>

#include "toolkit/x11/x11_platform.h"

namespace tk::x11 {

X11Backend* the_backend = nullptr;

namespace {

extern "C" int XErrorTrampoline(Display*, XErrorEvent* error) {
  return the_backend ? the_backend->OnXError(error) : 0;
}

extern "C" void XConnectionLost(Display*, void*) {
  // Returning leaves the display marked broken: later Xlib calls do nothing, and
  // the loop closes the form so that the close handler still runs.
  if (the_backend) the_backend->OnConnectionLost();
}

extern "C" int XIOErrorQuiet(Display*) { return 0; }

}  // namespace

X11Backend::X11Backend() { the_backend = this; }

X11Backend::~X11Backend() {
  StopXiEvents();
  for (FormView* f : forms_) {
    ForgetDraws(*f);
    for (ControlView* c : f->controls) delete c;
    delete f;
  }
  RestoreSignals();
  // After a lost connection Xlib sends nothing, but still frees its own memory.
  if (display_) FreeResources();
  if (the_backend == this) the_backend = nullptr;
}

void X11Backend::FreeResources() {
  const int screen = DefaultScreen(display_);
  for (auto& [rgb, color] : text_colors_) {
    XftColorFree(display_, DefaultVisual(display_, screen), colormap_, &color);
  }
  if (font_) XftFontClose(display_, font_);
  XFreeGC(display_, pen_gc_);
  XFreeGC(display_, brush_gc_);
  XFreeGC(display_, text_gc_);
  XFreeGC(display_, outline_gc_);
  if (mask_gc_) XFreeGC(display_, mask_gc_);
  if (xor_gc_) XFreeGC(display_, xor_gc_);
  FreeXorPictures();
  if (ellipse_.inside) {
    XFreePixmap(display_, ellipse_.inside);
    XFreePixmap(display_, ellipse_.outline);
  }
  XCloseDisplay(display_);
  // Xft freed its fonts with the display; fontconfig's configuration would
  // otherwise stay allocated to the end.
  if (font_) FcFini();
}

Display* X11Backend::EnsureDisplay() {
  if (display_ || open_failed_) return display_;
  display_ = XOpenDisplay(nullptr);
  if (!display_) {
    open_failed_ = true;
    return nullptr;
  }
  XSetErrorHandler(XErrorTrampoline);
  XSetIOErrorHandler(XIOErrorQuiet);
  XSetIOErrorExitHandler(display_, XConnectionLost, nullptr);

  const int screen = DefaultScreen(display_);
  colormap_ = DefaultColormap(display_, screen);
  colors_.Init(DefaultVisual(display_, screen));
  const Window root = RootWindow(display_, screen);
  pen_gc_ = XCreateGC(display_, root, 0, nullptr);
  brush_gc_ = XCreateGC(display_, root, 0, nullptr);
  text_gc_ = XCreateGC(display_, root, 0, nullptr);
  outline_gc_ = XCreateGC(display_, root, 0, nullptr);
  XSetLineAttributes(display_, pen_gc_, 0, LineSolid, CapNotLast, JoinMiter);
  InternAtoms();
  return display_;
}

void X11Backend::InternAtoms() {
  wm_protocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
  wm_delete_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
  net_wm_name_ = XInternAtom(display_, "_NET_WM_NAME", False);
  utf8_string_ = XInternAtom(display_, "UTF8_STRING", False);
  lines_atom_ = XInternAtom(display_, "_VELMORA_LINES", False);
  enabled_atom_ = XInternAtom(display_, "_VELMORA_ENABLED", False);
  post_message_ = XInternAtom(display_, "_VELMORA_MESSAGE", False);
}

void X11Backend::BeginTrap() {
  if (!display_) return;
  XSync(display_, False);
  trapping_ = true;
  trapped_error_ = 0;
}

int X11Backend::EndTrap() {
  if (!display_) return 0;
  XSync(display_, False);
  trapping_ = false;
  return trapped_error_;
}

int X11Backend::OnXError(XErrorEvent* error) {
  if (trapping_) {
    if (trapped_error_ == 0) trapped_error_ = error->error_code;
    return 0;
  }
  char text[128] = {};
  XGetErrorText(error->display, error->error_code, text, sizeof text);
  std::fprintf(stderr, "Velmora: X error: %s (request %d.%d)\n", text, error->request_code, error->minor_code);
  return 0;
}

void X11Backend::ShowException(const Exception& e) {
  std::fprintf(stderr, "Velmora: %s\n", e.Message().empty() ? "unknown error" : e.Message().c_str());
  std::fflush(stderr);
}

Display* Connection() { return the_backend ? the_backend->EnsureDisplay() : nullptr; }

void BeginErrorTrap() {
  if (the_backend) the_backend->BeginTrap();
}

int EndErrorTrap() { return the_backend ? the_backend->EndTrap() : 0; }

}  // namespace tk::x11

namespace tk {

std::unique_ptr<Backend> MakeBackend() { return std::make_unique<x11::X11Backend>(); }

}  // namespace tk
