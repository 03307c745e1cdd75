// The coverage of manifest or install state records by the signed core file list.
#pragma once

#include <string>
#include <vector>

#include "integrity/core_list.h"
#include "package/manifest.h"

// Every record but the four the list cannot vouch for must stand in the list with the same digest,
// and together they must cover the whole list, one for one.
void check_coverage(const CoreFileList& list, const std::vector<ManifestRecord>& records);
// The list below `base` verified against its signature, then check_coverage; every failure is
// reported with the subject "补丁组件签名".
void check_component_signature(const std::u16string& base, const std::vector<ManifestRecord>& records);
