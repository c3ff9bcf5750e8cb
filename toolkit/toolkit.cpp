// The portable half of the toolkit: control state, canvas pen position, the
// inherited message dispatch and the application object. Native work goes to
// the Backend.
#include "toolkit/toolkit.h"

#include "toolkit/backend.h"

namespace tk {

namespace {
TApplication application_instance;

int LowSigned(std::intptr_t v) { return static_cast<std::int16_t>(v & 0xFFFF); }
int HighSigned(std::intptr_t v) { return static_cast<std::int16_t>((v >> 16) & 0xFFFF); }
}  // namespace

TApplication* Application = &application_instance;

// ---- Controls -------------------------------------------------------------------

TControl::TControl(TForm& owner, const ControlDesc& desc)
    : owner_(owner), desc_(desc), enabled_(desc.enabled) {}

void TControl::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  owner_.Platform().EnabledChanged(*this);
}

void TControl::Hide() {
  if (!visible_) return;
  visible_ = false;
  owner_.Platform().Hidden(*this);
}

TLabel::TLabel(TForm& owner, const ControlDesc& desc)
    : TControl(owner, desc), text_(desc.caption ? desc.caption : "") {}

void TLabel::SetText(const String& text) {
  text_ = text;
  owner_.Platform().TextChanged(*this);
}

TButton::TButton(TForm& owner, const ControlDesc& desc)
    : TControl(owner, desc), text_(desc.caption ? desc.caption : "") {}

void TButton::Click() {
  if (enabled_ && visible_ && OnClick) OnClick(&owner_);
}

TEdit::TEdit(TForm& owner, const ControlDesc& desc)
    : TControl(owner, desc), text_(desc.caption ? desc.caption : "") {}

TMemo::TMemo(TForm& owner, const ControlDesc& desc) : TControl(owner, desc) {}

void TMemo::Append(const String& line) {
  lines_.push_back(line);
  if (owner_.Creating() && head_ < kMaxHeadLines) ++head_;
  std::size_t dropped = 0;
  while (lines_.size() > kMaxLines) {
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(head_));
    ++dropped;
  }
  owner_.Platform().LineAppended(*this, line, dropped);
}

// ---- Canvas ---------------------------------------------------------------------

void TCanvas::MoveTo(int x, int y) {
  pen_x_ = x;
  pen_y_ = y;
}

void TCanvas::LineTo(int x, int y) {
  owner_.Platform().Line(owner_, pen_, pen_x_, pen_y_, x, y);
  pen_x_ = x;
  pen_y_ = y;
}

void TCanvas::Ellipse(int x1, int y1, int x2, int y2) {
  owner_.Platform().Ellipse(owner_, pen_, x1, y1, x2, y2);
}

// ---- Form -----------------------------------------------------------------------

TForm::TForm() : canvas_(*this) {}

TForm::~TForm() {
  if (backend_ && peer) backend_->DestroyWindow(*this);
}

void TForm::SetCaption(const String& caption) {
  caption_ = caption;
  if (backend_ != nullptr && peer != nullptr) backend_->CaptionChanged(*this);
}

void TForm::Load(Backend& backend, const FormDesc& desc) {
  backend_ = &backend;
  desc_ = &desc;
  caption_ = desc.caption ? desc.caption : "";
  backend.CreateWindow(*this);
  for (const ControlDesc& c : desc.controls) {
    std::unique_ptr<TControl> control;
    switch (c.kind) {
      case ControlKind::Label: control = std::make_unique<TLabel>(*this, c); break;
      case ControlKind::Button: control = std::make_unique<TButton>(*this, c); break;
      case ControlKind::Edit: control = std::make_unique<TEdit>(*this, c); break;
      case ControlKind::Memo: control = std::make_unique<TMemo>(*this, c); break;
    }
    controls_.push_back(std::move(control));
    backend.CreateControl(*this, *controls_.back());
  }
  Loaded();
}

TControl* TForm::FindComponent(const char* name) const {
  for (const auto& c : controls_) {
    if (String(c->Name()) == name) return c.get();
  }
  return nullptr;
}

int TForm::GetClientWidth() const { return backend_->ClientWidth(*this); }
int TForm::GetClientHeight() const { return backend_->ClientHeight(*this); }

void TForm::Dispatch(TMessage& message) {
  switch (message.Msg) {
    case WM_MOUSEMOVE:
      if (OnMouseMove) {
        OnMouseMove(this, static_cast<TShiftState>(message.WParam), LowSigned(message.LParam),
                    HighSigned(message.LParam));
      }
      break;
    case WM_ACTIVATE:
      if ((message.WParam & 0xFFFF) != 0 && OnActivate) OnActivate(this);
      break;
    case WM_CLOSE:
      Close();
      return;  // the platform's default would destroy the window behind our back
    case WM_ENDSESSION:
      // The session is ending (log-off, shut-down) and the process with it; no
      // WM_CLOSE comes first, so close the same way now.
      if (message.WParam != 0) {
        Close();
        message.Result = 0;
        return;
      }
      break;
    default:
      break;
  }
  backend_->DefaultHandler(*this, message);
}

void TForm::Close() {
  if (closed_) return;
  constexpr int caNone = 0;
  int action = 1;  // hide: the main form's default
  if (OnClose) OnClose(this, action);
  if (action == caNone) return;
  closed_ = true;
  backend_->Closed(*this);
}

bool TForm::PressCancel() {
  for (const auto& c : controls_) {
    if (c->Desc().kind != ControlKind::Button || !c->Desc().cancel) continue;
    auto& button = static_cast<TButton&>(*c);
    if (!button.Enabled() || !button.Visible()) return false;
    button.Click();
    return true;
  }
  return false;
}

// ---- Application ----------------------------------------------------------------

TApplication::TApplication() = default;
TApplication::~TApplication() { Reset(); }

void TApplication::Initialize() {
  if (!backend_) backend_ = MakeBackend();
}

void TApplication::Run() {
  if (TForm* form = MainForm()) backend_->Run(*form);
}

void TApplication::ShowException(const Exception& e) {
  Initialize();
  backend_->ShowException(e);
}

void TApplication::Reset() {
  forms_.clear();
  backend_.reset();
}

void ShowCursor(bool show) {
  Application->Initialize();
  Application->Platform().ShowCursor(show);
}

}  // namespace tk
