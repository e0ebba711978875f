#!/bin/bash
# fuzz.sh FUZZER SEEDS WORK: runs one fuzzer for ZEL_FUZZ_SECONDS (15 by
# default) from the seeds in the tree (with SEEDS.dict as its dictionary
# when there is one) and what earlier runs found (WORK, where new inputs
# go; the tree's seeds stay as they are). A crash, a leak,
# an undefined behaviour or an allocation above ZEL_FUZZ_MALLOC_MB (64)
# fails it; the input is kept as WORK/crash-* and printed in base64.
set -u
fuzzer="$1" seeds="$2" work="$3"
mkdir -p "$work/corpus"
dict=()
[ -f "$seeds.dict" ] && dict=(-dict="$seeds.dict")
"$fuzzer" "${dict[@]}" -max_total_time="${ZEL_FUZZ_SECONDS:-15}" -malloc_limit_mb="${ZEL_FUZZ_MALLOC_MB:-64}" \
    -rss_limit_mb=1024 -timeout=10 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$seeds" 2>&1 | grep -v '^#[0-9]'
exit "${PIPESTATUS[0]}"
