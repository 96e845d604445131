#!/usr/bin/env bash
# ketro-install where things go wrong: a full disk (a small tmpfs), a kill and I/O errors in the
# middle of a run (strace's fault injection), a user without rights (setpriv), hand-made
# archives whose names leave the folder, links that point outside it, a missing entry, empty and
# comment lines, and manifests too long to plan. Every case checks that nothing of the user's
# is lost, nothing outside the folder is touched and that a failure is said (exit 4, the names
# on stderr). Mounting and setpriv need root; what cannot be set up here is skipped and said.
#   install_faults_test.sh BIN_DIR
set -uo pipefail
bin=$(cd "$1" && pwd)
install=$bin/ketro-install
cts=$bin/ketro-cts
password=xq_plume_vortex_731_bells
work=$(mktemp -d /tmp/ket-faults.XXXXXX)
chmod 755 "$work"
mounts=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  chmod -R u+w "$work" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
skipped=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; skipped=$((skipped + 1)); }
# run WANT DESCRIPTION COMMAND...: the exit code, stdout in $work/out, stderr in $work/err.
run() {
  local want=$1 what=$2
  shift 2
  # (the braces keep the shell's own "Killed" notice out of the output)
  { "$@" >"$work/out" 2>"$work/err"; } 2>/dev/null
  local rc=$?
  [ "$rc" -eq "$want" ] || fail "$what: exit $rc, wanted $want ($(head -c 400 "$work/err"))"
}
said() { grep -qF -- "$1" "$work/err" || fail "$2: stderr does not name $1 ($(head -c 300 "$work/err"))"; }
crlf() { printf '%s\r\n' "$@"; }
random_file() { head -c "$2" /dev/urandom >"$1"; }
no_temporaries() {
  local left
  left=$(find "$1" -name '*.ketro-tmp*' 2>/dev/null)
  [ -z "$left" ] || fail "$2: temporary files left: $left"
}
have_root() { [ "$(id -u)" -eq 0 ]; }
have_strace() { command -v strace >/dev/null && strace -o /dev/null true 2>/dev/null; }
tmpfs() { # tmpfs DIR SIZE: a small file system of its own, unmounted at the end
  mkdir -p "$1"
  mount -t tmpfs -o "size=$2" tmpfs "$1" || return 1
  mounts+=("$1")
}
free_bytes() { df --output=avail -B1 "$1" | tail -1 | tr -d ' '; }
# fill DIR BYTES_LEFT: a filler file that leaves about that much free.
fill() {
  local avail
  avail=$(free_bytes "$1")
  [ "$avail" -gt "$2" ] && head -c $((avail - $2)) /dev/zero >"$1/filler" 2>/dev/null
}

# Archives of every kind, names that ketro-pack refuses included: the manifest as entry "list",
# then each file line's file from ROOT in manifest order (missing files become their own name
# as content, OMIT names get no entry). A city database for the product, with ROWS rows.
cat >"$work/pack.py" <<'EOF'
import os, sqlite3, struct, sys, zlib
def pack(out, manifest, root, omit):
    data = open(manifest, 'rb').read()
    entries, seen = [(b'list', data)], set()
    for line in data.split(b'\r\n'):
        name = line.split(b'|')[0]
        if b'|' not in line or b'|K|' in line or not name or name in seen or name in omit:
            continue
        seen.add(name)
        path = os.path.join(root, name.decode().replace('\\', '/'))
        entries.append((name, open(path, 'rb').read() if os.path.isfile(path) else name))
    with open(out, 'wb') as f:
        for name, content in entries:
            packed = zlib.compress(content)
            dos = 0 if name == b'list' else 0x5B6A7059  # 2025-11-10 14:02:50
            f.write(bytes([len(name)]) + name + struct.pack('<iIi', len(content), dos, len(packed)))
            f.write(packed)
def raw_list(out, content):
    packed = zlib.compress(content, 9)
    with open(out, 'wb') as f:
        f.write(bytes([4]) + b'list' + struct.pack('<iIi', len(content), 0, len(packed)) + packed)
def database(out, rows):
    db = sqlite3.connect(out)
    db.execute('create table cities (id integer primary key, name text)')
    db.executemany('insert into cities (name) values (?)',
                   (('city %d %s' % (i, 'x' * 200),) for i in range(rows)))
    db.commit()
    db.close()
what = sys.argv[1]
if what == 'pack':
    pack(sys.argv[2], sys.argv[3], sys.argv[4], {n.encode() for n in sys.argv[5:]})
elif what == 'database':
    database(sys.argv[2], int(sys.argv[3]))
elif what == 'lines':  # an archive whose manifest is COUNT copies of LINE and a last line
    raw_list(sys.argv[2], sys.argv[3].encode() * int(sys.argv[4]) + sys.argv[5].encode())
EOF
pack() { python3 "$work/pack.py" pack "$@"; }
# rows FILE: the rows of an installed, encrypted city database (0 when it does not open so).
rows() {
  cp "$1" "$work/rows.cts"
  "$cts" rekey "$work/rows.cts" --password "" --key "$password" >/dev/null 2>&1 &&
    sqlite3 "$work/rows.cts" 'select count(*) from cities' 2>/dev/null || echo 0
}

# Two versions of a small product in the shipped manifest form; the second changes every file
# (in size too: an equal size and a newer time would count as up to date).
product() { # product DIR VERSION
  local d=$1 v=$2
  mkdir -p "$d/user" "$d/data"
  crlf 'readme.txt||#|about' 'Ketro.exe|P|#|program' 'Ketro.ini|PO|#|settings' \
    'user\bookmarks.txt|O|#|bookmarks' 'Ketro.cts||#|cities' 'data\cities.txt|P|#|cities' \
    'old\*.tmp|K|' 'old|K|' >"$d/list"
  seq -f 'Ketro, version %g' 1 "$v" >"$d/readme.txt"
  random_file "$d/Ketro.exe" $((40000 + v * 5000))
  printf '[ketro]\nversion=%s\n' "$v" >"$d/Ketro.ini"
  printf 'https://example.org/%s\n' "$v" >"$d/user/bookmarks.txt"
  python3 "$work/pack.py" database "$d/Ketro.cts" $((100 * v + 100))
  seq 1 $((v * 300)) >"$d/data/cities.txt"
  pack "$d.bin" "$d/list" "$d"
}
product "$work/v1" 1
product "$work/v2" 2
# same FILE VERSION: the installed file is that version's.
same() { cmp -s "$1" "$work/v$2/${1##*/inst/}" || fail "${1##*/inst/} is not version $2's"; }
installed_v() { # installed_v DIR VERSION: every file is that version's, the kept ones the first
  local f
  for f in readme.txt Ketro.exe data/cities.txt; do
    cmp -s "$1/$f" "$work/v$2/$f" || fail "$1/$f is not version $2's"
  done
  for f in Ketro.ini user/bookmarks.txt; do
    cmp -s "$1/$f" "$work/v1/$f" || fail "$1/$f is not the first version's"
  done
  [ "$(rows "$1/Ketro.cts")" -eq $((100 * $2 + 100)) ] || fail "$1/Ketro.cts is not version $2's"
}

# --- A full disk --------------------------------------------------------------------------------
if have_root && tmpfs "$work/full" 1m; then
  # A first install that does not fit: nothing is left half-written, the settings files are
  # there whole or not at all, and once there is room a rerun completes the installation.
  d=$work/full/inst
  fill "$work/full" 8192
  run 4 "first install on a full disk" "$install" --archive "$work/v1.bin" --dir "$d"
  said "Some files could not be written" "first install on a full disk"
  said "Ketro.exe" "first install on a full disk"
  no_temporaries "$d" "first install on a full disk"
  for f in readme.txt Ketro.exe Ketro.ini user/bookmarks.txt data/cities.txt Ketro.cts; do
    [ ! -e "$d/$f" ] || [ "$f" = Ketro.cts ] || cmp -s "$d/$f" "$work/v1/$f" ||
      fail "full disk: $f is there but not whole"
  done
  written=$(grep -o '[0-9]* of them files' "$work/out" | cut -d' ' -f1)
  present=$(find "$d" -type f | wc -l)
  [ "$written" = "$present" ] || fail "full disk: $written files counted, $present written"
  rm "$work/full/filler"
  run 0 "rerun with room" "$install" --archive "$work/v1.bin" --dir "$d"
  installed_v "$d" 1
  no_temporaries "$d" "rerun with room"

  # An update with 100 KiB free over a working installation: what does not fit keeps the old
  # version, the encrypted database included.
  cp "$d/Ketro.cts" "$work/v1-installed.cts"
  fill "$work/full" 100000
  run 4 "update on a full disk" "$install" --archive "$work/v2.bin" --dir "$d"
  said "Ketro.cts" "update on a full disk"
  cmp -s "$d/Ketro.cts" "$work/v1-installed.cts" || fail "full disk: the old database was changed"
  [ "$(rows "$d/Ketro.cts")" -eq 200 ] || fail "full disk: the old database does not open"
  for f in Ketro.exe data/cities.txt; do
    cmp -s "$d/$f" "$work/v1/$f" || cmp -s "$d/$f" "$work/v2/$f" || fail "full disk: $f broken"
  done
  no_temporaries "$d" "update on a full disk"
  rm "$work/full/filler"
  run 0 "update with room" "$install" --archive "$work/v2.bin" --dir "$d"
  cmp -s "$d/Ketro.ini" "$work/v1/Ketro.ini" || fail "the user's settings were replaced"
  [ "$(rows "$d/Ketro.cts")" -eq 300 ] || fail "update with room: not version 2's database"
else
  skip "full disk: a tmpfs cannot be mounted here (root needed)"
fi

# --- Kills and I/O errors in the middle of a run -------------------------------------------------
# nth_write ARCHIVE DIR FILE: the number of the write() call that first writes FILE's temporary
# file, in a run over a copy of DIR (the runs are the same call for call).
nth_write() {
  rm -rf "$work/probe" && cp -a "$2" "$work/probe"
  strace -f -qq -e trace=openat,write -o "$work/trace" "$install" --archive "$1" \
    --dir "$work/probe" >/dev/null 2>&1
  awk -v name="/$3.ketro-tmp\"" '
    / write\(/ { n++; if (fd != "" && $0 ~ " write\\(" fd ",") { print n; exit } }
    / openat\(/ && index($0, name) { fd = $NF }' "$work/trace"
}
if have_strace; then
  fresh_v1() { rm -rf "$1" && "$install" --archive "$work/v1.bin" --dir "$1" >/dev/null 2>&1; }
  d=$work/kill/inst

  # Killed while writing Ketro.exe: it keeps version 1 whole; the files before it are version
  # 2's. The rerun removes the temporary file and completes the update.
  fresh_v1 "$d"
  n=$(nth_write "$work/v2.bin" "$d" Ketro.exe)
  if [ -z "$n" ]; then
    fail "no write of Ketro.exe's temporary file was seen"
  else
    run 137 "killed while writing" strace -f -qq -o /dev/null -e trace=write \
      -e inject=write:signal=SIGKILL:when="$n" "$install" --archive "$work/v2.bin" --dir "$d"
    same "$d/Ketro.exe" 1
    same "$d/readme.txt" 2
    [ -e "$d/Ketro.exe.ketro-tmp" ] || fail "the kill came before the temporary file was made"
    run 0 "rerun after the kill" "$install" --archive "$work/v2.bin" --dir "$d"
    same "$d/Ketro.exe" 2
    no_temporaries "$d" "rerun after the kill"

    # An I/O error on the same write: Ketro.exe stays version 1 and is named; the run goes on.
    fresh_v1 "$d"
    run 4 "I/O error while writing" strace -f -qq -o /dev/null -e trace=write \
      -e inject=write:error=EIO:when="$n" "$install" --archive "$work/v2.bin" --dir "$d"
    said "Ketro.exe" "I/O error while writing"
    same "$d/Ketro.exe" 1
    same "$d/data/cities.txt" 2
    no_temporaries "$d" "I/O error while writing"
  fi

  # Killed between the write and the move: the old file is whole, the rerun puts the new one.
  fresh_v1 "$d"
  run 137 "killed before the move" strace -f -qq -o /dev/null -e trace=rename \
    -e inject=rename:signal=SIGKILL:when=2 "$install" --archive "$work/v2.bin" --dir "$d"
  same "$d/readme.txt" 2
  same "$d/Ketro.exe" 1
  run 0 "rerun after the kill before the move" "$install" --archive "$work/v2.bin" --dir "$d"
  installed_v "$d" 2
  no_temporaries "$d" "rerun after the kill before the move"

  # A move that fails: the old file stays, the temporary file goes.
  fresh_v1 "$d"
  run 4 "failed move" strace -f -qq -o /dev/null -e trace=rename \
    -e inject=rename:error=EIO:when=1 "$install" --archive "$work/v2.bin" --dir "$d"
  said "readme.txt" "failed move"
  same "$d/readme.txt" 1
  no_temporaries "$d" "failed move"

  # Killed in the middle of the database's re-key, at the engine's flushes of its journal and
  # of the database: the old database stays whole and readable; the rerun puts the new one in
  # place and leaves neither temporary file nor journal.
  for n in 1 2 3; do
    fresh_v1 "$d"
    cp "$d/Ketro.cts" "$work/v1-installed.cts"
    run 137 "killed in the re-key ($n)" strace -f -qq -o /dev/null -e trace=fsync,fdatasync \
      -e inject=fsync,fdatasync:signal=SIGKILL:when="$n" "$install" --archive "$work/v2.bin" \
      --dir "$d" --force
    cmp -s "$d/Ketro.cts" "$work/v1-installed.cts" || fail "killed in the re-key: database changed"
    [ -e "$d/Ketro.cts.ketro-tmp" ] || fail "killed in the re-key ($n): it had not begun"
    run 0 "rerun after the kill in the re-key" "$install" --archive "$work/v2.bin" --dir "$d"
    [ "$(rows "$d/Ketro.cts")" -eq 300 ] || fail "after the kill in the re-key: not version 2's"
    no_temporaries "$d" "rerun after the kill in the re-key"
    [ ! -e "$d/Ketro.cts-journal" ] || fail "a journal is left beside the database"
  done

  # The re-key's first flush fails (an I/O error): the old database stays and is named.
  fresh_v1 "$d"
  cp "$d/Ketro.cts" "$work/v1-installed.cts"
  run 4 "I/O error on the database's flush" strace -f -qq -o /dev/null -e trace=fsync,fdatasync \
    -e inject=fsync,fdatasync:error=EIO:when=1 "$install" --archive "$work/v2.bin" --dir "$d"
  said "Ketro.cts" "I/O error on the database's flush"
  cmp -s "$d/Ketro.cts" "$work/v1-installed.cts" || fail "I/O error on the flush: database changed"
  no_temporaries "$d" "I/O error on the database's flush"

  # An older setup was killed while re-keying the database in place: a hot journal of the old
  # version lies beside it. Installing the new version must give the new database, not the
  # old one played back from that journal.
  fresh_v1 "$d"
  cp "$work/v1/Ketro.cts" "$d/Ketro.cts"
  { strace -f -qq -o /dev/null -e trace=fsync,fdatasync -e inject=fsync,fdatasync:signal=SIGKILL:when=3 \
    "$cts" rekey "$d/Ketro.cts" --password "$password" >/dev/null 2>&1; } 2>/dev/null
  # Hot indeed: the engine alone, given the file and its journal, plays the old version back.
  cp "$d/Ketro.cts" "$work/hot.cts" && cp "$d/Ketro.cts-journal" "$work/hot.cts-journal"
  if [ "$(sqlite3 "$work/hot.cts" 'select count(*) from cities' 2>/dev/null)" = 200 ]; then
    run 0 "install over a hot journal" "$install" --archive "$work/v2.bin" --dir "$d"
    [ "$(rows "$d/Ketro.cts")" -eq 300 ] || fail "a stale journal brought the old database back"
    [ ! -e "$d/Ketro.cts-journal" ] || fail "the stale journal is still there"
  else
    fail "no hot journal of the old version could be made for the stale-journal case"
  fi
else
  skip "kills and I/O errors: strace cannot trace here"
fi

# --- A user who may not write the folder ---------------------------------------------------------
if have_root && command -v setpriv >/dev/null; then
  d=$work/locked/inst
  "$install" --archive "$work/v1.bin" --dir "$d" >/dev/null 2>&1
  mkdir -p "$d/old" && touch "$d/old/a.tmp"
  chmod -R a+rX "$work/locked" "$work/v2.bin"
  run 4 "no rights" setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$install" --archive "$work/v2.bin" --dir "$d"
  grep -q '0 of them files' "$work/out" || fail "no rights: files counted as written: $(cat "$work/out")"
  for f in readme.txt Ketro.exe Ketro.cts data\\cities.txt 'old\a.tmp'; do said "$f" "no rights"; done
  installed_v "$d" 1
else
  skip "no rights: setpriv or root missing"
fi

# --- Names and masks that leave the folder (a hand-made archive) ---------------------------------
e=$work/escape
mkdir -p "$e/a/b/inst" "$e/a/b/emptydir" "$e/src"
echo "outside" >"$e/a/parent.txt"
echo "outside" >"$e/a/b/parent.txt"
echo "outside" >"$e/a/b/other.txt"
echo ok >"$e/src/ok.txt"
crlf '..\..\x.txt||#|' 'sub\..\..\y.txt||#|' '..\newdir\f.txt||#|' 'ok.txt||#|' '..\*|K|' \
  '..\..\*|K|' '..\parent.txt|K|' '\..\parent.txt|K|' >"$e/src/list"
pack "$work/escape.bin" "$e/src/list" "$e/src"
# Everything outside the installation folder, with sizes and times.
outside() { find "$e" -path "$e/a/b/inst" -prune -o -printf '%p %s %T@\n' | sort; }
outside >"$work/escape-before"
for force in "" --force; do
  run 4 "escaping names $force" "$install" --archive "$work/escape.bin" --dir "$e/a/b/inst" $force
  for n in '..\..\x.txt' 'sub\..\..\y.txt' '..\newdir\f.txt' '..\*' '..\..\*' '..\parent.txt' \
    '\..\parent.txt'; do
    said "$n" "escaping names"
  done
  outside >"$work/escape-after"
  cmp -s "$work/escape-before" "$work/escape-after" ||
    fail "escaping names: outside changed: $(diff "$work/escape-before" "$work/escape-after" | head -5)"
  cmp -s "$e/a/b/inst/ok.txt" "$e/src/ok.txt" || fail "escaping names: the good line was not done"
done

# --- Links inside the folder that point outside --------------------------------------------------
l=$work/links
mkdir -p "$l/inst/mask" "$l/out/old" "$l/src"
echo "outside" >"$l/out/target.txt" && chmod 444 "$l/out/target.txt"
echo "the user's own database" >"$l/out/user.cts"
echo "outside" >"$l/out/old/a.tmp"
echo "outside" >"$l/out/keep.tmp"
ln -s "$l/out" "$l/inst/linked"
ln -s "$l/out/target.txt" "$l/inst/file.txt"
ln -s "$l/out/user.cts" "$l/inst/Ketro.cts"
ln -s "$l/out/old" "$l/inst/old"
ln -s "$l/out/keep.tmp" "$l/inst/mask/keep.tmp"
cp "$work/v1/Ketro.cts" "$l/src/Ketro.cts"
crlf 'linked\a.txt||#|' 'linked\new\b.txt||#|' 'file.txt||#|' 'Ketro.cts||#|' 'old\*.tmp|K|' \
  'old|K|' 'mask\*.tmp|K|' 'linked\*.*|K|' >"$l/src/list"
pack "$l/links.bin" "$l/src/list" "$l/src"
( cd "$l/out" && find . -printf '%p %s %m %T@\n' | sort ) >"$l/before"
run 4 "links" "$install" --archive "$l/links.bin" --dir "$l/inst" --force
( cd "$l/out" && find . -printf '%p %s %m %T@\n' | sort ) >"$l/after"
cmp -s "$l/before" "$l/after" || fail "links: outside changed: $(diff "$l/before" "$l/after" | head -5)"
[ "$(cat "$l/out/user.cts")" = "the user's own database" ] || fail "links: the user's database changed"
for n in 'linked\a.txt' 'linked\new\b.txt' 'file.txt' 'Ketro.cts' 'old\*.tmp' 'mask\keep.tmp'; do
  said "$n" "links"
done
for f in linked file.txt Ketro.cts old mask/keep.tmp; do [ -L "$l/inst/$f" ] || fail "the link $f went"; done

# --- A line without an entry, empty and comment lines --------------------------------------------
m=$work/missing
mkdir -p "$m/inst" "$m/src"
echo "the user's own text, longer than any entry" >"$m/inst/ghost.txt"
echo ok >"$m/src/ok.txt"
crlf '' 'ghost.txt||#|' 'just a comment' '' 'ok.txt||#|' >"$m/src/list"
pack "$m/missing.bin" "$m/src/list" "$m/src" ghost.txt
chmod 750 "$m/inst"
for force in "" --force; do
  run 4 "missing entry $force" "$install" --archive "$m/missing.bin" --dir "$m/inst" $force
  said "ghost.txt" "missing entry"
  said "just a comment" "comment line"
  [ "$(cat "$m/inst/ghost.txt")" = "the user's own text, longer than any entry" ] ||
    fail "a line without an entry changed the user's file"
  [ "$(stat -c %a "$m/inst")" = 750 ] || fail "an empty line changed the folder's own mode"
  [ "$(ls -A "$m/inst" | sort | tr '\n' ' ')" = "ghost.txt ok.txt " ] ||
    fail "unexpected files: $(ls -A "$m/inst")"
done

# --- Manifests too long to plan --------------------------------------------------------------------
python3 "$work/pack.py" lines "$work/huge.bin" $'\n' 100000000 ''
run 1 "a manifest of 100,000,000 lines" timeout 120 "$install" --archive "$work/huge.bin" --dir "$work/huge"
said "Malformed archive" "a manifest of 100,000,000 lines"
[ ! -e "$work/huge" ] || fail "the oversized manifest was planned"
python3 "$work/pack.py" lines "$work/empty-lines.bin" $'\r\n' 200000 'x|F|#|'
run 0 "200,000 empty lines" timeout 120 "$install" --archive "$work/empty-lines.bin" --dir "$work/el" --force
grep -q "nothing to do" "$work/out" || fail "200,000 empty lines: $(tail -c 200 "$work/out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures, $skipped parts skipped"
  exit 1
fi
echo "install faults: all passed ($skipped parts skipped)"
