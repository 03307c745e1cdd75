// The package that vanro-pack makes (here the shared small demo) passes the installer's own checks:
// natively with OpenSSL, and under Wine with BCrypt and the Windows profile functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/profile.h"
#include "installer/game_dir.h"
#include "integrity/core_list.h"
#include "integrity/sha256.h"
#include "package/component_signature.h"
#include "package/manifest.h"
#include "package/save_compat.h"
#include "tests/support/demo.h"

namespace {

TEST(DemoPackage, PassesTheInstallersChecks) {
  const DemoPaths& demo = small_demo();
  const std::u16string patch = join_path(demo.package, u"patch");

  const std::string manifest_bytes = read_whole_file(join_path(demo.package, u"patch-manifest.tsv"), MANIFEST_LIMIT);
  EXPECT_EQ(manifest_bytes.rfind("VANROPATCH04\n", 0), 0u);
  EXPECT_EQ(manifest_bytes.find('\r'), std::string::npos);
  EXPECT_EQ(manifest_bytes.back(), '\n');
  const PatchManifest manifest = read_patch_manifest(demo.package);
  ASSERT_EQ(manifest.size(), 515u);
  EXPECT_TRUE(std::is_sorted(manifest.begin(), manifest.end(),
                             [](const ManifestRecord& a, const ManifestRecord& b) { return a.path < b.path; }));
  std::size_t generated = 0;
  for (const ManifestRecord& record : manifest) {
    const std::u16string file = resolve_package_path(patch, record.path);
    if (record.path == LAUNCH_COPY_PATH) {
      EXPECT_EQ(record.sha256, "generated");
      EXPECT_FALSE(path_exists(file));
      ++generated;
    } else {
      EXPECT_EQ(sha256_file_hex(file), record.sha256) << record.path;
    }
  }
  EXPECT_EQ(generated, 1u);

  const CoreFileList list = parse_core_file_list(
      read_whole_file(resolve_package_path(patch, "_vanro/core-files.tsv"), CORE_LIST_LIMIT));
  EXPECT_EQ(list.size(), 511u);
  EXPECT_EQ(list.count("_vanro/hook.ini"), 0u);
  EXPECT_EQ(read_whole_file(resolve_package_path(patch, "_vanro/core-files.sig"), 64).size(), 64u);

  EXPECT_NO_THROW(check_component_signature(patch, manifest));
  EXPECT_NO_THROW(check_save_compat(demo.game, patch, manifest));
  reported_file.clear();
  EXPECT_EQ(get_profile_string(u"hud", u"toggle_key", u"", resolve_package_path(patch, "_vanro/hook.ini"), 32),
            u"X");
  EXPECT_TRUE(is_plain_file(join_path(demo.package, u"VANROInstaller.exe")));
}

TEST(DemoPackage, GameFolderFitsTheInstallersChecks) {
  const DemoPaths& demo = small_demo();
  const std::u16string zdh_exe = join_path(demo.game, u"ZDH.EXE");
  uint32_t largest = 0;
  for (const LaunchFix& fix : LAUNCH_FIX_TABLE) largest = std::max(largest, fix.offset);
  const std::string original = read_whole_file(zdh_exe, LAUNCH_COPY_READ_LIMIT);
  EXPECT_GT(original.size(), largest);
  EXPECT_LT(original.size(), largest + 8192u);
  EXPECT_FALSE(has_launch_fixes(original));
  EXPECT_TRUE(has_launch_fixes(build_launch_copy(zdh_exe)));
  EXPECT_NO_THROW(check_game_dir(demo.game));
}

}  // namespace
