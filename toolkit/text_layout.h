// The memo's text layout, shared by backends that draw the panel themselves: a
// line's text, word wrap, margins and which rows of the newest lines fit. Pure
// functions of the text, each character's advance and the panel's size, so
// that they can be tested without a display.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace tk {

// Advance in pixels of each 8-bit character. Widths add up: no kerning.
using Advances = std::array<int, 256>;

inline int TextWidth(std::string_view text, const Advances& advances) {
  int w = 0;
  for (const char c : text) w += advances[static_cast<unsigned char>(c)];
  return w;
}

// One line broken into rows no wider than limit, as a word-wrapping edit box
// breaks it: after the last space that fits; a word wider than the limit alone
// is broken between characters. Spaces at a break belong to no row. A line
// always gives at least one row, if only an empty one.
inline std::vector<std::string_view> WrapLine(std::string_view line, const Advances& advances, int limit) {
  std::vector<std::string_view> rows;
  const auto advance = [&](std::size_t i) { return advances[static_cast<unsigned char>(line[i])]; };
  std::size_t start = 0;
  while (true) {
    int width = 0;
    std::size_t i = start;
    std::size_t word_break = std::string_view::npos;  // end of the last word that fits
    while (i < line.size() && (width + advance(i) <= limit || i == start)) {
      if (line[i] == ' ' && i > start && line[i - 1] != ' ') word_break = i;
      width += advance(i);
      ++i;
    }
    if (i == line.size()) {
      rows.push_back(line.substr(start));
      return rows;
    }
    // Spaces past the limit still end the word before them.
    if (line[i] == ' ' && line[i - 1] != ' ') word_break = i;
    const std::size_t end = word_break != std::string_view::npos ? word_break : i;
    rows.push_back(line.substr(start, end - start));
    start = end;
    while (start < line.size() && line[start] == ' ') ++start;
    if (start == line.size()) return rows;
  }
}

// A memo line's text without the one line end it may carry (CR LF, LF or CR):
// a record ends in CR LF, and the panel and the memo's text show lines without.
inline std::string_view LineText(std::string_view line) {
  if (line.ends_with("\r\n")) return line.substr(0, line.size() - 2);
  if (line.ends_with('\n') || line.ends_with('\r')) return line.substr(0, line.size() - 1);
  return line;
}

// Where a panel's text goes inside its client area (within its sunken edge), as
// a multi-line edit box with a client edge keeps it: a pixel in from each side
// (from top and bottom only when a row and those two pixels fit), then half an
// average character's width more at left and right. Its height holds whole rows.
struct TextBox {
  int left = 0, top = 0, width = 0, height = 0;
};

inline TextBox PanelTextBox(const Advances& advances, int width, int height, int row_height) {
  constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const int average = (TextWidth(kAlphabet, advances) / 26 + 1) / 2;
  TextBox box;
  box.left = 1 + average / 2;
  box.width = width - 2 * box.left;
  box.top = height >= row_height + 2 ? 1 : 0;
  const int rows = row_height > 0 && height > 0 ? std::max(1, (height - 2 * box.top) / row_height) : 0;
  box.height = rows * row_height;
  return box;
}

// What a panel shows of lines (oldest first), as an edit box scrolled to its
// end: the newest rows that fit whole, top to bottom from the text box's top.
struct PanelRows {
  std::vector<std::string_view> rows;
  int left = 0;
  int top = 0;
};

inline PanelRows LayOutPanel(const std::deque<std::string>& lines, const Advances& advances, int width, int height,
                             int row_height) {
  PanelRows out;
  const TextBox box = PanelTextBox(advances, width, height, row_height);
  if (box.width <= 0 || box.height <= 0) return out;
  out.left = box.left;
  out.top = box.top;
  const std::size_t fit = static_cast<std::size_t>(box.height / row_height);
  std::vector<std::vector<std::string_view>> newest_first;
  std::size_t total = 0;
  for (auto it = lines.rbegin(); it != lines.rend() && total < fit; ++it) {
    newest_first.push_back(WrapLine(LineText(*it), advances, box.width));
    total += newest_first.back().size();
  }
  for (auto it = newest_first.rbegin(); it != newest_first.rend(); ++it) {
    out.rows.insert(out.rows.end(), it->begin(), it->end());
  }
  // The oldest line shown may have rows above the top.
  if (out.rows.size() > fit) out.rows.erase(out.rows.begin(), out.rows.end() - static_cast<long>(fit));
  return out;
}

}  // namespace tk
