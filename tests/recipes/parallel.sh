#!/usr/bin/env bash
# The GNU parallel recipe of docs/batch.md, run for real: seven simulated
# studies exported as four shards at once into one output folder, then the
# manifest must hold every study complete exactly once, and a rerun must
# skip them all.
set -euo pipefail
skrivo=${1:?usage: parallel.sh PATH-TO-SKRIVO}
command -v parallel >/dev/null || { echo "GNU parallel is not installed (apt-get install parallel)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sk() { "$skrivo" --config "$work/config" "$@"; }

for i in 1 2 3 4 5 6 7; do sk simulate "$work/studies/ward$((i % 2))/study$i" --minutes 0.2 --rate 128 --seed "$i" -q; done
sk list "$work/studies" > "$work/studies.txt"

run() {
  parallel --will-cite --halt now,fail=1 -j 4 \
    "$skrivo" --config "$work/config" export --from "$work/studies.txt" --shard {}/4 \
    --folder-per-study --skip-existing -o "$work/edf" -q ::: 1 2 3 4
}
run
manifest=$work/edf/manifest.jsonl
studies=$(wc -l < "$work/studies.txt")
complete=$(grep -c '"outcome":"complete"' "$manifest")
repeats=$(grep '"outcome":"complete"' "$manifest" | sed 's/.*"study":"\([^"]*\)".*/\1/' | sort | uniq -d | wc -l)
[ "$studies" -eq 7 ] && [ "$complete" -eq 7 ] && [ "$repeats" -eq 0 ] ||
  { echo "expected 7 studies complete once: $studies listed, $complete complete, $repeats repeated"; cat "$manifest"; exit 1; }
sk manifest summary "$work/edf"
sk manifest verify "$work/edf"

run # the same command again: everything is complete already
skipped=$(grep -c '"outcome":"skipped"' "$manifest")
[ "$(grep -c '"outcome":"complete"' "$manifest")" -eq 7 ] && [ "$skipped" -eq 7 ] ||
  { echo "the rerun exported again"; cat "$manifest"; exit 1; }

# Two studies of one name (same patient and number) in folders of one name:
# --folder-per-study keeps them apart in one run.
for w in a b; do sk simulate "$work/twins/$w/night" --minutes 0.1 --rate 128 --seed 5 -q; done
sk export "$work/twins/a/night" "$work/twins/b/night" --folder-per-study -o "$work/twins-edf" -q
[ "$(grep -c '"outcome":"complete"' "$work/twins-edf/manifest.jsonl")" -eq 2 ] &&
  [ -d "$work/twins-edf/night" ] && [ -d "$work/twins-edf/night-2" ] ||
  { echo "same-named studies collided"; cat "$work/twins-edf/manifest.jsonl"; exit 1; }
echo "parallel recipe: 7 studies in 4 shards complete once each; the rerun skipped all 7; same-named studies kept apart"
