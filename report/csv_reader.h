// Streaming reader of the recording's CSV files: one line at a time from a
// fixed buffer, so a file of any size is read in bounded memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace report {

// Bad input: the message names the file and, where it has one, the line.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads lines ending in "\n" or "\r\n" from a file it does not own. A last line
// with no line end is a row cut off mid-write: cut_off() tells, and it is not
// returned. A file still being written is read with follow(true): there a last
// line without its line end is kept until the rest of it comes, and resume()
// reads on after the end, from where the last call stopped.
class LineReader {
 public:
  LineReader(std::FILE* file, std::string name);
  // The next whole line without its line end; false at the end of the file.
  bool next(std::string_view& line);
  void follow(bool on) { follow_ = on; }
  // Reads on past the end of the file met before (the file may have grown).
  void resume();
  std::uint64_t line_number() const { return line_; }
  bool cut_off() const { return cut_off_; }
  // Bytes of the file read so far, whole lines and a kept unfinished one.
  std::uint64_t offset() const { return offset_; }
  const std::string& name() const { return name_; }
  // "NAME line N: what"
  [[noreturn]] void fail(const std::string& what) const;

 private:
  bool refill();

  std::FILE* file_;
  std::string name_;
  std::unique_ptr<char[]> buffer_;  // left uninitialised: only what fread filled is read
  std::size_t size_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t line_ = 0;
  std::uint64_t offset_ = 0;
  bool eof_ = false;
  bool cut_off_ = false;
  bool follow_ = false;
};

// Splits a line at commas; a field in double quotes may hold commas, and ""
// inside it stands for one quote. Quoted fields are unquoted into storage, which
// must outlive the views. False on a quote that is never closed or text after a
// closing quote.
bool split_fields(std::string_view line, std::vector<std::string_view>& fields, std::string& storage);

// Splits a line of plain fields (no quotes) at commas into at most N views;
// returns the number of fields found, N + 1 when there are more than N.
template <std::size_t N>
std::size_t split_plain(std::string_view line, std::string_view (&fields)[N]) {
  // One pass over the characters: fields are short, so a search per field costs more.
  std::size_t count = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != ',') continue;
    if (count == N) return N + 1;
    fields[count++] = line.substr(start, i - start);
    start = i + 1;
  }
  if (count == N) return N + 1;
  fields[count++] = line.substr(start);
  return count;
}

// Decimal integers, the whole field, within [low, high]; false otherwise.
bool parse_int(std::string_view field, std::int64_t low, std::int64_t high, std::int64_t& value);

// The field as it may be shown in a message: printable ASCII, at most 40 characters.
std::string quote_for_message(std::string_view field);

}  // namespace report
