// Error reporting: the report text, the entry report and the dialog's report.
#pragma once

#include <exception>
#include <string>

// The message (shown with replacement characters if it is not valid UTF-8), and when
// reported_file is set, "\n文件：" and reported_file. Never fails.
std::u16string report_text(const std::exception& error);
// Standard error line, an error box unless quiet_mode. The caller exits with code 1.
void report_entry_error(const std::exception& error);
