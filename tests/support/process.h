// Running the built programs as real processes: their exit code and the exact bytes they wrote.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs the program with the arguments (and extra environment variables, in the given working
// directory or the test's own) and waits for it, at most 60 s; the standard output and error go to
// files and come back byte for byte.
RunResult run_program(const std::u16string& program, const std::vector<std::u16string>& arguments,
                      const Environment& environment = {}, const std::u16string& working_directory = {});

// The text as it reaches a text-mode stream: each "\n" as the platform's line end.
std::string as_stream_text(std::string_view text);
// A message line as the programs write it: the text, a line end, in stream form.
std::string reported(std::string_view message);

// Whether a run without --quiet is safe: natively, or under Wine without a display, a message box
// returns at once instead of waiting for a user.
bool boxes_return_at_once();

// A path from the build (a Linux path) in the form the running test's platform takes.
std::u16string build_path(const char* path);
