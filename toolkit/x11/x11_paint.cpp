// The X11 backend's control painting in the classic look, and its text: the
// form's font through Xft, anti-aliased, as fontconfig resolves it.
#include "toolkit/x11/x11_font.h"
#include "toolkit/x11/x11_platform.h"

namespace tk::x11 {

namespace {

// The memo's sunken frame; the panel's text box lies inside it.
constexpr int kMemoFrame = 2;

}  // namespace

void X11Backend::DrawControl(ControlView& view) {
  // Anti-aliased text drawn twice over itself darkens its edges: always start clean.
  XClearWindow(display_, view.win);
  TControl& c = *view.control;
  const int width = c.Desc().width;
  const int height = c.Desc().height;
  switch (c.Desc().kind) {
    case ControlKind::Label: DrawLabel(view, static_cast<const TLabel&>(c)); break;
    case ControlKind::Button: DrawButton(view, static_cast<const TButton&>(c)); break;
    case ControlKind::Edit: DrawEditFrame(view, width, height); break;
    case ControlKind::Memo:
      DrawEditFrame(view, width, height);
      DrawMemo(view, static_cast<const TMemo&>(c), width, height);
      break;
  }
}

void X11Backend::DrawLabel(ControlView& view, const TLabel& label) {
  if (!font_) return;
  DrawText(view, label.Enabled() ? label.Desc().font_color : classic::kGrayText, 0, font_->ascent, label.GetText());
}

void X11Backend::Bevel(Window w, int x, int y, int width, int height, TColor top_left, TColor bottom_right) {
  XSetForeground(display_, text_gc_, Pixel(top_left));
  XDrawLine(display_, w, text_gc_, x, y, x + width - 1, y);
  XDrawLine(display_, w, text_gc_, x, y, x, y + height - 1);
  XSetForeground(display_, text_gc_, Pixel(bottom_right));
  XDrawLine(display_, w, text_gc_, x, y + height - 1, x + width - 1, y + height - 1);
  XDrawLine(display_, w, text_gc_, x + width - 1, y, x + width - 1, y + height - 1);
}

void X11Backend::DrawButton(ControlView& view, const TButton& button) {
  const ControlDesc& d = button.Desc();
  XSetFunction(display_, text_gc_, GXcopy);
  XSetClipMask(display_, text_gc_, None);
  Bevel(view.win, 0, 0, d.width, d.height, classic::kHighlight, classic::kDarkShadow);
  Bevel(view.win, 1, 1, d.width - 2, d.height - 2, classic::kLight, classic::kShadow);
  if (!font_) return;
  const String& text = button.GetText();
  const int x = (d.width - TextWidth(text)) / 2;
  const int y = (d.height - LineHeight()) / 2 + font_->ascent;
  // Disabled, the text is etched: a highlight one pixel down and right, then grey.
  if (!button.Enabled()) DrawText(view, classic::kHighlight, x + 1, y + 1, text);
  DrawText(view, button.Enabled() ? d.font_color : classic::kGrayText, x, y, text);
}

void X11Backend::DrawEditFrame(ControlView& view, int width, int height) {
  XSetFunction(display_, text_gc_, GXcopy);
  XSetClipMask(display_, text_gc_, None);
  Bevel(view.win, 0, 0, width, height, classic::kShadow, classic::kHighlight);
  Bevel(view.win, 1, 1, width - 2, height - 2, classic::kDarkShadow, classic::kLight);
}

// The panel as the Windows backend paints it, from the same layout.
void X11Backend::DrawMemo(ControlView& view, const TMemo& memo, int width, int height) {
  if (!font_ || !view.draw) return;
  const int inner_w = width - 2 * kMemoFrame;
  const int inner_h = height - 2 * kMemoFrame;
  if (inner_w <= 0 || inner_h <= 0) return;
  XRectangle clip = {kMemoFrame, kMemoFrame, static_cast<unsigned short>(inner_w), static_cast<unsigned short>(inner_h)};
  XftDrawSetClipRectangles(view.draw, 0, 0, &clip, 1);
  const TColor color = memo.Enabled() ? memo.Desc().font_color : classic::kGrayText;
  const int line_height = LineHeight();
  const PanelRows shown = LayOutPanel(memo.Lines(), advances_, inner_w, inner_h, line_height);
  int y = kMemoFrame + shown.top + font_->ascent;
  for (const std::string_view row : shown.rows) {
    DrawText(view, color, kMemoFrame + shown.left, y, row);
    y += line_height;
  }
  XftDrawSetClip(view.draw, nullptr);
}

void X11Backend::LoadFont(const FontDesc& desc) {
  font_ = OpenFormFont(display_, DefaultScreen(display_), desc.name, desc.height);
  if (!font_) return;
  // Xft does not kern, so a string's width is the sum of its characters' advances.
  for (int c = 0; c < 256; ++c) {
    const FcChar8 ch = static_cast<FcChar8>(c);
    XGlyphInfo info = {};
    XftTextExtents8(display_, font_, &ch, 1, &info);
    advances_[static_cast<std::size_t>(c)] = info.xOff;
  }
}

int X11Backend::TextWidth(const String& text) {
  if (!font_ || text.empty()) return 0;
  XGlyphInfo info = {};
  XftTextExtents8(display_, font_, reinterpret_cast<const FcChar8*>(text.data()), static_cast<int>(text.size()), &info);
  return info.xOff;
}

XftColor* X11Backend::TextColor(TColor c) {
  const TColor rgb = classic::Color(c);
  if (const auto found = text_colors_.find(rgb); found != text_colors_.end()) return &found->second;
  XRenderColor value = {static_cast<unsigned short>((rgb & 0xFF) * 257),
                        static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 257),
                        static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 257), 0xFFFF};
  XftColor color = {};
  const int screen = DefaultScreen(display_);
  if (!XftColorAllocValue(display_, DefaultVisual(display_, screen), colormap_, &value, &color)) return nullptr;
  return &text_colors_.emplace(rgb, color).first->second;
}

void X11Backend::DrawText(ControlView& view, TColor color, int x, int baseline, std::string_view text) {
  if (!font_ || !view.draw || text.empty()) return;
  if (XftColor* c = TextColor(color)) {
    XftDrawString8(view.draw, c, font_, x, baseline, reinterpret_cast<const FcChar8*>(text.data()),
                   static_cast<int>(text.size()));
  }
}

// Before the windows go: a draw holds a picture of its window.
void X11Backend::ForgetDraws(FormView& form) {
  for (ControlView* c : form.controls) {
    if (c->draw) XftDrawDestroy(c->draw);
    c->draw = nullptr;
  }
}

}  // namespace tk::x11
