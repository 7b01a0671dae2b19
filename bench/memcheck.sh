#!/usr/bin/env bash
# valgrind memcheck over a short end-to-end run. The interpreter and numpy are
# not valgrind-clean by design, so only errors whose stack passes through the
# extension are counted; any such error fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
PYTHONMALLOC=malloc valgrind --tool=memcheck --num-callers=40 --leak-check=no \
    --log-file="$log" .venv/bin/python bench/short_run.py
errors=$(awk '/^==[0-9]+== [A-Z]/{block=$0; next} /^==[0-9]+==    (at|by)/{block=block"\n"$0; next}
              /^==[0-9]+== *$/{ if (block ~ /robustness\.cpython|robustness::|rt::|native\/(runtime|robustness)/) n++; block="" } END{print n+0}' "$log")
total=$(grep -E "ERROR SUMMARY" "$log" | tail -1)
echo "valgrind: $total; errors in the extension: $errors (log: $log)"
[ "$errors" -eq 0 ]
