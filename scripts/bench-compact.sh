#!/usr/bin/env bash
# 'velkor-index compact' against SQLite's VACUUM (FTS5) and xapian-compact on
# the benchmark corpus (6,046 mails, normalised as the benchmark normalises
# them) after every third mail was removed.
#
#   bash scripts/bench-compact.sh     3 runs of each rewrite; medians
#
# Each engine indexes the same texts as the benchmark's harness does (FTS5
# contentless with the ascii tokenizer, Xapian one term per occurrence),
# removes the same mails, and is then rewritten: sizes before and after, and
# the time of the rewrite alone. For FTS5 both VACUUM alone and the merge
# that drops removed rows ('optimize') followed by VACUUM. VELKOR_COMPACT_RUNS
# sets the number of runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh cmake g++ make pkg-config libsqlite3-dev libxapian-dev \
  libcli11-dev sqlite3 xapian-tools python3-xapian
corpus=$(bash scripts/fetch-corpus.sh)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_BENCH=ON \
  -DVELKOR_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target velkor-index >/dev/null
tool=$PWD/build-bench/tools/velkor-index/velkor-index
runs=${VELKOR_COMPACT_RUNS:-3}

work=build-bench/compact-work
rm -rf "$work"
mkdir -p "$work/mails"
# Debian's python for its Xapian module.
/usr/bin/python3 - "$corpus" "$work" <<'EOF'
import glob, os, re, sys, xapian
corpus, work = sys.argv[1:]
names = sorted(glob.glob(os.path.join(corpus, "*", "*.txt")))
removed = open(os.path.join(work, "removed"), "w")
insert = open(os.path.join(work, "insert.sql"), "w")
delete = open(os.path.join(work, "delete.sql"), "w")
insert.write("CREATE VIRTUAL TABLE t USING fts5(body, content='', tokenize='ascii', detail=full);\n"
             "BEGIN;\n")
delete.write("BEGIN;\n")
db = xapian.WritableDatabase(os.path.join(work, "x.db"), xapian.DB_CREATE_OR_OVERWRITE)
for i, name in enumerate(names, 1):
    raw = open(name, "rb").read().decode("latin-1").lower()
    text = " ".join(t[:30] for t in re.findall(r"[a-z0-9]+", raw))
    path = os.path.join(work, "mails", f"{i:05}.txt")
    open(path, "w").write(text)
    insert.write(f"INSERT INTO t(rowid, body) VALUES({i}, CAST(readfile('{path}') AS TEXT));\n")
    doc = xapian.Document()
    for token in text.split():
        doc.add_term(token)
    db.replace_document(i, doc)
    if i % 3 == 0:
        removed.write(path + "\n")
        delete.write(f"INSERT INTO t(t, rowid, body) "
                     f"VALUES('delete', {i}, CAST(readfile('{path}') AS TEXT));\n")
db.commit()
for i in range(3, len(names) + 1, 3):
    db.delete_document(i)
db.commit()
db.close()
insert.write("COMMIT;\n")
delete.write("COMMIT;\n")
print(f"mails: {len(names)}, removed: {len(names) // 3}")
EOF

"$tool" create "$work/v.idx" >/dev/null
"$tool" add --quiet "$work/v.idx" "$work/mails" >/dev/null
xargs -a "$work/removed" "$tool" rm "$work/v.idx" >/dev/null
sqlite3 "$work/s.db" <"$work/insert.sql"
sqlite3 "$work/s.db" <"$work/delete.sql"
# The same remaining mails built afresh, for the size a compaction can reach.
mkdir -p "$work/kept"
grep -vxFf "$work/removed" <(ls -d "$work"/mails/*) | xargs cp -t "$work/kept"
"$tool" create "$work/fresh.idx" >/dev/null
"$tool" add --quiet "$work/fresh.idx" "$work/kept" >/dev/null

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
size() { du -sb "$1" | cut -f1; }
report() {  # name, size before, size after, times...
  local name=$1 before=$2 after=$3
  shift 3
  printf '%-26s %11s bytes -> %11s bytes (%.2f)  %s s (runs: %s)\n' "$name" "$before" "$after" \
    "$(awk -v a="$after" -v b="$before" 'BEGIN { print a / b }')" "$(median "$@")" "$*"
}

times=()
for _ in $(seq "$runs"); do
  cp "$work/v.idx" "$work/v-run.idx"
  start=$EPOCHREALTIME
  "$tool" compact "$work/v-run.idx" >/dev/null
  times+=("$(seconds "$start" "$EPOCHREALTIME")")
done
report "velkor-index compact" "$(size "$work/v.idx")" "$(size "$work/v-run.idx")" "${times[@]}"
echo "velkor, fresh build of the kept mails: $(size "$work/fresh.idx") bytes"

for mode in vacuum optimize; do
  times=()
  for _ in $(seq "$runs"); do
    cp "$work/s.db" "$work/s-run.db"
    sql="VACUUM;"
    [ "$mode" = optimize ] && sql="INSERT INTO t(t) VALUES('optimize'); VACUUM;"
    start=$EPOCHREALTIME
    sqlite3 "$work/s-run.db" "$sql"
    times+=("$(seconds "$start" "$EPOCHREALTIME")")
  done
  label="SQLite VACUUM"
  [ "$mode" = optimize ] && label="SQLite optimize + VACUUM"
  report "$label" "$(size "$work/s.db")" "$(size "$work/s-run.db")" "${times[@]}"
done

times=()
for _ in $(seq "$runs"); do
  rm -rf "$work/x-run.db"
  start=$EPOCHREALTIME
  xapian-compact "$work/x.db" "$work/x-run.db" >/dev/null
  times+=("$(seconds "$start" "$EPOCHREALTIME")")
done
report "xapian-compact" "$(size "$work/x.db")" "$(size "$work/x-run.db")" "${times[@]}"
