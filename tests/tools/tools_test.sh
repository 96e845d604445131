#!/usr/bin/env bash
# ketro-pack and ketro-install as a user runs them: argument forms, refusals, exit codes,
# reproducible archives, and an installation of the demo product.
#   tools_test.sh BIN_DIR
set -uo pipefail
bin=$1
pack=$bin/ketro-pack
install=$bin/ketro-install
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_rc() { # expect_rc WANT DESCRIPTION COMMAND...
  local want=$1 what=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  [ "$rc" -eq "$want" ] || fail "$what: exit $rc, wanted $want ($(head -c 300 "$work/err"))"
}
crlf() { printf '%s\r\n' "$@"; }

# A small product of our own, in the shipped manifest form.
demo=$work/product
mkdir -p "$demo/user" "$demo/data/maps" "$demo/help"
crlf 'readme.txt||#|about' 'license.txt||#|terms' 'Ketro.ini|PO|#|settings' \
  'user\bookmarks.txt|O|#|bookmarks' 'data\cities.txt|P|#|cities' 'data\maps\legend.txt||#|legend' \
  'help\ketro-en.txt|P|#|help' 'help\ketro-ru.txt|P|#|help' 'data\old\*.tmp|K|' 'data\old|K|' \
  >"$demo/list"
for f in readme.txt license.txt Ketro.ini user/bookmarks.txt data/cities.txt data/maps/legend.txt \
  help/ketro-en.txt; do
  printf 'content of %s\n' "$f" >"$demo/$f"
done
printf 'Справка Ketro\n' >"$demo/help/ketro-ru.txt"

# --- ketro-pack create, list, extract ---------------------------------------------------------
date='2025-11-10 14:02:50'
expect_rc 0 "pack demo" "$pack" create --manifest "$demo/list" --root "$demo" --output "$work/a.bin" --date "$date"
cp -r "$demo" "$work/demo2"
touch -d '2001-01-01' "$work/demo2"/readme.txt
expect_rc 0 "pack again" "$pack" create --manifest "$work/demo2/list" --root "$work/demo2" --output "$work/b.bin" --date "$date"
cmp -s "$work/a.bin" "$work/b.bin" || fail "--date archives differ"

expect_rc 0 "list" "$pack" list "$work/a.bin"
grep -q "^0"$'\t'"list"$'\t'"$(stat -c %s "$demo/list")"$'\t[0-9]*\t17\t-$' "$work/out" ||
  fail "list line 0: $(head -n1 "$work/out")"
grep -q $'^1\treadme.txt\t[0-9]*\t[0-9]*\t[0-9]*\t2025-11-10 14:02:50$' "$work/out" || fail "list line 1: $(sed -n 2p "$work/out")"
entries=$(($(grep -c . <(tr -d '\r' <"$demo/list" | grep -v '|K|')) + 1))
[ "$(wc -l <"$work/out")" -eq "$entries" ] || fail "list: $(wc -l <"$work/out") entries, wanted $entries"

expect_rc 0 "extract" "$pack" extract "$work/a.bin" 'HELP\KETRO-RU.TXT' --output "$work/ru.txt"
cmp -s "$work/ru.txt" "$demo/help/ketro-ru.txt" || fail "extracted file differs"
expect_rc 1 "extract missing" "$pack" extract "$work/a.bin" nothing --output "$work/none"
[ ! -e "$work/none" ] || fail "extract of a missing entry left a file"

# The file's own time without --date, as local clock time.
mkdir -p "$work/t"
crlf 'x.txt||#|' >"$work/t/list"
echo x >"$work/t/x.txt"
touch -d '2024-02-29 23:59:58' "$work/t/x.txt"
expect_rc 0 "pack with file time" "$pack" create --manifest "$work/t/list" --root "$work/t" --output "$work/t.bin"
"$pack" list "$work/t.bin" | grep -q $'\t2024-02-29 23:59:58$' || fail "file time not kept"
touch -d '1975-01-01' "$work/t/x.txt"
expect_rc 1 "time before 1980" "$pack" create --manifest "$work/t/list" --root "$work/t" --output "$work/t2.bin"

# First occurrence only when names repeat ignoring case.
crlf 'x.txt||#|' 'X.TXT|P|#|again' 'old\*.tmp|K|' >"$work/t/list"
expect_rc 0 "duplicates" "$pack" create --manifest "$work/t/list" --root "$work/t" --output "$work/d.bin" --date "$date"
[ "$("$pack" list "$work/d.bin" | wc -l)" -eq 2 ] || fail "a repeated name was packed twice"

# Refusals: exit 1 and no output file, an older one untouched.
echo keep >"$work/old.bin"
for bad in '|P|#|empty' '\abs.txt||#|' '/abs.txt||#|' 'C:\x.txt||#|' 'a\..\x.txt||#|' '..|K|' \
  'missing.txt||#|' 'LIST||#|' "$(printf 'n%.0s' {1..256})||#|" 'a\.\x.txt||#|' 'x\...\y||#|' \
  'x.txt:stream||#|' 'NUL||#|' 'sub\com1.txt||#|' "$(printf 'a\tb')||#|" '*\x.tmp|K|' \
  'old\..|K|' 'a?\b\*.tmp|K|' '|K|' 'just a comment'; do
  crlf 'x.txt||#|' "$bad" >"$work/t/list"
  expect_rc 1 "refuse $bad" "$pack" create --manifest "$work/t/list" --root "$work/t" --output "$work/old.bin" --date "$date"
  [ "$(cat "$work/old.bin")" = keep ] || fail "refusal of $bad touched the output"
  expect_rc 1 "refuse $bad" "$pack" create --manifest "$work/t/list" --root "$work/t" --output "$work/new.bin" --date "$date"
  [ ! -e "$work/new.bin" ] || fail "refusal of $bad left an output file"
done
ls "$work" | grep -q '\.tmp\.' && fail "temporary files left behind"

# Usage errors: exit 3 (the exit-code table's), with the usage text on stderr.
expect_usage() { # expect_usage DESCRIPTION COMMAND...
  expect_rc 3 "$@"
  grep -q '^usage: ' "$work/err" || fail "$1: no usage text"
}
expect_usage "no command" "$pack"
expect_usage "bad date" "$pack" create --manifest "$demo/list" --root "$demo" --output "$work/x.bin" --date "2025-02-30 00:00:00"
expect_usage "missing option" "$pack" create --manifest "$demo/list" --output "$work/x.bin"
expect_usage "unknown option" "$pack" list "$work/a.bin" --frob
expect_usage "extra operand" "$pack" list "$work/a.bin" "$work/b.bin"

# A damaged archive: message on stderr, exit 1.
head -c 100 "$work/a.bin" >"$work/cut.bin"
expect_rc 1 "list damaged" "$pack" list "$work/cut.bin"
grep -q 'Malformed archive: entry 0 at offset 0' "$work/err" || fail "damage message: $(cat "$work/err")"

# --- ketro-install ----------------------------------------------------------------------------
target=$work/inst/deep/Ketro
expect_rc 0 "install" "$install" --archive "$work/a.bin" --dir "$target"
for f in readme.txt license.txt Ketro.ini user/bookmarks.txt data/cities.txt data/maps/legend.txt \
  help/ketro-en.txt help/ketro-ru.txt; do
  cmp -s "$demo/$f" "$target/$f" || fail "installed $f differs"
done
grep -q '^\[1/' "$work/out" || fail "no plain progress lines: $(cat "$work/out")"

echo "my settings" >"$target/Ketro.ini"
mkdir -p "$target/data/old" && touch "$target/data/old/a.tmp"
expect_rc 0 "rerun" "$install" --archive "$work/a.bin" --dir "$target/"
grep -q '0 of them files' "$work/out" || fail "rerun wrote files: $(cat "$work/out")"
[ "$(cat "$target/Ketro.ini")" = "my settings" ] || fail "the user's settings were replaced"
[ ! -e "$target/data/old" ] || fail "obsolete folder not deleted"
expect_rc 0 "forced" "$install" --archive "$work/a.bin" --dir "$target" --force
cmp -s "$demo/Ketro.ini" "$target/Ketro.ini" || fail "forced install kept the settings"

# On a terminal: a progress bar redrawn in place.
if command -v script >/dev/null; then
  script -qec "$install --archive $work/a.bin --dir $work/tty --no-desktop" /dev/null >"$work/tty.out" 2>&1
  grep -q $'\r\\[#' "$work/tty.out" || fail "no progress bar on a terminal"
fi

touch "$work/plainfile"
expect_rc 2 "refused folder" "$install" --archive "$work/a.bin" --dir "$work/plainfile/sub"
[ "$(cat "$work/err")" = "Не правильно имя папки!" ] || fail "refusal text: $(cat "$work/err")"
expect_rc 2 "empty folder" "$install" --archive "$work/a.bin" --dir ""
[ "$(cat "$work/err")" = "Unable to create directory" ] || fail "empty folder text: $(cat "$work/err")"
expect_rc 1 "bad archive" "$install" --archive "$work/cut.bin" --dir "$work/x"
expect_usage "missing --archive" "$install" --dir "$work/x"
expect_usage "install: unknown option" "$install" --archive "$work/a.bin" --dir "$work/x" --frob
expect_usage "install: a switch with a value" "$install" --archive "$work/a.bin" --dir "$work/x" --force=yes
[ ! -e "$work/x" ] || fail "a wrong command line installed"

# --uninstall: what the installation put there goes, the user's files and settings stay.
u=$work/uninst
expect_rc 0 "install to uninstall" "$install" --archive "$work/a.bin" --dir "$u"
echo mine >"$u/data/mine.txt"
expect_rc 0 "uninstall" "$install" --uninstall --dir "$u"
[ "$(cd "$u" && find . | sort | tr '\n' ' ')" = ". ./Ketro.ini ./data ./data/mine.txt ./user ./user/bookmarks.txt " ] ||
  fail "after --uninstall: $(cd "$u" && find . | sort | tr '\n' ' ')"
expect_rc 1 "uninstall without a record" "$install" --uninstall --dir "$u"
[ -f "$u/data/mine.txt" ] || fail "a second --uninstall removed the user's file"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "tools: all passed"
