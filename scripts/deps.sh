#!/usr/bin/env bash
# Installs what the build and the tests need; does nothing when all is there (idempotent).
# scripts/packages.txt lists the Debian packages, 32-bit Wine (wine32:i386) among them: the
# shipped program is PE32 and every Windows test runs it.
#
# Everything missing goes in one apt transaction, so that wine, wine64 and wine32 resolve
# together. When the normal lists cannot give a consistent plan (seen: the security archive's
# i386 index fails to download mid-sync, and Multi-Arch "same" libraries then cannot have one
# version on both architectures), the same transaction is planned once more from the machine's
# own sources with the "-security" suites left out, passed to apt for this one call only; no
# permanent source is changed. Every plan is simulated first; one that would remove a package is
# refused (--no-remove), and one that would downgrade an installed package is carried out only
# with KET_APT_ALLOW_DOWNGRADE=1 (CI machines are ours to change; a user's machine is not).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
say() { echo "deps: $*" >&2; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$here/packages.txt")
missing=()
for p in "${wanted[@]}"; do installed "$p" || missing+=("$p"); done
# npm comes with the machine's Node.js where it has one; Debian's otherwise.
command -v npm >/dev/null 2>&1 || missing+=(npm)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

apt_update() {
  # One index that fails must not stop the packages whose lists did arrive; a retry often gets a
  # consistent copy. What is still missing afterwards shows in the plan.
  local try
  for try in 1 2 3; do
    $sudo_cmd apt-get update -qq >"$work/update.log" 2>&1 && return 0
    say "apt-get update reported errors (try $try of 3)"
    sleep $((try * 3))
  done
  grep -E '^(E|W):' "$work/update.log" | head -n 3 >&2 || true
}

# The machine's sources without the security suites, deb822 and one-line forms alike.
write_release_only_sources() {
  local dir=$1 f
  mkdir -p "$dir"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '/^[[:space:]]*deb/ {
           s = $0; sub(/\[[^]]*\]/, "", s); n = split(s, w, /[[:space:]]+/)
           i = (w[1] == "") ? 4 : 3
           if (w[i] ~ /-security$/) next
         } { print }' "$f" >"$dir/$(basename "$f" .list)-$RANDOM.list"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         { out = ""; keep = 1; n = split($0, line, "\n")
           for (k = 1; k <= n; k++) {
             l = line[k]
             if (l ~ /^Suites:/) {
               m = split(substr(l, 8), s, /[[:space:]]+/); l = "Suites:"; c = 0
               for (j = 1; j <= m; j++) if (s[j] != "" && s[j] !~ /-security$/) { l = l " " s[j]; c++ }
               if (c == 0) keep = 0
             }
             out = out l "\n"
           }
           if (keep) printf "%s\n", out }' "$f" >"$dir/$(basename "$f")"
  done
}

# simulate LOG APT-OPTION... : plans the install of "${missing[@]}"; fails when apt finds none.
simulate() {
  local log=$1
  shift
  $sudo_cmd apt-get -s "$@" install --no-remove --no-install-recommends "${missing[@]}" >"$log" 2>&1
}
downgrades() {
  awk '/^Inst [^ ]+ \[/ { v = $4; sub(/^\(/, "", v); o = $3; gsub(/[][]/, "", o); print $2, o, v }' "$1" |
    while read -r p old new; do
      dpkg --compare-versions "$new" lt "$old" && echo "$p $old -> $new"
    done
}
carry_out() {
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -y -qq "$@" install --no-remove \
    --no-install-recommends "${missing[@]}" >"$work/install.log" 2>&1 ||
    { tail -n 20 "$work/install.log" >&2; return 1; }
}

# plan_and_install: one transaction for "${missing[@]}", the normal way first.
plan_and_install() {
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  apt_update
  if simulate "$work/plan.txt"; then
    carry_out
  else
    say "apt finds no plan with the normal package lists:"
    grep -E '^ |^E:' "$work/plan.txt" | head -n 6 >&2 || true
    parts="$work/sources.list.d"
    write_release_only_sources "$parts"
    release_only=(-o "Dir::Etc::sourceparts=$parts" -o Dir::Etc::sourcelist=/dev/null)
    if ! simulate "$work/plan-release.txt" "${release_only[@]}"; then
      grep -E '^ |^E:' "$work/plan-release.txt" | head -n 10 >&2 || true
      say "no plan without the security lists either; nothing was installed"
      return 1
    fi
    say "planned again from the release lists alone (the security suites left out for this" \
      "transaction only, since their index could not be had consistently); these packages" \
      "come from the release lists:"
    awk '/^Inst /{print $2}' "$work/plan-release.txt" | sort | paste -sd' ' | fold -s -w 96 | sed 's/^/  /' >&2
    mapfile -t down < <(downgrades "$work/plan-release.txt")
    if ((${#down[@]})); then
      printf '  downgrade: %s\n' "${down[@]}" >&2
      if [ "${KET_APT_ALLOW_DOWNGRADE:-}" != 1 ]; then
        say "that plan downgrades installed packages, so it was not carried out; nothing was" \
          "installed. Allow it with KET_APT_ALLOW_DOWNGRADE=1 (a build machine), or install the" \
          "packages above by hand once the security archive's lists download again."
        return 1
      fi
      release_only+=(--allow-downgrades)
      say "KET_APT_ALLOW_DOWNGRADE=1: carrying out the downgrades"
    fi
    carry_out "${release_only[@]}"
  fi
}

if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  if ! (plan_and_install); then
    # Without 32-bit Wine the native suites still build and run; the Windows suites then run in
    # the emulated machine (scripts/run-tests.sh), whose image brings its own.
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | grep -v ':i386$')
    say "32-bit Wine could not be installed; installing the rest: ${missing[*]}"
    if ((${#missing[@]})) && ! { simulate "$work/plan-rest.txt" && carry_out; }; then
      say "could not install ${missing[*]}"
      exit 1
    fi
  fi
  for p in "${missing[@]}"; do
    [ "$p" = npm ] && continue
    installed "$p" || { say "$p is still not installed"; exit 1; }
  done
fi

"$here/fetch-sqlite.sh" "$root/build/deps"
