// The window toolkit the program is written against: application object, form,
// controls, canvas and pen, message dispatch. Backends (win32/, x11/, headless/)
// provide the Backend interface of backend.h; everything here is portable.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tk {

class Backend;
class TForm;

using String = std::string;

// Colours are 0x00BBGGRR: red in the low byte.
using TColor = std::uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clGreen = 0x008000;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clFuchsia = 0xFF00FF;
// System colours; each backend resolves them to its own palette.
constexpr TColor clWindowText = 0x80000008;
constexpr TColor clBtnFace = 0x8000000F;
constexpr bool IsSystemColor(TColor c) { return (c & 0xFF000000u) == 0x80000000u; }

// The pen modes by the toolkit's numbers: what a pixel becomes from the pen P
// and what it was, D. Backends map them in this order.
using TPenMode = int;
constexpr TPenMode pmBlack = 0;         // 0
constexpr TPenMode pmWhite = 1;         // ~0
constexpr TPenMode pmNop = 2;           // D
constexpr TPenMode pmNot = 3;           // ~D
constexpr TPenMode pmCopy = 4;          // P
constexpr TPenMode pmNotCopy = 5;       // ~P
constexpr TPenMode pmMergePenNot = 6;   // P | ~D
constexpr TPenMode pmMaskPenNot = 7;    // P & ~D
constexpr TPenMode pmMergeNotPen = 8;   // ~P | D
constexpr TPenMode pmMaskNotPen = 9;    // ~P & D
constexpr TPenMode pmMerge = 10;        // P | D
constexpr TPenMode pmNotMerge = 11;     // ~(P | D)
constexpr TPenMode pmMask = 12;         // P & D
constexpr TPenMode pmNotMask = 13;      // ~(P & D)
constexpr TPenMode pmXor = 14;          // P ^ D
constexpr TPenMode pmNotXor = 15;       // ~(P ^ D)
constexpr int kPenModes = 16;

// Message numbers are the Windows ones on every backend.
constexpr unsigned WM_ACTIVATE = 0x0006;
constexpr unsigned WM_CLOSE = 0x0010;
constexpr unsigned WM_ENDSESSION = 0x0016;
constexpr unsigned WM_INPUT = 0x00FF;
constexpr unsigned WM_MOUSEMOVE = 0x0200;

struct TMessage {
  unsigned Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
  std::intptr_t Result = 0;
};

// The toolkit's exception class; ShowException displays Message.
class Exception {
 public:
  explicit Exception(String message) : message_(std::move(message)) {}
  const String& Message() const { return message_; }

 private:
  String message_;
};

using TShiftState = unsigned;
class TObject {
 public:
  virtual ~TObject() = default;
};

// ---- Form description: the layout as data, read by CreateForm -----------------

enum class ControlKind { Label, Button, Edit, Memo };

struct ControlDesc {
  ControlKind kind;
  const char* name;
  int left, top, width, height;
  const char* caption;  // label/button caption, edit text; memo: unused
  TColor font_color;
  bool enabled;
  int tab_order;  // -1: not a tab stop
  bool cancel;    // button answers the Esc key
};

struct FontDesc {
  const char* name;
  int height;  // negative: character height in pixels
};

struct FormDesc {
  const char* caption;
  int left, top, width, height;  // outer rectangle, screen coordinates
  TColor color;
  FontDesc font;
  std::vector<ControlDesc> controls;
};

// ---- Controls -------------------------------------------------------------------

class TControl : public TObject {
 public:
  TControl(TForm& owner, const ControlDesc& desc);
  const ControlDesc& Desc() const { return desc_; }
  const char* Name() const { return desc_.name; }
  TForm& Owner() const { return owner_; }
  bool Enabled() const { return enabled_; }
  bool Visible() const { return visible_; }
  void SetEnabled(bool enabled);
  void Hide();

  // Backend's native object for this control (HWND, X window, ...).
  void* peer = nullptr;

 protected:
  TForm& owner_;
  ControlDesc desc_;
  bool enabled_;
  bool visible_ = true;
};

class TLabel : public TControl {
 public:
  TLabel(TForm& owner, const ControlDesc& desc);
  void SetText(const String& text);
  const String& GetText() const { return text_; }

 private:
  String text_;
};

class TButton : public TControl {
 public:
  TButton(TForm& owner, const ControlDesc& desc);
  const String& GetText() const { return text_; }
  std::function<void(TObject*)> OnClick;
  void Click();

 private:
  String text_;
};

class TEdit : public TControl {
 public:
  TEdit(TForm& owner, const ControlDesc& desc);
  const String& GetText() const { return text_; }

 private:
  String text_;
};

// Holds at most kMaxLines lines, so that hours of packets stay in bounded memory
// (the log file keeps everything). The lines appended while its form is being
// created, a program's start-up lines, stay at the top; only later lines roll off,
// oldest first.
class TMemo : public TControl {
 public:
  static constexpr std::size_t kMaxLines = 1000;
  static constexpr std::size_t kMaxHeadLines = kMaxLines / 2;
  TMemo(TForm& owner, const ControlDesc& desc);
  void Append(const String& line);
  const std::deque<String>& Lines() const { return lines_; }
  // How many of the first lines are start-up lines that never roll off.
  std::size_t HeadLines() const { return head_; }

 private:
  std::deque<String> lines_;
  std::size_t head_ = 0;
};

// ---- Canvas ---------------------------------------------------------------------

class TPen {
 public:
  TColor Color() const { return color_; }
  int Width() const { return width_; }
  TPenMode Mode() const { return mode_; }
  void SetColor(TColor c) { color_ = c; }
  void SetWidth(int w) { width_ = w; }
  void SetMode(TPenMode m) { mode_ = m; }

 private:
  TColor color_ = clBlack;
  int width_ = 1;
  TPenMode mode_ = pmCopy;
};

// The canvas's brush is the toolkit's default and is never changed.
constexpr TColor kDefaultBrush = clWhite;

class TCanvas {
 public:
  explicit TCanvas(TForm& owner) : owner_(owner) {}
  TPen* Pen() { return &pen_; }
  void MoveTo(int x, int y);
  // Line from the current position to (x, y), leaving out (x, y) itself.
  void LineTo(int x, int y);
  // Ellipse inside the box, right and bottom edges excluded; outlined with the
  // pen, filled with the brush, both in the pen's mode.
  void Ellipse(int x1, int y1, int x2, int y2);
  int PenX() const { return pen_x_; }
  int PenY() const { return pen_y_; }

 private:
  TForm& owner_;
  TPen pen_;
  int pen_x_ = 0;
  int pen_y_ = 0;
};

// ---- Form -----------------------------------------------------------------------

class TForm : public TObject {
 public:
  TForm();
  ~TForm() override;
  TForm(const TForm&) = delete;
  TForm& operator=(const TForm&) = delete;

  // Builds the window and controls; called by TApplication::CreateForm.
  void Load(Backend& backend, const FormDesc& desc);
  const FormDesc& Desc() const { return *desc_; }
  Backend& Platform() const { return *backend_; }
  const std::vector<std::unique_ptr<TControl>>& Controls() const { return controls_; }
  TControl* FindComponent(const char* name) const;
  template <class T>
  T* Find(const char* name) const { return dynamic_cast<T*>(FindComponent(name)); }

  int GetClientWidth() const;
  int GetClientHeight() const;
  TCanvas* GetCanvas() { return &canvas_; }
  // The window's title: the description's until SetCaption changes it.
  const char* Caption() const { return caption_.c_str(); }
  void SetCaption(const String& caption);
  bool Closed() const { return closed_; }
  // True from CreateForm's start until its create handler has returned.
  bool Creating() const { return creating_; }

  // Every message for the form comes through here; a class takes the numbers it
  // wants and passes the rest to TForm::Dispatch, the inherited dispatch.
  virtual void Dispatch(TMessage& message);

  // Runs OnClose, then tells the backend to end the loop. Safe to call twice.
  void Close();

  // The Esc key, on every backend: clicks the form's cancel button (the first
  // control marked cancel) when it is enabled and shown. True when it did.
  bool PressCancel();

  std::function<void(TObject*)> OnCreate;
  std::function<void(TObject*)> OnActivate;
  std::function<void(TObject*, int& action)> OnClose;
  std::function<void(TObject*, TShiftState, int, int)> OnMouseMove;

  void* peer = nullptr;

 protected:
  // Runs once the controls exist, before the create handler: the place to bind
  // member pointers to controls.
  virtual void Loaded() {}

 private:
  Backend* backend_ = nullptr;
  const FormDesc* desc_ = nullptr;
  String caption_;
  std::vector<std::unique_ptr<TControl>> controls_;
  TCanvas canvas_;
  bool closed_ = false;
  bool creating_ = false;
  friend class TApplication;
};

// ---- Application ----------------------------------------------------------------

class TApplication {
 public:
  TApplication();
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  // Chooses the backend this program was linked with.
  void Initialize();
  // Constructs T, stores it in ref before its controls are built, builds it from
  // T::Description() and runs its create handler.
  template <class T>
  void CreateForm(T*& ref) {
    auto form = std::make_unique<T>();
    ref = form.get();
    TForm* base = form.get();
    forms_.push_back(std::move(form));
    base->creating_ = true;
    base->Load(*backend_, T::Description());
    if (base->OnCreate) base->OnCreate(base);
    base->creating_ = false;
  }
  // The message loop; returns when the main form has closed.
  void Run();
  void ShowException(const Exception& e);
  Backend& Platform() { return *backend_; }
  TForm* MainForm() const { return forms_.empty() ? nullptr : forms_.front().get(); }
  // Destroys the forms and the backend, as at program end; lets tests start over.
  void Reset();

  // Run by the message loop when its queue drains, and at least every
  // kIdleIntervalMs while it never does: where buffered output is written out.
  std::function<void()> OnIdle;
  static constexpr unsigned kIdleIntervalMs = 100;

 private:
  std::unique_ptr<Backend> backend_;
  std::vector<std::unique_ptr<TForm>> forms_;
};

// The program's application object.
extern TApplication* Application;

// Raises the pointer's display counter (TRUE) or lowers it.
void ShowCursor(bool show);

}  // namespace tk
