#!/usr/bin/env bash
# ketro-install where things go wrong: a full disk (a small tmpfs), kills and I/O errors at
# points spread over both phases of an update (strace's fault injection), a user without rights
# (setpriv), a damaged entry, hand-made archives whose names leave the folder, links that point
# outside it, a missing entry, a busy folder, names with control characters, and manifests too
# long to plan. An update is all or nothing: every case checks that the folder holds the old
# version byte for byte (contents and times) or the new one, that nothing outside it is touched
# and that the exit code says which. Mounting and setpriv need root; what cannot be set up here
# is skipped and said.
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
# The run's own files: temporary and set-aside files, the commit record, the lock.
no_temporaries() {
  local left
  left=$(find "$1" \( -name '~ket????????.tmp*' -o -name '~ketro.*' \) 2>/dev/null)
  [ -z "$left" ] || fail "$2: the run's own files left: $left"
}
# snapshot DIR: every file's name, size, mode, time and bytes; folders by name alone (creating
# and removing a temporary file changes a folder's own time).
snapshot() {
  (cd "$1" && find . -type d | sort && find . ! -type d -printf '%p %s %m %T@\n' | sort &&
    find . -type f -print0 | sort -z | xargs -0 -r sha1sum)
}
# unchanged DIR BEFORE WHAT: the folder is byte for byte as in the snapshot BEFORE.
unchanged() {
  snapshot "$1" >"$work/after.snap"
  cmp -s "$2" "$work/after.snap" || fail "$3: the folder changed: $(diff "$2" "$work/after.snap" | head -6 | tr '\n' ' ')"
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

# whole DIR WHAT [partial]: every file of the product holds one version whole, and the database
# opens with the password (as version 1's or version 2's). Partial: a file may be missing, and
# the database is not asked.
whole() {
  local f
  for f in readme.txt Ketro.exe data/cities.txt; do
    { [ -n "${3:-}" ] && [ ! -e "$1/$f" ]; } || cmp -s "$1/$f" "$work/v1/$f" ||
      cmp -s "$1/$f" "$work/v2/$f" || fail "$2: $f is not whole"
  done
  [ -z "${3:-}" ] || return 0
  case "$(rows "$1/Ketro.cts")" in
  200 | 300) ;;
  *) fail "$2: Ketro.cts does not open with the password" ;;
  esac
}
fresh_v1() { rm -rf "$1" && "$install" --archive "$work/v1.bin" --dir "$1" >/dev/null 2>&1; }

# --- A full disk --------------------------------------------------------------------------------
if have_root && tmpfs "$work/full" 1m; then
  # A first install that does not fit changes nothing, not even the folder it would make; the
  # message gives both figures. Once there is room a rerun installs.
  d=$work/full/inst
  fill "$work/full" 8192
  run 4 "first install on a full disk" "$install" --archive "$work/v1.bin" --dir "$d"
  grep -q 'Not enough disk space: the update needs [0-9]* bytes, the disk has [0-9]* free' \
    "$work/err" || fail "full disk: no figures: $(cat "$work/err")"
  [ ! -e "$d" ] || fail "full disk: the folder it made stayed"
  rm "$work/full/filler"
  run 0 "rerun with room" "$install" --archive "$work/v1.bin" --dir "$d"
  installed_v "$d" 1
  no_temporaries "$d" "rerun with room"

  # An update with 100 KiB free over a working installation: refused, the old one byte for byte.
  snapshot "$d" >"$work/v1.snap"
  fill "$work/full" 100000
  run 4 "update on a full disk" "$install" --archive "$work/v2.bin" --dir "$d"
  said "Not enough disk space" "update on a full disk"
  unchanged "$d" "$work/v1.snap" "update on a full disk"
  rm "$work/full/filler"
  run 0 "update with room" "$install" --archive "$work/v2.bin" --dir "$d"
  installed_v "$d" 2
else
  skip "full disk: a tmpfs cannot be mounted here (root needed)"
fi

# --- Kills and I/O errors at points spread over both phases --------------------------------------
if have_strace; then
  d=$work/kill/inst
  # count SYSCALLS: how many of them a clean update makes.
  count() {
    fresh_v1 "$d"
    strace -f -qq -o "$work/trace" -e trace="$1" "$install" --archive "$work/v2.bin" \
      --dir "$d" >/dev/null 2>&1
    grep -c -E "^[0-9]+ +($(tr , '|' <<<"$1"))\(" "$work/trace"
  }
  # spread N: about six points from 1 to N, the first and the last among them.
  spread() { awk -v n="$1" 'BEGIN { for (i = 0; i < 6; i++) { p = int(1 + i * (n - 1) / 5); if (p != q) print p; q = p } }'; }
  # (strace counts each system call apart: the moves are renames, each after a link that gives
  # the old file its set-aside name.)
  nwrites=$(count write)
  nrenames=$(count rename)
  nlinks=$(count link)
  [ "$nwrites" -gt 4 ] && [ "$nrenames" -gt 4 ] && [ "$nlinks" -gt 2 ] ||
    fail "an update made $nwrites writes, $nrenames renames and $nlinks links"
  # Killed at a write (phase 1: the temporary files, the record), at a link or at a rename
  # (phase 2): every file is whole and the database opens; the rerun gives exactly the new
  # version.
  for call in write link rename; do
    n=$(eval echo "\$n${call}s")
    for k in $(spread "$n"); do
      fresh_v1 "$d"
      run 137 "killed at $call $k" strace -f -qq -o /dev/null -e trace=$call \
        -e inject=$call:signal=SIGKILL:when="$k" "$install" --archive "$work/v2.bin" --dir "$d"
      whole "$d" "killed at $call $k"
      run 0 "rerun after the kill at $call $k" "$install" --archive "$work/v2.bin" --dir "$d"
      installed_v "$d" 2
      no_temporaries "$d" "rerun after the kill at $call $k"
    done
  done

  # An I/O error at a write, at one move, or at every move from some point on (a failing disk):
  # the update is carried out another way (0, the new version whole), or undone (4; 6 when an old
  # file could be neither replaced nor set aside) with the old version byte for byte; only when
  # even the undoing fails does the record stay, no file cut short, for the next run to complete.
  # (Then a name may be empty for a moment: its old file waits, whole, under its set-aside name.)
  # The rerun always gives the new version and leaves nothing behind.
  undone=0
  fault() { # fault WHAT STRACE_ARGS...: one run of the update under strace's injection
    local what=$1
    shift
    fresh_v1 "$d"
    snapshot "$d" >"$work/v1.snap"
    { strace -f -qq -o /dev/null "$@" "$install" --archive "$work/v2.bin" --dir "$d" \
      >"$work/out" 2>"$work/err"; } 2>/dev/null
    local rc=$?
    case $rc in
    0) installed_v "$d" 2 ;;
    4 | 6)
      undone=$((undone + 1))
      if [ -e "$d/~ketro.commit" ]; then whole "$d" "$what" partial; else unchanged "$d" "$work/v1.snap" "$what"; fi
      ;;
    *) fail "$what: exit $rc" ;;
    esac
    run 0 "rerun after $what" "$install" --archive "$work/v2.bin" --dir "$d"
    installed_v "$d" 2
    no_temporaries "$d" "rerun after $what"
  }
  for k in $(spread "$nwrites"); do
    fault "an I/O error at write $k" -e trace=write -e inject=write:error=EIO:when="$k"
  done
  for k in $(spread "$nrenames"); do
    fault "an I/O error at rename $k" -e trace=rename -e inject=rename:error=EIO:when="$k"
    fault "I/O errors from move $k on" -e trace=rename,renameat2,link \
      -e inject=rename,renameat2,link:error=EIO:when="$k+"
  done
  [ "$undone" -gt 4 ] || fail "only $undone of the I/O errors undid the update"

  # Killed in the middle of the database's re-key: at the engine's page writes (pwrite64; the
  # run's own files are written with write) and at the first flush, the temporary database's one.
  # The old database stays whole and readable; the rerun puts the new one in place and leaves
  # nothing behind.
  npwrites=$(count pwrite64)
  [ "$npwrites" -ge 1 ] || fail "the re-key made no page writes"
  for kill in $(spread "$npwrites" | sed 's/^/pwrite64:/') fsync:1; do
    call=${kill%:*} k=${kill#*:}
    fresh_v1 "$d"
    cp "$d/Ketro.cts" "$work/v1-installed.cts"
    run 137 "killed in the re-key ($call $k)" strace -f -qq -o /dev/null -e trace="$call" \
      -e inject="$call":signal=SIGKILL:when="$k" "$install" --archive "$work/v2.bin" \
      --dir "$d" --force
    cmp -s "$d/Ketro.cts" "$work/v1-installed.cts" || fail "killed in the re-key: database changed"
    run 0 "rerun after the kill in the re-key" "$install" --archive "$work/v2.bin" --dir "$d"
    [ "$(rows "$d/Ketro.cts")" -eq 300 ] || fail "after the kill in the re-key: not version 2's"
    no_temporaries "$d" "rerun after the kill in the re-key"
    [ ! -e "$d/Ketro.cts-journal" ] || fail "a journal is left beside the database"
  done

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

# --- A user who may not write the folder, or one of its subfolders --------------------------------
if have_root && command -v setpriv >/dev/null; then
  d=$work/locked/inst
  fresh_v1 "$d"
  mkdir -p "$d/old" && touch "$d/old/a.tmp"
  chmod -R a+rX "$work/locked" "$work/v2.bin"
  nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
  snapshot "$d" >"$work/v1.snap"
  run 4 "no rights" nobody "$install" --archive "$work/v2.bin" --dir "$d"
  said "could not be carried out" "no rights"
  unchanged "$d" "$work/v1.snap" "no rights"
  # The folder is the user's, one subfolder is read-only: nothing changes anywhere.
  chown -R 65534:65534 "$work/locked" && chmod 555 "$d/data"
  snapshot "$d" >"$work/v1.snap"
  run 4 "read-only subfolder" nobody "$install" --archive "$work/v2.bin" --dir "$d"
  said 'data\cities.txt' "read-only subfolder"
  unchanged "$d" "$work/v1.snap" "read-only subfolder"
  chmod 755 "$d/data"
  run 0 "the subfolder writable again" nobody "$install" --archive "$work/v2.bin" --dir "$d"
  installed_v "$d" 2
  no_temporaries "$d" "the subfolder writable again"
else
  skip "no rights: setpriv or root missing"
fi

# --- A damaged setup file ----------------------------------------------------------------------------
# One byte flipped inside Ketro.exe's compressed entry, an archive without "list", an empty one.
python3 - "$work/v2.bin" "$work/flipped.bin" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pos = 0
while pos < len(data):
    n = data[pos]; name = bytes(data[pos + 1:pos + 1 + n])
    size, dos, packed = struct.unpack('<iIi', data[pos + 1 + n:pos + 13 + n])
    start = pos + 13 + n
    if name == b'Ketro.exe':
        data[start + packed // 2] ^= 0x40
    pos = start + packed
open(sys.argv[2], 'wb').write(data)
PY
python3 - "$work/nolist.bin" <<'PY'
import struct, sys, zlib
packed = zlib.compress(b'x')
open(sys.argv[1], 'wb').write(bytes([5]) + b'other' + struct.pack('<iIi', 1, 0, len(packed)) + packed)
PY
: >"$work/empty.bin"
d=$work/damaged/inst
fresh_v1 "$d"
snapshot "$d" >"$work/v1.snap"
for a in flipped nolist empty; do
  run 1 "damaged setup ($a)" "$install" --archive "$work/$a.bin" --dir "$d" --force
  said "damaged" "damaged setup ($a)"
  unchanged "$d" "$work/v1.snap" "damaged setup ($a)"
done

# --- Names and masks that leave the folder (a hand-made archive): a damaged setup ---------------
e=$work/escape
mkdir -p "$e/a/b/inst" "$e/a/b/emptydir" "$e/src"
echo "outside" >"$e/a/parent.txt"
echo "outside" >"$e/a/b/parent.txt"
echo "outside" >"$e/a/b/other.txt"
echo ok >"$e/src/ok.txt"
crlf '..\..\x.txt||#|' 'sub\..\..\y.txt||#|' '..\newdir\f.txt||#|' 'ok.txt||#|' '..\*|K|' \
  '..\..\*|K|' '..\parent.txt|K|' '\..\parent.txt|K|' >"$e/src/list"
pack "$work/escape.bin" "$e/src/list" "$e/src"
snapshot "$e" >"$work/escape.snap"
for force in "" --force; do
  run 1 "escaping names $force" "$install" --archive "$work/escape.bin" --dir "$e/a/b/inst" $force
  said "damaged" "escaping names"
  unchanged "$e" "$work/escape.snap" "escaping names"
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
crlf 'old\*.tmp|K|' 'old|K|' 'mask\*.tmp|K|' 'linked\*.*|K|' >"$l/src/masks"
pack "$l/masks.bin" "$l/src/masks" "$l/src"
snapshot "$l" >"$work/links.snap"
run 4 "links" "$install" --archive "$l/links.bin" --dir "$l/inst" --force
said 'could not be carried out' "links"
unchanged "$l" "$work/links.snap" "links"
run 5 "masks through links" "$install" --archive "$l/masks.bin" --dir "$l/inst" --force
for n in 'old\*.tmp' 'mask\keep.tmp' 'linked\*.*'; do said "$n" "masks through links"; done
unchanged "$l" "$work/links.snap" "masks through links"

# --- A line without an entry, empty and comment lines --------------------------------------------
m=$work/missing
mkdir -p "$m/inst" "$m/src"
echo "the user's own text, longer than any entry" >"$m/inst/ghost.txt"
echo ok >"$m/src/ok.txt"
crlf '' 'ghost.txt||#|' 'just a comment' '' 'ok.txt||#|' >"$m/src/list"
pack "$m/missing.bin" "$m/src/list" "$m/src" ghost.txt
crlf '' 'just a comment' '' 'ok.txt||#|' >"$m/src/comments"
pack "$m/comments.bin" "$m/src/comments" "$m/src"
chmod 750 "$m/inst"
snapshot "$m/inst" >"$m/before"
for force in "" --force; do
  run 1 "missing entry $force" "$install" --archive "$m/missing.bin" --dir "$m/inst" $force
  unchanged "$m/inst" "$m/before" "missing entry $force"
  [ "$(stat -c %a "$m/inst")" = 750 ] || fail "the folder's own mode changed"
done
run 0 "comment lines" "$install" --archive "$m/comments.bin" --dir "$m/inst" --force
cmp -s "$m/inst/ok.txt" "$m/src/ok.txt" || fail "comment lines: ok.txt not installed"

# --- One run at a time per folder ------------------------------------------------------------------
d=$work/busy/inst
fresh_v1 "$d"
snapshot "$d" >"$work/v1.snap"
run 8 "a busy folder" flock "$d/~ketro.lock" "$install" --archive "$work/v2.bin" --dir "$d"
said "Another setup is working on this folder" "a busy folder"
rm -f "$d/~ketro.lock"
unchanged "$d" "$work/v1.snap" "a busy folder"
# Two runs at once: each exits 0 or 8, and the folder ends as the new version, encrypted.
"$install" --archive "$work/v2.bin" --dir "$d" >/dev/null 2>&1 &
first=$!
"$install" --archive "$work/v2.bin" --dir "$d" >/dev/null 2>&1
second=$?
wait "$first"
firstrc=$?
case "$firstrc$second" in 00 | 08 | 80) ;; *) fail "two runs at once: exits $firstrc and $second" ;; esac
installed_v "$d" 2
no_temporaries "$d" "two runs at once"

# --- Names with control characters reach the terminal escaped ---------------------------------------
d=$work/names/inst
fresh_v1 "$d"
mkdir -p "$d/old"
touch "$d/old/$(printf 'x\033]0;pwned\007.tmp')" && chmod 444 "$d/old/"*
run 5 "a name with control characters" "$install" --archive "$work/v2.bin" --dir "$d"
! grep -q $'\033' "$work/err" || fail "an escape character reached the terminal"
said 'x\x1B]0;pwned\x07.tmp' "a name with control characters"
chmod 644 "$d/old/"*

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
