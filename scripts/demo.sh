#!/usr/bin/env bash
# The demo behind `make run`: build a small FAT volume with deleted files and a lost directory,
# list it, scan it, and bring its deleted files and its lost directory back into ./recovered.
set -euo pipefail
cli=${1:?usage: demo.sh HARROW_CLI}
top=$(cd "$(dirname "$0")/.." && pwd)
work=$top/build/sample
out=${RECOVERED:-$PWD/recovered}

echo "== building a sample FAT16 volume with mkfs.fat and mtools (deleted files, a lost directory)"
bash "$top/tests/fixtures/make_fat_fixtures.sh" "$work" >/dev/null
image=$work/sample.img
echo "   $image"

echo
echo "== harrow-cli info $image"
"$cli" --lang en info "$image"

echo
echo "== harrow-cli ls $image -r   (deleted entries begin with #)"
"$cli" --lang en ls "$image" -r

echo
echo "== harrow-cli scan $image   (every cluster searched for lost directories)"
"$cli" --lang en scan "$image"

echo
echo "== recovering the deleted files and the lost directories into $out"
mkdir -p "$out"
mapfile -t deleted < <("$cli" ls "$image" -r --json | python3 -c '
import json, sys
for item in json.load(sys.stdin)["items"]:
    if item["deleted"] and not item["dir"]:
        print(item["path"])
')
mapfile -t lost < <("$cli" scan "$image" --list search-root --json | python3 -c '
import json, sys
for item in json.load(sys.stdin)["items"]:
    if item["kind"] == 144:   # found, but no root entry names it any more
        print("@%d" % item["cluster"])
')
"$cli" --lang en save "$image" "${deleted[@]}" "${lost[@]}" --to "$out" -r --overwrite all

echo
echo "== checking the recovered files against what was written before deletion"
python3 - "$work/sample.truth.json" "$work" "$out" <<'PY'
import json, os, sys
truth, base, out = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3]
bad = 0
for e in truth["entries"]:
    if e["deleted"] and not e["dir"] and e.get("intact"):
        got = open(os.path.join(out, e["name"]), "rb").read()
        want = open(os.path.join(base, e["content"]), "rb").read()
        ok = got == want
        bad += not ok
        print("   %-28s %s" % (e.get("original_path", e["path"]), "byte-exact" if ok else "DIFFERS"))
for d in truth["lost_dirs"]:
    if d["why"] != "root entry wiped":
        continue
    for e in d["entries"]:
        if e["dir"] or e["deleted"]:
            continue
        got = open(os.path.join(out, "# %d" % d["cluster"], e["name"]), "rb").read()
        want = open(os.path.join(base, e["content"]), "rb").read()
        ok = got == want
        bad += not ok
        print("   %-28s %s" % (d["original_path"] + e["path"], "byte-exact" if ok else "DIFFERS"))
sys.exit(1 if bad else 0)
PY
