// What each command line makes of a run: the window with which options, an
// answer, or a refusal naming the option.
#include <gtest/gtest.h>

#include <vector>

#include "app/command_line.h"

namespace {

CommandLine Parse(std::vector<const char*> words) {
  words.insert(words.begin(), "velmora");
  return parse_command_line(static_cast<int>(words.size()), words.data());
}

TEST(CommandLineTest, EachWordGivesItsAction) {
  struct Case {
    std::vector<const char*> words;
    CommandLine::Action action;
    bool background;
  };
  const Case cases[] = {
      {{}, CommandLine::kRun, false},
      {{"notes", "-"}, CommandLine::kRun, false},  // not options: ignored
      {{"--background"}, CommandLine::kRun, true},
      {{"--help"}, CommandLine::kHelp, false},
      {{"-h"}, CommandLine::kHelp, false},
      {{"/?"}, CommandLine::kHelp, false},
      {{"--version", "--help"}, CommandLine::kVersion, false},
      {{"--background", "-h"}, CommandLine::kHelp, true},
      {{"--bogus"}, CommandLine::kBadOption, false},
      {{"--help", "-x"}, CommandLine::kBadOption, false},
      {{"--help=1"}, CommandLine::kBadOption, false},  // takes no value
      {{"--backgroundx"}, CommandLine::kBadOption, false},
#ifdef _WIN32
      {{"/bogus"}, CommandLine::kBadOption, false},
#else
      {{"/tmp/notes"}, CommandLine::kRun, false},  // a path here
#endif
  };
  for (const Case& c : cases) {
    const CommandLine got = Parse(c.words);
    std::string line;
    for (const char* w : c.words) line += std::string(w) + " ";
    EXPECT_EQ(got.action, c.action) << line;
    EXPECT_EQ(got.options.background, c.background) << line;
  }
}

TEST(CommandLineTest, RefusalNamesTheOptionOnOneLine) {
  const CommandLine got = Parse({"--background", "--bogus"});
  EXPECT_EQ(got.error, "velmora: unknown option --bogus (try --help)");
}

}  // namespace
