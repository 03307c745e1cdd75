#!/usr/bin/env bash
# Builds the libFuzzer targets with the `fuzz` preset (clang, ASan + UBSan) and runs each one for a
# fixed time on its seed corpus. Any crash, sanitizer report, leak or hang fails the script; the
# input that caused it is kept as <build>/artifacts/<target>-crash-... for replay:
#   <build>/fuzz/<target> <artifact>
set -euo pipefail

source "$(dirname "$0")/lib.sh"
USAGE="usage: scripts/fuzz.sh [SECONDS per target, default 30] [BUILD folder, default build/fuzz]"
answer_help "$@"
for argument; do [[ $argument != -* ]] || usage_error "unknown argument \"$argument\""; done
(($# <= 2)) || usage_error "takes at most two arguments"
seconds=${1:-30}
[[ $seconds =~ ^[0-9]+$ ]] || usage_error "the seconds per target must be a number, not \"$seconds\""
build=${2:-$root/build/fuzz}
targets=(save_table_fuzz manifest_fuzz core_list_fuzz install_state_fuzz)
jobs=${FUZZ_BUILD_JOBS:-2}

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}" make_fuzz_seeds

# New inputs found during the run go to a working corpus in the build folder; the committed
# seeds in fuzz/corpus stay as they are.
work="$build/corpus"
artifacts="$build/artifacts"
mkdir -p "$work" "$artifacts"
"$build/fuzz/make_fuzz_seeds" "$work"

failed=()
for target in "${targets[@]}"; do
  echo "== $target: ${seconds}s"
  mkdir -p "$work/$target"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=131072 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
      "$work/$target" "$root/fuzz/corpus/$target"; then
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "fuzzing failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
echo "fuzzing passed: ${targets[*]}, ${seconds}s each"
