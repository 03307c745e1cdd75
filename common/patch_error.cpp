#include "common/patch_error.h"

std::u16string reported_file;
