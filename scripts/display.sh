# Shell functions for programs shown on a private X display; source this file.
#
#   ket_start_xvfb LOG         starts Xvfb on a free display number, exports DISPLAY and sets
#                              ket_xvfb_pid (the caller stops it)
#   ket_window_shot TITLE OUT  waits for a top-level window titled TITLE and saves it as OUT
#                              (cut from the root window: without a window manager windows
#                              have no frame); fails when no such window appears

ket_start_xvfb() {
  local n=90
  # A free display number: none of ours or anybody's lock file.
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$1" 2>&1 &
  ket_xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

ket_window_shot() {
  local title=$1 out=$2 geometry
  for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -q "\"$title\"" && break
    sleep 0.2
  done
  # Let the window finish painting.
  sleep 2
  geometry=$(xwininfo -root -tree 2>/dev/null | grep "\"$title\"" | head -1 |
    sed -E 's/.* ([0-9]+x[0-9]+)\+([0-9]+)\+([0-9]+).*/\1+\2+\3/')
  [ -n "$geometry" ] || return 1
  import -window root -crop "$geometry" +repage "$out"
}
