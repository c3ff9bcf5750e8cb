// What the live view needs from the system: a console that takes in-place
// redraws, and files watched while another program writes them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>

namespace report {

struct Terminal {
  bool in_place = false;  // standard output is a console that takes cursor movement
  bool utf8 = false;      // and shows UTF-8 text (the block characters)
};

// Readies standard output for the live view; restore_terminal puts back what it changed.
Terminal open_terminal();
void restore_terminal();

// Which file a path names, to tell a file made anew from the one being read.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};
// Empty when the path names no file (or it cannot be asked).
std::optional<FileId> file_id(const std::filesystem::path& path);
std::optional<FileId> file_id(std::FILE* file);

// Opens a file for reading that another program may go on writing, truncating
// or deleting meanwhile; nullptr with errno set on failure.
std::FILE* open_shared(const std::filesystem::path& path);

}  // namespace report
