// PatchError: the one way both programs fail.
#pragma once

#include <stdexcept>
#include <string>

// An error with a fixed UTF-8 message: Chinese for the user, English in the file, conversion and
// format layers. It carries no code, no file and no cause; `reported_file` names the file.
class PatchError : public std::runtime_error {
 public:
  explicit PatchError(const std::string& utf8_message) : std::runtime_error(utf8_message) {}
};

// The installer's process-wide subject of the current step, shown after "\n文件：" in every report.
// Operations set it before a step that concerns one file; a report never changes it.
extern std::u16string reported_file;
