#!/usr/bin/env bash
# Runs every libFuzzer target built in build/fuzz for SECONDS each (default
# 60), one after the other, each on its seeds (fuzz/corpus/<seeds>), the
# inputs that once made it fail (tests/fuzz_regressions/<target>) and the
# corpus it grew in earlier runs (build/fuzz/corpus/<target>). Prints each
# target's last status line (executions, coverage); stops at the first
# failure and says where the input that caused it was written.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
declare -A DICTIONARY=([parse]=template [format]=template [frontmatter]=yaml [compile]=template
                       [lint]=template [scan_imports]=template [canonical]=json)
declare -A SEEDS=([parse]=parse [format]=parse [frontmatter]=frontmatter [compile]=compile
                  [lint]=compile [scan_imports]=parse [canonical]=canonical)

for target in parse format frontmatter compile lint scan_imports canonical; do
  corpus=build/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target
  mkdir -p "$corpus" "$artifacts" "tests/fuzz_regressions/$target"
  log=build/fuzz/$target.log
  if ! build/fuzz/fuzz/fuzz_"$target" "$corpus" "fuzz/corpus/${SEEDS[$target]}" \
      "tests/fuzz_regressions/$target" -dict="fuzz/dicts/${DICTIONARY[$target]}.dict" \
      -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz: $target failed; the input is in $artifacts/ (log: $log)." >&2
    echo "fuzz: fix the fault, then keep the input in tests/fuzz_regressions/$target/." >&2
    exit 1
  fi
  printf 'fuzz %-13s %s\n' "$target" "$(grep -E '^#[0-9]+.*DONE' "$log" | tail -n 1)"
done
