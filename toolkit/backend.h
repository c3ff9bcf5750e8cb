// The table of platform operations behind the toolkit. One implementation per
// platform (win32/, x11/, headless/); the program links exactly one of them.
#pragma once

#include <memory>

#include "toolkit/toolkit.h"

namespace tk {

class Backend {
 public:
  virtual ~Backend() = default;

  // Creates the native window for form (not yet shown) from form.Desc().
  virtual void CreateWindow(TForm& form) = 0;
  // Creates the native control; called once per control in description order,
  // after CreateWindow.
  virtual void CreateControl(TForm& form, TControl& control) = 0;
  // Destroys the native window and its controls.
  virtual void DestroyWindow(TForm& form) = 0;

  // A label's caption changed; the label sizes itself to the new text.
  virtual void TextChanged(TLabel& label) = 0;
  virtual void EnabledChanged(TControl& control) = 0;
  virtual void Hidden(TControl& control) = 0;
  // The form's title changed to form.Caption().
  virtual void CaptionChanged(TForm& form) = 0;
  // A line was appended to the memo; dropped says how many of the oldest lines
  // after its head the memo let go to stay within its bound.
  virtual void LineAppended(TMemo& memo, const String& line, std::size_t dropped) = 0;
  // Native controls may catch up with the toolkit's state later (once the queue
  // drains); this brings the form's controls up to date at once.
  virtual void Flush(TForm& form) = 0;

  // Client area size, read fresh on each call.
  virtual int ClientWidth(const TForm& form) = 0;
  virtual int ClientHeight(const TForm& form) = 0;

  // Drawing on the form's client area with the pen as it is at the call. The
  // brush is kDefaultBrush. Line leaves out (x2, y2); Ellipse leaves out the
  // box's right and bottom edges. Nothing drawn is retained.
  virtual void Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) = 0;
  virtual void Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) = 0;

  // Shows the form and delivers its messages through TForm::Dispatch until the
  // form has closed.
  virtual void Run(TForm& form) = 0;
  // Called by TForm::Close after the close handler: ends the loop.
  virtual void Closed(TForm& form) = 0;
  // What the inherited dispatch does with a message the toolkit itself does not
  // handle (the platform's default window procedure).
  virtual void DefaultHandler(TForm& form, TMessage& message) = 0;

  virtual void ShowException(const Exception& e) = 0;
  virtual void ShowCursor(bool show) = 0;
};

// Provided by the backend library the program links.
std::unique_ptr<Backend> MakeBackend();

}  // namespace tk
