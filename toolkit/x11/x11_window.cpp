// The X11 backend's windows: the form as a top-level window, each control as a
// child window whose properties mirror it, brought up to date at most once a frame.
#include <X11/Xatom.h>

#include <algorithm>

#include "toolkit/x11/x11_icon.h"
#include "toolkit/x11/x11_platform.h"

namespace tk::x11 {

void X11Backend::CreateWindow(TForm& form) {
  if (!EnsureDisplay()) {
    const char* name = XDisplayName(nullptr);
    throw Exception(std::string("cannot open the X display \"") + (name ? name : "") + "\"");
  }
  // From here on a stop signal waits for the loop, which closes the form properly.
  InstallSignals();
  const FormDesc& desc = form.Desc();
  if (!font_) LoadFont(desc.font);
  auto* view = new FormView;
  view->form = &form;
  // The window manager draws its own frame around the client area asked for.
  view->client_width = std::max(1, desc.width - classic::kFrameWidth);
  view->client_height = std::max(1, desc.height - classic::kFrameHeight);

  const int screen = DefaultScreen(display_);
  XSetWindowAttributes attrs = {};
  attrs.background_pixel = Pixel(desc.color);
  attrs.event_mask = ExposureMask | StructureNotifyMask | FocusChangeMask | KeyPressMask;
  view->win = XCreateWindow(display_, RootWindow(display_, screen), desc.left, desc.top,
                            static_cast<unsigned>(view->client_width), static_cast<unsigned>(view->client_height), 0,
                            CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attrs);
  SelectPointerMotion(view->win, attrs.event_mask);
  SetFormHints(*view, desc);

  form.peer = view;
  forms_.push_back(view);
  if (!main_) main_ = view;
}

void X11Backend::SetFormHints(FormView& view, const FormDesc& desc) {
  if (XSizeHints* hints = XAllocSizeHints()) {
    hints->flags = USPosition | USSize | PPosition | PSize;
    hints->x = desc.left;
    hints->y = desc.top;
    hints->width = view.client_width;
    hints->height = view.client_height;
    XSetWMNormalHints(display_, view.win, hints);
    XFree(hints);
  }
  if (XWMHints* wm = XAllocWMHints()) {
    wm->flags = InputHint | StateHint;
    wm->input = True;
    wm->initial_state = NormalState;
    XSetWMHints(display_, view.win, wm);
    XFree(wm);
  }
  XClassHint cls = {const_cast<char*>("velmora"), const_cast<char*>("Velmora")};
  XSetClassHint(display_, view.win, &cls);
  XSetWMProtocols(display_, view.win, &wm_delete_, 1);
  SetTitle(view.win, desc.caption ? desc.caption : "");
  if (kProgramIconLength > 0) {
    // Format 32 properties travel as arrays of long, whatever long's size.
    XChangeProperty(display_, view.win, XInternAtom(display_, "_NET_WM_ICON", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(kProgramIcon),
                    static_cast<int>(kProgramIconLength));
  }
}

void X11Backend::SetTitle(Window w, const std::string& caption) {
  SetName(w, caption);
  XChangeProperty(display_, w, net_wm_name_, utf8_string_, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(caption.data()), static_cast<int>(caption.size()));
}

void X11Backend::CaptionChanged(TForm& form) {
  if (FormView* view = ViewOf(form); view && !lost_) SetTitle(view->win, form.Caption());
}

void X11Backend::CreateControl(TForm& form, TControl& control) {
  FormView* owner = ViewOf(form);
  const ControlDesc& d = control.Desc();
  auto* view = new ControlView;
  view->control = &control;

  XSetWindowAttributes attrs = {};
  const bool field = d.kind == ControlKind::Edit || d.kind == ControlKind::Memo;
  attrs.background_pixel = Pixel(field ? FieldColor(control) : form.Desc().color);
  attrs.event_mask = ExposureMask;
  view->win = XCreateWindow(display_, owner->win, d.left, d.top, static_cast<unsigned>(std::max(1, d.width)),
                            static_cast<unsigned>(std::max(1, d.height)), 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWBackPixel | CWEventMask, &attrs);
  const char* kind = d.kind == ControlKind::Label    ? "Label"
                     : d.kind == ControlKind::Button ? "Button"
                     : d.kind == ControlKind::Edit   ? "Edit"
                                                     : "Memo";
  XClassHint cls = {const_cast<char*>(d.name), const_cast<char*>(kind)};
  XSetClassHint(display_, view->win, &cls);
  const int screen = DefaultScreen(display_);
  view->draw = XftDrawCreate(display_, view->win, DefaultVisual(display_, screen), colormap_);
  XMapWindow(display_, view->win);

  control.peer = view;
  owner->controls.push_back(view);
  pending_.Mark(control);
}

void X11Backend::DestroyWindow(TForm& form) {
  FormView* view = ViewOf(form);
  if (!view) return;
  ForgetDraws(*view);
  ForgetCanvas(view->win);
  if (display_ && !lost_) {
    XDestroyWindow(display_, view->win);
    XFlush(display_);
  }
  pending_.Forget(form);
  for (ControlView* c : view->controls) {
    c->control->peer = nullptr;
    delete c;
  }
  forms_.erase(std::find(forms_.begin(), forms_.end(), view));
  if (main_ == view) main_ = nullptr;
  form.peer = nullptr;
  delete view;
}

void X11Backend::Hidden(TControl& control) {
  if (ControlView* v = ViewOf(control); v && !lost_) XUnmapWindow(display_, v->win);
}

void X11Backend::LineAppended(TMemo& memo, const String& line, std::size_t) {
  if (FormView* f = ViewOf(memo.Owner())) {
    const std::string_view text = LineText(line);
    f->pending_lines += text;
    f->pending_lines += '\n';
    // What a reader of the property counts as lines: a line may hold line ends of its own.
    ++f->pending_line_count;
    for (auto at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) ++f->pending_line_count;
  }
  pending_.Mark(memo);
}

FormView* X11Backend::FormByWindow(Window w) const {
  for (FormView* f : forms_) {
    if (f->win == w) return f;
  }
  return nullptr;
}

ControlView* X11Backend::ControlByWindow(Window w) const {
  for (FormView* f : forms_) {
    for (ControlView* c : f->controls) {
      if (c->win == w) return c;
    }
  }
  return nullptr;
}

void X11Backend::SetName(Window w, const std::string& text) {
  XChangeProperty(display_, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
}

void X11Backend::SetEnabledProperty(Window w, bool enabled) {
  const long value = enabled ? 1 : 0;
  XChangeProperty(display_, w, enabled_atom_, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&value), 1);
}

// Names, sizes and pictures of the controls that changed since the last flush.
void X11Backend::FlushControls() {
  const std::vector<TControl*> changed = pending_.Take();
  if (lost_) return;
  for (TControl* c : changed) {
    if (ControlView* v = ViewOf(*c)) UpdateControl(*v);
  }
}

void X11Backend::UpdateControl(ControlView& v) {
  TControl& c = *v.control;
  SetEnabledProperty(v.win, c.Enabled());
  switch (c.Desc().kind) {
    case ControlKind::Label: {
      const auto& label = static_cast<const TLabel&>(c);
      SetName(v.win, label.GetText());
      const int width = TextWidth(label.GetText());
      const int height = font_ ? LineHeight() : c.Desc().height;
      XResizeWindow(display_, v.win, static_cast<unsigned>(std::max(1, width)),
                    static_cast<unsigned>(std::max(1, height)));
      break;
    }
    case ControlKind::Button: SetName(v.win, static_cast<const TButton&>(c).GetText()); break;
    case ControlKind::Edit:
      SetName(v.win, static_cast<const TEdit&>(c).GetText());
      XSetWindowBackground(display_, v.win, Pixel(FieldColor(c)));
      break;
    case ControlKind::Memo: {
      XSetWindowBackground(display_, v.win, Pixel(FieldColor(c)));
      const auto& memo = static_cast<const TMemo&>(c);
      SetName(v.win, memo.Lines().empty() ? std::string() : std::string(LineText(memo.Lines().back())));
      if (FormView* owner = ViewOf(c.Owner())) UpdateMemoProperty(*owner, v, memo);
      break;
    }
  }
  DrawControl(v);
}

void X11Backend::Flush(TForm&) { SendChanges(); }

// _VELMORA_LINES: the memo's lines, oldest first, each ending in "\n". New lines
// are appended; once it holds twice the memo's bound it is rewritten with the
// memo's own lines, so it always holds at least the lines the memo keeps.
void X11Backend::UpdateMemoProperty(FormView& form, ControlView& view, const TMemo& memo) {
  if (form.pending_lines.empty()) return;
  const std::size_t added = form.pending_line_count;
  if (form.property_lines + added > 2 * TMemo::kMaxLines) {
    // Rewritten about every thousand lines under a flood: the buffer is reused.
    std::string& all = form.rewritten;
    all.clear();
    for (const String& line : memo.Lines()) {
      all += LineText(line);
      all += '\n';
    }
    XChangeProperty(display_, view.win, lines_atom_, utf8_string_, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(all.data()), static_cast<int>(all.size()));
    form.property_lines = memo.Lines().size();
  } else {
    XChangeProperty(display_, view.win, lines_atom_, utf8_string_, 8, PropModeAppend,
                    reinterpret_cast<const unsigned char*>(form.pending_lines.data()),
                    static_cast<int>(form.pending_lines.size()));
    form.property_lines += added;
  }
  form.pending_lines.clear();
  form.pending_line_count = 0;
}

}  // namespace tk::x11
