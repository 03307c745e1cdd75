// TEMPORARY: stands in for the operations until install.cpp, verify.cpp and uninstall.cpp land.
// Whoever adds those files deletes this one. It never pretends success.
#include "common/patch_error.h"
#include "installer/operations.h"

void install_patch(const std::u16string&) { throw PatchError("Install is not available in this build"); }
void verify_installation(const std::u16string&) { throw PatchError("Verify is not available in this build"); }
void uninstall_patch(const std::u16string&, bool) { throw PatchError("Uninstall is not available in this build"); }
