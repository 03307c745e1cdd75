#include "installer/settings.h"

bool quiet_mode = false;
std::u16string selected_hotkey = u"X";
std::u16string installer_dir;
