#include "installer/report.h"

#include "common/patch_error.h"
#include "common/platform.h"
#include "common/text.h"
#include "installer/settings.h"

namespace {

// UTF-16 to UTF-8 for a report: a path from the system may hold an unpaired surrogate, which
// becomes U+FFFD here instead of making the report itself fail.
std::string report_utf8(const std::u16string& text) {
  std::u16string clean;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      clean.push_back(c);
      clean.push_back(text[++i]);
    } else {
      clean.push_back(high || low ? u'\uFFFD' : c);
    }
  }
  return wide_to_utf8(clean);
}

}  // namespace

std::u16string report_text(const std::exception& error) {
  // Library messages may hold paths in the system's code page: shown with replacement characters.
  std::u16string text = utf8_to_wide_lossy(error.what());
  if (!reported_file.empty()) text += u"\n文件：" + reported_file;
  return text;
}

void report_entry_error(const std::exception& error) {
  std::u16string text = report_text(error);
  platform::write_stderr(report_utf8(text) + "\n");
  if (!quiet_mode) platform::message_box(nullptr, text, u"Lirra 补丁操作未完成", platform::MB_ICONERROR_);
}
