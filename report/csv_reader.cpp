// Streaming reader of the recording's CSV files.
#include "report/csv_reader.h"

#include <charconv>
#include <cstring>

namespace report {
namespace {
constexpr std::size_t kChunk = 1 << 16;
// A longer line is not a row of the recording; the limit keeps the buffer bounded.
constexpr std::size_t kMaxLine = 1 << 16;
}  // namespace

LineReader::LineReader(std::FILE* file, std::string name)
    : file_(file), name_(std::move(name)), buffer_(new char[kChunk + kMaxLine]), size_(kChunk + kMaxLine) {}

void LineReader::fail(const std::string& what) const {
  throw InputError(name_ + " line " + std::to_string(line_) + ": " + what);
}

bool LineReader::refill() {
  if (eof_) return false;
  // Keep the unfinished line, moved to the front.
  const std::size_t kept = end_ - begin_;
  if (kept > 0 && begin_ > 0) std::memmove(buffer_.get(), buffer_.get() + begin_, kept);
  begin_ = 0;
  end_ = kept;
  if (kept >= kMaxLine) {
    ++line_;
    fail("longer than " + std::to_string(kMaxLine) + " bytes, not a row of a recording");
  }
  const std::size_t got = std::fread(buffer_.get() + end_, 1, size_ - end_, file_);
  if (got == 0) {
    if (std::ferror(file_)) throw InputError(name_ + ": cannot be read");
    eof_ = true;
    return false;
  }
  end_ += got;
  offset_ += got;
  return true;
}

void LineReader::resume() {
  eof_ = false;
  std::clearerr(file_);
#ifdef _WIN32
  // The Windows C library remembers the end of a file on its descriptor too,
  // and reads nothing more until the file is sought.
  _fseeki64(file_, 0, SEEK_CUR);
#endif
}

bool LineReader::next(std::string_view& line) {
  std::size_t scanned = begin_;
  for (;;) {
    const void* found = std::memchr(buffer_.get() + scanned, '\n', end_ - scanned);
    if (found) {
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.get());
      std::size_t stop = at;
      if (stop > begin_ && buffer_[stop - 1] == '\r') --stop;
      line = std::string_view(buffer_.get() + begin_, stop - begin_);
      begin_ = at + 1;
      ++line_;
      return true;
    }
    const std::size_t offset = end_ - begin_;
    if (!refill()) {
      if (end_ > begin_ && !follow_) {
        ++line_;
        cut_off_ = true;
        begin_ = end_;
      }
      return false;
    }
    scanned = begin_ + offset;
  }
}

bool split_fields(std::string_view line, std::vector<std::string_view>& fields, std::string& storage) {
  fields.clear();
  storage.clear();
  // Unquoted text goes to storage at most once, so views into it stay valid.
  storage.reserve(line.size());
  std::size_t i = 0;
  for (;;) {
    if (i < line.size() && line[i] == '"') {
      const std::size_t start = storage.size();
      ++i;
      for (;;) {
        if (i >= line.size()) return false;
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            storage.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        storage.push_back(line[i++]);
      }
      fields.emplace_back(storage.data() + start, storage.size() - start);
      if (i == line.size()) return true;
      if (line[i] != ',') return false;
      ++i;
    } else {
      const std::size_t comma = line.find(',', i);
      const std::size_t stop = comma == std::string_view::npos ? line.size() : comma;
      const std::string_view field = line.substr(i, stop - i);
      if (field.find('"') != std::string_view::npos) return false;
      fields.push_back(field);
      if (comma == std::string_view::npos) return true;
      i = comma + 1;
    }
  }
}

bool parse_int(std::string_view field, std::int64_t low, std::int64_t high, std::int64_t& value) {
  if (field.empty() || field.front() == '+') return false;
  const char* end = field.data() + field.size();
  const auto [ptr, error] = std::from_chars(field.data(), end, value);
  return error == std::errc() && ptr == end && value >= low && value <= high;
}

std::string quote_for_message(std::string_view field) {
  std::string out = "\"";
  for (std::size_t i = 0; i < field.size() && i < 40; ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (field.size() > 40) out += "...";
  return out + "\"";
}

}  // namespace report
