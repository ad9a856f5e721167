#!/usr/bin/env bash
# End-to-end test of the Windows program's window under Wine and Xvfb against
# the private PulseAudio (440 Hz on "Speakers", 1000 Hz at half scale into
# "VirtualMic"), driven as a person would: keys and clicks with xdotool, with
# the controls, focus and message boxes read back by the probe program.
#
#   window_e2e.sh path/to/quillbox.exe path/to/quillbox_window_probe.exe
#
# Uses the display and sound server it is given (DISPLAY, PULSE_SERVER) or
# starts its own. Scratch files go to a fresh folder (kept when a case fails);
# screenshots of each case are kept there too.
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
# shellcheck source=../../../scripts/lib/services.sh
source "$ROOT/scripts/lib/services.sh"
EXE=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
PROBE=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
WINE="$ROOT/scripts/wine-run"

if [[ -z "${DISPLAY:-}" ]]; then qb_xvfb_start || exit 2; fi
if [[ -z "${PULSE_SERVER:-}" ]]; then
  qb_pulse_start && qb_tones_start || exit 2
fi
qb_wine_env

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-window-e2e.XXXXXX") || exit 2
work=$(cd "$work" && pwd -P)
failures=0
checks=0
APP=""

native() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

check() {  # check NAME COMMAND...
  local name=$1
  shift
  checks=$((checks + 1))
  if "$@"; then
    echo "ok   $name"
  else
    echo "FAIL $name"
    failures=$((failures + 1))
  fi
}

probe() { timeout 30 "$WINE" "$PROBE" "$@" </dev/null | tr -d '\r'; }
shot() { import -window root "$work/$1.png" 2>/dev/null || true; }

# start_app DIR ARGS...: runs the program in DIR (created), streams to DIR/out
# and DIR/err, and waits for its window: shown, on the X display, and its
# device list filled.
start_app() {
  local dir=$1
  shift
  mkdir -p "$dir"
  (cd "$dir" && exec timeout 180 "$WINE" "$EXE" "$@" >"$dir/out" 2>"$dir/err" </dev/null) &
  APP=$!
  probe wait 60 >/dev/null || { echo "  the window did not appear"; return 1; }
  qb_wait_until 30 window_ready || { echo "  the window did not become ready"; return 1; }
}
# Ready for keys and clicks, or showing a box first (a --duration start), or
# already ended.
window_ready() {
  app_gone || box_shown ||
    { xdotool search --onlyvisible --name '^Quillbox$' >/dev/null && [[ -n "$(probe items)" ]]; }
}
app_gone() { ! kill -0 "$APP" 2>/dev/null; }

# end_app: waits up to 60 s for the program; its exit status in APP_STATUS.
end_app() {
  if ! qb_wait_until 60 app_gone; then
    echo "  the program did not end; closing it"
    probe close >/dev/null
    qb_wait_until 5 app_gone || kill "$APP" 2>/dev/null
  fi
  wait "$APP"
  APP_STATUS=$?
  APP=""
}

# The screen position of a control's centre: "x y".
centre() {
  local id=$1
  probe controls | awk -F'|' -v id="$id" '
    $1 == "main" { ox = $6; oy = $7 }
    $1 != "main" && $2 == id { printf "%d %d\n", ox + $5 + $7 / 2, oy + $6 + $8 / 2 }'
}

click() {  # click CONTROL_ID
  local xy
  xy=$(centre "$1")
  [[ -n "$xy" ]] || return 1
  # shellcheck disable=SC2086
  xdotool mousemove $xy click 1
}

# Clicks the list entry whose text ends with NAME.
click_entry() {
  local name=$1 controls index
  controls=$(probe controls)
  index=$(probe items | grep -n -- "—  $name\$" | head -1 | cut -d: -f1)
  [[ -n "$index" ]] || return 1
  local xy
  xy=$(awk -F'|' -v n="$index" '
    $1 == "main" { ox = $6; oy = $7; h = $8 }
    $1 != "main" && $2 == 104 { printf "%d %d\n", ox + $5 + 60, oy + $6 + 2 + h * (n - 1) + h / 2 }' \
    <<<"$controls")
  # shellcheck disable=SC2086
  xdotool mousemove $xy click 1
}

# Answers every message box with OK (or Yes when $1 is 6); prints them.
answer_boxes() {
  local i
  for ((i = 0; i < 5; i++)); do
    local boxes
    boxes=$(probe boxes)
    [[ -n "$boxes" ]] || return 0
    echo "$boxes" | sed 's/^/  box: /'
    probe answer "${1:-1}" >/dev/null || probe answer 1 >/dev/null
    qb_wait_until 10 boxes_other_than "$boxes"
  done
}

# A message box is shown (when $1 is given: one whose caption starts with it).
box_shown() { probe boxes | grep -q "^${1:-}"; }
# The boxes shown are no longer those listed in $1.
boxes_other_than() { [[ "$(probe boxes)" != "$1" ]]; }
# The device list's entry NAME is ticked.
ticked() { probe items | grep -qx -- "on   —  $1"; }

status_text() { probe controls | awk -F'|' '$1 == "Static" && $5 == 220 && $6 == 14 { print $9 }'; }
# The status line starts with $1.
status_is() { [[ "$(status_text)" == "$1"* ]]; }
# A stopped recording is saved, or a box asks or reports something.
finished() { status_is Saved || box_shown; }

# Sleeps until $2 seconds have passed since the time $1 (date +%s.%N).
sleep_since() {
  sleep "$(awk -v t="$1" -v d="$2" -v now="$(date +%s.%N)" 'BEGIN { r = t + d - now; print (r > 0 ? r : 0) }')"
}

# wav_has FILE FREQ [mix]: the first channel is a tone of about FREQ Hz
# peaking at half scale, as played; "mix": at a quarter, its share of a mix
# over two sources.
wav_has() {
  local file=$1 freq=$2 level=${3:-half} stat f a
  [[ -f "$file" ]] || { echo "  no file $file"; return 1; }
  stat=$(sox "$file" -n remix 1 stat 2>&1)
  f=$(awk '/^Rough +frequency:/ { print $NF }' <<<"$stat")
  a=$(awk '/^Maximum amplitude:/ { print $NF }' <<<"$stat")
  echo "  $(basename "$file"): $(soxi -r "$file") Hz, $(soxi -c "$file") ch, $(soxi -d "$file"), tone $f Hz, peak $a"
  local low=0.45 high=0.55
  if [[ $level == mix ]]; then low=0.22 high=0.28; fi
  awk -v f="$f" -v a="$a" -v want="$freq" -v low="$low" -v high="$high" \
    'BEGIN { exit !(f > want * 0.99 && f < want * 1.01 && a > low && a < high) }'
}

# The peak of FILE between START and START+LENGTH seconds.
peak_between() {
  sox "$1" -n trim "$2" "$3" remix 1 stat 2>&1 | awk '/^Maximum amplitude:/ { print $NF }'
}

cleanup() {
  if [[ -n "$APP" ]]; then
    probe close >/dev/null 2>&1
    qb_wait_until 5 app_gone || kill "$APP" 2>/dev/null
  fi
}
trap 'cleanup; qb_services_stop_all' EXIT

# --- The window opens with every control where it belongs ---------------------

dir="$work/layout"
start_app "$dir" || exit 1
shot layout
controls=$(probe controls)
echo "$controls" | sed 's/^/  /'
rows=$(awk -F'|' '$1 == "main" { print ($5 - 358) / 16 }' <<<"$controls")
# class|id|style|x|y|w|h|text in creation order; the list's scroll bar style
# comes and goes with its contents, the combo box reports its closed height.
expected="main|Quillbox|0x14CA0000|600|$((358 + 16 * rows))
Button|101|0x50010001|10|10|160|26|&Start Recording
Button|102|0x50010003|10|46|200|20|Record &microphone
Button|103|0x50010003|10|68|200|20|Record &system audio
Button|108|0x50030009|10|92|145|20|Single file
Button|109|0x50000009|10|128|145|20|Stems (silence)
Button|110|0x50000009|10|164|155|20|Stems (instructed)
Static|0|0x50000000|165|94|425|30|Mix all sources into one recording file.
Static|0|0x50000000|165|130|425|30|Record each source separately; insert silence while disabled so files stay aligned.
Static|0|0x50000000|165|166|425|30|Record active segments separately and provide sample-accurate editor offsets.
Static|0|0x50000000|10|201|55|16|Quality:
ComboBox|111|0x50010003|68|198|522|*|Auto (match source)
Static|0|0x50000000|10|226|120|16|Other devices:
ListBox|104|0x50010101|10|244|580|$((16 * rows + 4))|
Static|0|0x50000000|10|$((16 * rows + 256))|85|18|Output folder:
Edit|105|0x50010080|100|$((16 * rows + 254))|490|22|$(native "$dir/quillbox")
Button|112|0x50010003|10|$((16 * rows + 284))|360|28|Ask where to save after recording
Button|106|0x50010000|10|$((16 * rows + 316))|280|26|Repair incomplete recordings
Button|107|0x50010000|300|$((16 * rows + 316))|290|26|Normalize WAV file...
Static|0|0x50000000|220|14|210|36|Ready.
Static|0|0x50000000|220|54|210|18|"
got=$(awk -F'|' '
  $1 == "main" { print $1 "|" $2 "|" $3 "|" $4 "|" $5; next }
  { style = $3; if ($1 == "ListBox") style = "0x50010101"; h = $8; if ($1 == "ComboBox") h = "*"
    print $1 "|" $2 "|" style "|" $5 "|" $6 "|" $7 "|" h "|" $9 }' <<<"$controls")
check "controls: classes, ids, styles, positions, sizes, texts, creation order" \
  diff <(echo "$expected") <(echo "$got")
check "exstyle: only the device list has a client edge" \
  test "$(awk -F'|' '$1 != "main" && $4 != "0x00000000" { print $1 $4 }' <<<"$controls")" \
  = "ListBox0x00000200"
check "device list holds the outputs as [Loopback] entries and the inputs, unticked" \
  bash -c "probe() { timeout 30 '$WINE' '$PROBE' \"\$@\" </dev/null | tr -d '\r'; }
    items=\$(probe items); echo \"\$items\" | sed 's/^/  /'
    grep -qx 'off  —  \[Loopback\] Speakers' <<<\"\$items\" && grep -qx 'off  —  Monitor of Speakers' <<<\"\$items\""

# Tab walks the controls that take the focus, in creation order (the mode
# group once, at its checked button).
focused() { probe focus | cut -d'|' -f1; }
focus_left() { [[ "$(focused)" != "$1" ]]; }
now=$(focused)
order=$now
for _ in 1 2 3 4 5 6 7 8 9 10; do
  xdotool key Tab
  qb_wait_until 5 focus_left "$now"
  now=$(focused)
  order+=" $now"
done
echo "  focus: $order"
check "Tab order" test "$order" = "101 102 103 108 111 104 105 112 106 107 101"

# Repair: a recording cut off by a crash in the output folder.
mkdir -p "$dir/quillbox"
{
  printf 'RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x02\x00\x80\xbb\x00\x00\x00\xee\x02\x00\x04\x00\x10\x00data\x00\x00\x00\x00'
  sox -n -r 48000 -c 2 -b 16 -e signed -t raw - synth 1 sine 440 vol 0.5
} >"$dir/quillbox/crashed.recpart"
click 106
qb_wait_until 10 box_shown
shot repair-box
boxes=$(probe boxes)
echo "$boxes" | sed 's/^/  box: /'
check "Repair button: summary box" test "$boxes" = \
  "Repair Results|1 incomplete recording(s) found.\\n1 repaired successfully.\\n\\nDirectory checked:\\n$(native "$dir/quillbox")"
answer_boxes
check "Repair button: the file became a WAV" test -f "$dir/quillbox/crashed.wav"

# Normalize: a quiet file chosen in the open dialog.
sox -n -r 48000 -c 2 -b 16 "$dir/quiet.wav" synth 1 sine 440 vol 0.1
click 107
# The open dialog, shown and holding the keyboard.
dialog_ready() {
  box_shown "Select WAV file" && [[ "$(xdotool getwindowfocus getwindowname)" == "Select WAV file"* ]]
}
qb_wait_until 20 dialog_ready
shot normalize-dialog
xdotool type --delay 20 "$(native "$dir/quiet.wav")"
xdotool key Return
qb_wait_until 20 box_shown Normalize
boxes=$(probe boxes)
echo "$boxes" | sed 's/^/  box: /'
check "Normalize button: box" test "$boxes" = "Normalize complete|Normalized: $(native "$dir/quiet.wav")"
answer_boxes
peak=$(sox "$dir/quiet.wav" -n stat 2>&1 | awk '/^Maximum amplitude:/ { print $NF }')
echo "  normalized peak $peak"
check "Normalize button: the file now peaks at full scale" \
  awk -v p="$peak" 'BEGIN { exit !(p > 0.99) }'
check "Normalize button: status line" test "$(status_text)" = "Normalized: $(native "$dir/quiet.wav")"

probe close >/dev/null
end_app
check "closed window: exit status 0" test "$APP_STATUS" = 0

# --- A timed recording of the microphone closes by itself ---------------------

dir="$work/timed"
start_app "$dir" --duration 3 --mic --output "$(native "$dir/rec")" || exit 1
shot timed
boxes=$(probe boxes)
echo "$boxes" | sed 's/^/  box: /'
end_app
check "--duration 3 --mic: closes by itself with exit status 0" test "$APP_STATUS" = 0
wavs=("$dir"/rec/*.wav)
# The mix is scaled by the number of configured sources: the microphone and
# system audio, which Wine cannot capture by loopback: the tone is at a
# quarter of full scale.
check "--duration 3 --mic: one WAV holding the 1000 Hz tone" \
  bash -c "[[ ${#wavs[@]} == 1 ]] && $(declare -f wav_has); wav_has '${wavs[0]}' 1000 mix"
echo "  standard error: $(tr '\r\n' '  ' <"$dir/err")"
check "redirected standard error: the failed loopback start is reported" \
  grep -q 'Loopback capture error: GetService: 0x88890003' "$dir/err"

# --- A quiet timed recording never waits on a question ------------------------

# System audio alone (which Wine cannot capture) with a microphone present:
# the mix is quiet, yet the run is unattended, so it is not offered for
# normalizing; it ends by itself and says the file can be normalized.
dir="$work/timed-quiet"
start_app "$dir" --duration 2 --output "$(native "$dir/rec")" || exit 1
ended=yes
qb_wait_until 30 app_gone || ended=no
shot timed-quiet
[[ $ended == yes ]] || probe boxes | sed 's/^/  box: /'
end_app
check "--duration 2, one quiet source: ends by itself" test "$ended" = yes
check "--duration 2, one quiet source: exit status 0" test "$APP_STATUS" = 0
wavs=("$dir"/rec/*.wav)
check "--duration 2, one quiet source: its WAV is saved" test -f "${wavs[0]}" -a "${#wavs[@]}" = 1
echo "  standard error: $(tr '\r\n' '  ' <"$dir/err")"
check "--duration 2, one quiet source: standard error says it can be normalized" \
  grep -q 'the file is quiet.*"Normalize WAV file\.\.\." to raise it' "$dir/err"

# --- Stems: a ticked device, the microphone switched off and on ---------------

dir="$work/stems"
start_app "$dir" --mic || exit 1
click_entry "Monitor of Speakers"
xdotool key space
qb_wait_until 10 ticked "Monitor of Speakers"
click 109
shot stems-ready
check "Space ticks the selected device" ticked "Monitor of Speakers"
# The microphone records for 3.5 s, is off for 2.5 s and on again for 3.5 s:
# those times are the case's input.
click 101
t_start=$(date +%s.%N)
qb_wait_until 20 status_is Recording
answer_boxes
sleep_since "$t_start" 3.5
click 102 # microphone off
t_off=$(date +%s.%N)
sleep 2.5
shot stems-mic-off
click 102 # and on again
t_on=$(date +%s.%N)
sleep 3.5
shot stems-recording
click 101
qb_wait_until 60 finished
answer_boxes
shot stems-stopped
echo "  status: $(status_text)"
session=$(ls -d "$dir"/quillbox/recording_* 2>/dev/null | head -1)
ls -l "$session" 2>/dev/null | sed 's/^/  /'
check "stems: the device's file holds 440 Hz" wav_has "$session/Monitor of Speakers.wav" 440
check "stems: the microphone's file holds 1000 Hz" wav_has "$session/mic.wav" 1000
# Silence while it was off (the file starts with the recording; a margin of
# 0.5 s on either side).
mic_off=$(peak_between "$session/mic.wav" "$(awk -v a="$t_off" -v b="$t_start" 'BEGIN { print a - b + 0.5 }')" \
  "$(awk -v a="$t_on" -v b="$t_off" 'BEGIN { print a - b - 1.0 }')")
echo "  microphone peak while switched off: $mic_off"
check "stems: silence while the microphone was switched off" \
  awk -v p="$mic_off" 'BEGIN { exit !(p < 0.01) }'
check "stems: the unticked input devices hold silence" \
  test "$(peak_between "$session/VirtualMic.wav" 0 100)" = 0.000000
probe close >/dev/null
end_app
check "stems: exit status 0" test "$APP_STATUS" = 0

# --- An output folder that cannot be written -----------------------------------

dir="$work/unwritable"
mkdir -p "$dir"
echo "a file, not a folder" >"$dir/blocked"
start_app "$dir" --duration 4 --mic --output "$(native "$dir/blocked/sub")" || exit 1
qb_wait_until 10 status_is Recording
status=$(status_text)
echo "  status: $status"
shot unwritable
check "unwritable folder: the notice is in the status line" \
  grep -q "Could not write to $(native "$dir/blocked/sub" | sed 's/\\/\\\\/g'); recording in " <<<"$status"
answer_boxes
end_app
check "unwritable folder: exit status 0" test "$APP_STATUS" = 0

# --- The output folder removed while recording --------------------------------

# Removed from outside (the host, as a sync client or a removed drive does):
# the files' names are gone, their handles still reach every byte; the
# recording is saved again in the folder made anew, and a box says so.
dir="$work/vanished"
start_app "$dir" --duration 4 --mic --output "$(native "$dir/rec")" || exit 1
qb_wait_until 10 status_is Recording
qb_wait_until 10 bash -c "compgen -G '$dir/rec/*.recpart' >/dev/null"
sleep 1
rm -rf "$dir/rec"
qb_wait_until 30 box_shown
boxes=$(probe boxes)
shot vanished
echo "$boxes" | sed 's/^/  box: /'
check "removed folder: a box says the recording was saved again there" \
  bash -c 'grep -qF "Recording saved again|" <<<"$1" && grep -qF "$2" <<<"$1"' _ "$boxes" "$(native "$dir/rec")"
answer_boxes
end_app
check "removed folder: exit status 0" test "$APP_STATUS" = 0
wavs=("$dir"/rec/*.wav)
check "removed folder: the whole recording is back, holding the 1000 Hz tone" \
  bash -c "[[ ${#wavs[@]} == 1 ]] && (( \$(soxi -s '${wavs[0]}') > 48000 * 3 )) && $(declare -f wav_has); wav_has '${wavs[0]}' 1000 mix"

# --- Closing the window while recording saves the files -----------------------

dir="$work/close"
start_app "$dir" --mic || exit 1
click 101
t_start=$(date +%s.%N)
qb_wait_until 20 status_is Recording
answer_boxes
sleep_since "$t_start" 3.5
xdotool key alt+F4
end_app
check "close while recording: exit status 0" test "$APP_STATUS" = 0
wavs=("$dir"/quillbox/*.wav)
check "close while recording: the recording was saved" \
  bash -c "$(declare -f wav_has); wav_has '${wavs[0]}' 1000 mix"

# --- Started without standard streams ------------------------------------------

dir="$work/nostreams"
mkdir -p "$dir"
# As from a desktop: the probe starts it with no standard handles at all.
(cd "$dir" && timeout 60 "$WINE" "$PROBE" detached "$(native "$EXE")" --duration 2 --mic \
  --output "$(native "$dir/rec")" </dev/null >"$dir/out" 2>"$dir/err")
rc=$?
check "no standard streams: exit status 0, nothing printed" \
  test "$rc:$(cat "$dir/out" "$dir/err")" = 0:
wavs=("$dir"/rec/*.wav)
check "no standard streams: the recording was saved" \
  bash -c "$(declare -f wav_has); wav_has '${wavs[0]}' 1000 mix"

echo "$((checks - failures)) of $checks checks passed"
if ((failures > 0)); then
  echo "scratch files and screenshots kept in $work"
  exit 1
fi
# QB_E2E_KEEP=1 keeps the screenshots of a passing run to look at.
if [[ -n "${QB_E2E_KEEP:-}" ]]; then
  echo "scratch files and screenshots kept in $work"
else
  rm -rf "$work"
fi
