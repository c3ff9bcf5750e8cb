// The memo's text layout, shared by backends that draw the panel themselves:
// word wrap and which rows of the newest lines fit. Pure functions of the text,
// each character's advance and the panel's size, so that they can be tested
// without a display.
#pragma once

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

// What a panel shows of lines (oldest first): the rows of the newest lines that
// fit, top to bottom, drawn from the top while they fit, bottom-aligned (the
// top row perhaps cut) once they overflow. top is the first row's offset.
struct PanelRows {
  std::vector<std::string_view> rows;
  int top = 0;
};

// A line's text without the line end it carries.
inline std::string_view ShownText(const std::string& line) {
  std::size_t n = line.size();
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
  return std::string_view(line).substr(0, n);
}

inline PanelRows LayOutPanel(const std::deque<std::string>& lines, const Advances& advances, int width, int height,
                             int row_height) {
  PanelRows out;
  if (width <= 0 || height <= 0 || row_height <= 0) return out;
  std::vector<std::vector<std::string_view>> newest_first;
  int total = 0;
  for (auto it = lines.rbegin(); it != lines.rend() && total < height; ++it) {
    newest_first.push_back(WrapLine(ShownText(*it), advances, width));
    total += static_cast<int>(newest_first.back().size()) * row_height;
  }
  out.top = total > height ? height - total : 0;
  for (auto it = newest_first.rbegin(); it != newest_first.rend(); ++it) {
    out.rows.insert(out.rows.end(), it->begin(), it->end());
  }
  // Rows wholly above the panel are not drawn.
  std::size_t hidden = 0;
  while (out.top + row_height <= 0 && hidden < out.rows.size()) {
    out.top += row_height;
    ++hidden;
  }
  out.rows.erase(out.rows.begin(), out.rows.begin() + static_cast<long>(hidden));
  return out;
}

}  // namespace tk
