#!/usr/bin/env bash
# End-to-end test of the Linux program's window in Xvfb against a private
# PulseAudio of its own ("Speakers", the default output, plays 440 Hz and
# "MicFeed" 1000 Hz, both at half scale), driven as a person would with
# xdotool keys: the window opens with no arguments; with --window
# --stems-silence the "[Loopback] MicFeed" entry is ticked with Space, Enter
# starts, Enter stops, and the window is closed. Each tone is in its own
# stem at its level and the stems end within 10 ms of each other.
#
#   window_e2e.sh path/to/quillbox [screenshot.png]
#
# Scratch files and screenshots go to a fresh folder under $TMPDIR (kept
# when a case fails); the screenshot of the recording window is also copied
# to the path given.
# shellcheck source=e2e_setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_setup.sh" "$1" window
shot_copy=${2:-}
qb_xvfb_start >/dev/null 2>&1 || { echo "cannot start Xvfb"; exit 1; }

app_gone() { ! kill -0 "$pid" 2>/dev/null; }
# Starts the program in the case's folder and waits for its window; its
# process id is left in `pid`, the window in `wid`.
open_window() {
  (cd "$case_dir/cwd" && exec timeout -k 5 120 "$program" "$@" \
    >"$case_dir/out" 2>"$case_dir/err" </dev/null) &
  pid=$!
  wid=""
  qb_wait_until 30 find_window || { fail "no window after 30 s"; return 1; }
  # The device list is built again once the default output is known.
  sleep 1
  xdotool windowfocus --sync "$wid"
}
find_window() {
  wid=$(xdotool search --onlyvisible --name '^Quillbox$' 2>/dev/null | head -1)
  [[ -n $wid ]] || app_gone
}
# Asks the window to close, as a window manager's close button does, and
# waits for the program; its exit status in `status`.
close_window() {
  python3 "$(dirname "${BASH_SOURCE[0]}")/wm_close.py" "$wid" || fail "cannot ask the window to close"
  if ! qb_wait_until 30 app_gone; then
    fail "the program did not end after the window was closed"
    kill "$pid"
  fi
  wait "$pid"
  status=$?
}
box_shown() {
  box=$(xdotool search --onlyvisible --name '^Normalize recording\?$' 2>/dev/null | head -1)
  [[ -n $box ]]
}
shot() { import -window "$wid" "$case_dir/$1.png" 2>/dev/null || fail "no screenshot $1"; }

begin "no arguments in a graphical session open the window"
if open_window; then
  app_gone && fail "the program ended: $(cat "$case_dir/err")"
  close_window
  [[ $status == 0 ]] || fail "exit status $status, expected 0"
  [[ ! -e $case_dir/cwd/quillbox ]] || fail "something was recorded: $(ls -R "$case_dir/cwd")"
fi

begin "stems of system audio and a ticked monitor device, by keys"
if open_window --window --stems-silence; then
  # From the Start button: microphone, system audio, the modes, the quality
  # list, then the device list; its last entry is MicFeed's.
  xdotool key --delay 100 Tab Tab Tab Tab Tab End space
  xdotool key Return
  sleep 4
  shot recording
  xdotool key Return
  sleep 1
  shot stopped
  close_window
  [[ $status == 0 ]] || fail "exit status $status, expected 0; stderr: $(cat "$case_dir/err")"
  session=$(compgen -G "$case_dir/cwd/quillbox/recording_*" | head -1)
  system_stem="$session/loopback.wav"
  device_stem=$(compgen -G "$session/*MicFeed*.wav" | head -1)
  for stem in "$system_stem:440:1000" "$device_stem:1000:440"; do
    IFS=: read -r file own other <<<"$stem"
    [[ -f $file ]] || { fail "stem missing: ${file:-MicFeed} in $(ls -R "$case_dir/cwd")"; continue; }
    a=$(band "$file" "$own")
    b=$(band "$file" "$other")
    echo "  $(basename "$file"): $(soxi -D "$file") s, $own Hz at $a, $other Hz at $b"
    near "$a" 0.5 0.03 || fail "$(basename "$file"): its own tone at $a, expected 0.5"
    near "$b" 0 0.005 || fail "$(basename "$file"): the other tone at $b, expected nothing"
  done
  if [[ -f $system_stem && -f $device_stem ]]; then
    l=$(soxi -s "$system_stem")
    d=$(soxi -s "$device_stem")
    echo "  lengths: system $l, device $d frames"
    (( l - d <= 480 && d - l <= 480 )) || fail "stems end $((l - d)) frames apart (more than 10 ms)"
  fi
  if [[ -n $shot_copy && -f $case_dir/recording.png ]]; then cp "$case_dir/recording.png" "$shot_copy"; fi
fi

begin "a --duration run starts at once and closes its window"
if open_window --window --duration 3 --mic; then
  qb_wait_until 30 app_gone || fail "the window did not close itself"
  wait "$pid"
  status=$?
  [[ $status == 0 ]] || fail "exit status $status, expected 0"
  file=$(compgen -G "$case_dir/cwd/quillbox/*.wav" | head -1)
  if [[ -f $file ]]; then
    a=$(band "$file" 440)
    b=$(band "$file" 1000)
    echo "  $(basename "$file"): $(soxi -D "$file") s, 440 Hz at $a, 1000 Hz at $b"
    near "$a" 0.25 0.03 && near "$b" 0.25 0.03 || fail "each tone at half its level expected"
  else
    fail "no recording: $(ls -R "$case_dir/cwd")"
  fi
fi

begin "a quiet timed run never waits on the normalize question"
# System audio alone while a microphone is present: the mix is quiet.
if open_window --window --duration 2; then
  qb_wait_until 30 app_gone || { fail "the window did not close itself"; kill "$pid"; }
  wait "$pid"
  status=$?
  [[ $status == 0 ]] || fail "exit status $status, expected 0"
  compgen -G "$case_dir/cwd/quillbox/*.wav" >/dev/null || fail "no recording: $(ls -R "$case_dir/cwd")"
  grep -q "It was not normalized (a timed recording)" "$case_dir/err" ||
    fail "no quiet-file note on standard error: $(cat "$case_dir/err")"
fi

begin "closing the window while recording saves the recording"
if open_window --window; then
  xdotool key Return
  sleep 2
  # The finish offers to normalize the quiet mix (one of two sources); Escape is No.
  python3 "$(dirname "${BASH_SOURCE[0]}")/wm_close.py" "$wid" || fail "cannot ask the window to close"
  if qb_wait_until 30 box_shown; then
    xdotool windowfocus --sync "$box" key Escape
  else
    fail "no normalize offer"
  fi
  qb_wait_until 30 app_gone || { fail "the program did not end"; kill "$pid"; }
  wait "$pid"
  status=$?
  [[ $status == 0 ]] || fail "exit status $status, expected 0"
  compgen -G "$case_dir/cwd/quillbox/*.wav" >/dev/null || fail "no recording: $(ls -R "$case_dir/cwd")"
  ! compgen -G "$case_dir/cwd/quillbox/*.recpart" >/dev/null || fail "a .recpart file was left"
fi

begin "--window without a graphical session fails with a clear message"
(cd "$case_dir/cwd" && env -u DISPLAY -u WAYLAND_DISPLAY timeout 30 "$program" --window \
  >"$case_dir/out" 2>"$case_dir/err" </dev/null)
status=$?
[[ $status == 1 ]] || fail "exit status $status, expected 1"
grep -qx "Cannot open the window: no graphical session (DISPLAY and WAYLAND_DISPLAY are not set)." \
  "$case_dir/err" || fail "standard error: $(cat "$case_dir/err")"

begin "--window with an X display that cannot be reached fails with a clear message"
(cd "$case_dir/cwd" && env -u WAYLAND_DISPLAY DISPLAY=:97 timeout 30 "$program" --window \
  >"$case_dir/out" 2>"$case_dir/err" </dev/null)
status=$?
[[ $status == 1 ]] || fail "exit status $status, expected 1"
grep -qx "Cannot open the window: cannot connect to the X display :97." "$case_dir/err" ||
  fail "standard error: $(cat "$case_dir/err")"

e2e_finish
