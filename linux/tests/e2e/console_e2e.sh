#!/usr/bin/env bash
# End-to-end test of the Linux program's console recording against a private
# PulseAudio of its own: "Speakers" (the default output) plays 440 Hz and the
# default source "VirtualMic" 1000 Hz, both at half scale; "Headset" plays
# 660 Hz in the case that makes it the default output.
#
#   console_e2e.sh path/to/quillbox
#
# Scratch files go to a fresh folder under $TMPDIR (kept when a case fails).
# shellcheck source=e2e_setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_setup.sh" "$1" console

# Runs the program in the case's folder: run STATUS_FILE ARGS...
run() {
  (cd "$case_dir/cwd" && exec timeout -k 5 60 "$program" "$@" \
    >"$case_dir/out" 2>"$case_dir/err" </dev/null)
  echo $? >"$case_dir/status"
}
status() { cat "$case_dir/status"; }

# Starts recording into the case's folder D without --duration, with the
# options given, and waits until its first file appears; its process id is
# left in `pid`.
record_in_background() {
  (cd "$case_dir/cwd" && exec "$program" "$@" --output "$case_dir/D" >"$case_dir/out" 2>"$case_dir/err" </dev/null) &
  pid=$!
  qb_wait_until 30 recording_begun || echo "  no recording file after 30 s"
}
# Records for 3 s from the moment the file appears, then sends the program
# signal $1.
record_then_signal() {
  record_in_background
  sleep 3
  kill "-$1" "$pid"
}
# The recording's file (or a stem in its session folder) is there, or the
# program has ended.
recording_begun() {
  compgen -G "$case_dir/D/*.recpart" >/dev/null || compgen -G "$case_dir/D/*/*.recpart" >/dev/null ||
    ! kill -0 "$pid" 2>/dev/null
}

frequency() { sox "$1" -n remix 1 stat 2>&1 | awk '/^Rough +frequency:/ { print $3 }'; }

# The path after "Saved ...: " on standard output.
saved_path() { sed -n 's/^Saved[^:]*: //p' "$case_dir/out"; }

begin "timed stems of system audio and microphone"
run --duration 4 --mic --stems-silence --output "$case_dir/D"
[[ $(status) == 0 ]] || fail "exit status $(status), expected 0; stderr: $(cat "$case_dir/err")"
grep -q "^Saved 2 stems: $case_dir/D/recording_.*/loopback.wav$" "$case_dir/out" ||
  fail "standard output: $(cat "$case_dir/out")"
first=$(saved_path)
session=$(dirname "$first")
for stem in loopback:440:1000 mic:1000:440; do
  IFS=: read -r name own other <<<"$stem"
  file="$session/$name.wav"
  [[ -f $file ]] || { fail "$file missing"; continue; }
  a=$(band "$file" "$own")
  b=$(band "$file" "$other")
  echo "  $name.wav: $(soxi -D "$file") s, $own Hz at $a, $other Hz at $b, rough $(frequency "$file") Hz"
  near "$a" 0.5 0.03 || fail "$name.wav: its own tone at $a, expected 0.5"
  near "$b" 0 0.005 || fail "$name.wav: the other tone at $b, expected nothing"
done
if [[ -f $session/loopback.wav && -f $session/mic.wav ]]; then
  l=$(soxi -s "$session/loopback.wav")
  m=$(soxi -s "$session/mic.wav")
  echo "  lengths: loopback $l, mic $m frames"
  # Stems end within 10 ms of each other.
  limit=480
  (( l - m <= limit && m - l <= limit )) ||
    fail "stems end $((l - m)) frames apart (more than $((limit / 48)) ms)"
  near "$(soxi -D "$session/mic.wav")" 4 0.5 || fail "stems last $(soxi -D "$session/mic.wav") s"
fi

begin "timed single file holds both tones, each at half its level"
run --duration 3 --mic --output "$case_dir/D"
[[ $(status) == 0 ]] || fail "exit status $(status); stderr: $(cat "$case_dir/err")"
file=$(saved_path)
if [[ -f $file ]]; then
  a=$(band "$file" 440)
  b=$(band "$file" 1000)
  echo "  $(basename "$file"): $(soxi -D "$file") s, 440 Hz at $a, 1000 Hz at $b"
  near "$a" 0.25 0.02 || fail "440 Hz at $a, expected 0.25"
  near "$b" 0.25 0.02 || fail "1000 Hz at $b, expected 0.25"
else
  fail "no saved file; standard output: $(cat "$case_dir/out")"
fi

begin "Ctrl-C ends a recording without --duration and saves it"
record_then_signal INT
timeout 30 tail --pid="$pid" -f /dev/null
wait "$pid"
rc=$?
[[ $rc == 0 ]] || fail "exit status $rc, expected 0; stderr: $(cat "$case_dir/err")"
file=$(saved_path)
if [[ -f $file ]]; then
  echo "  $(basename "$file"): $(soxi -D "$file") s, rough $(frequency "$file") Hz"
  near "$(soxi -D "$file")" 3 0.7 || fail "length $(soxi -D "$file") s, expected about 3"
else
  fail "nothing saved; standard output: $(cat "$case_dir/out")"
fi

begin "an output folder deleted while recording is saved again, whole, and the user told"
record_in_background --mic --stems-silence
began=$(date +%s.%N)
sleep 1.5
rm -rf "$case_dir/D"
sleep 1.5
kill -INT "$pid"
# The recording began before its files appeared: it holds at least this much.
since=$(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
timeout 30 tail --pid="$pid" -f /dev/null
wait "$pid"
rc=$?
[[ $rc == 0 ]] || fail "exit status $rc, expected 0; stderr: $(cat "$case_dir/err")"
grep -q "^Recording saved again: Files of this recording were deleted or moved while it was recording. Everything recorded has been saved again in:$" "$case_dir/err" &&
  grep -q "^$case_dir/D/recording_[^/]*$" "$case_dir/err" ||
  fail "standard error: $(cat "$case_dir/err")"
grep -q "^Saved 2 stems: $case_dir/D/recording_.*/loopback.wav$" "$case_dir/out" ||
  fail "standard output: $(cat "$case_dir/out")"
session=$(dirname "$(saved_path)")
for stem in loopback:440 mic:1000; do
  IFS=: read -r name tone <<<"$stem"
  file="$session/$name.wav"
  [[ -f $file ]] || { fail "$file missing"; continue; }
  length=$(soxi -D "$file")
  echo "  $name.wav: $length s (recorded for at least $since s), $tone Hz at $(band "$file" "$tone")"
  # Everything from the start, not only what came after the deletion.
  awk -v l="$length" -v s="$since" 'BEGIN { exit !(l >= s - 0.1 && l <= s + 1.5) }' ||
    fail "$name.wav lasts $length s, recorded for $since s"
  awk -v a="$(band "$file" "$tone")" 'BEGIN { exit !(a > 0.2) }' ||
    fail "$name.wav: its tone at $(band "$file" "$tone")"
done

begin "a killed recording is repaired by --repair up to the kill"
record_then_signal KILL
wait "$pid" 2>/dev/null
left=$(ls "$case_dir/D"/*.recpart 2>/dev/null | head -1)
if [[ -n $left ]]; then
  run --repair --output "$case_dir/D"
  new=$(sed -n 's/^Repaired: .* -> //p' "$case_dir/out")
  if [[ -f $new ]]; then
    echo "  $(basename "$new"): $(soxi -D "$new") s, rough $(frequency "$new") Hz"
    near "$(soxi -D "$new")" 3 0.7 || fail "repaired length $(soxi -D "$new") s, expected about 3"
    # Half the played level: the unused microphone keeps its share of the mix.
    near "$(band "$new" 440)" 0.25 0.02 || fail "repaired file's 440 Hz at $(band "$new" 440)"
  else
    fail "repair output: $(cat "$case_dir/out") $(cat "$case_dir/err")"
  fi
else
  fail "no .recpart left in $case_dir/D"
fi

begin "the sound server killed mid-recording: it stops, saves and exits 1"
# A 30 s recording of both tones whose server is killed about 2 s in ends
# within seconds of the kill, with what came before saved and each failure
# said. The server and the tones start afresh for the cases after this one.
(cd "$case_dir/cwd" && exec timeout -k 5 60 "$program" --duration 30 --mic --output "$case_dir/D" \
  >"$case_dir/out" 2>"$case_dir/err" </dev/null) &
pid=$!
qb_wait_until 30 recording_begun || echo "  no recording file after 30 s"
sleep 2
killed=$(date +%s.%N)
{ kill -KILL "$QB_PULSE_PID" && wait "$QB_PULSE_PID"; } 2>/dev/null
wait "$pid"
rc=$?
after=$(awk -v a="$killed" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
qb_tones_stop >/dev/null 2>&1
echo "  ended $after s after the kill"
[[ $rc == 1 ]] || fail "exit status $rc, expected 1; stderr: $(cat "$case_dir/err")"
awk -v s="$after" 'BEGIN { exit !(s < 5) }' || fail "it went on $after s after the kill"
for line in "^Loopback capture error: " "^Mic stream error: " \
  "^Recording stopped: Every source of the recording failed:$"; do
  grep -q "$line" "$case_dir/err" || fail "no \"$line\" on standard error: $(cat "$case_dir/err")"
done
file=$(saved_path)
if [[ -f $file ]]; then
  length=$(soxi -D "$file")
  echo "  $(basename "$file"): $length s"
  near "$length" 2.2 0.7 || fail "length $length s, expected about 2"
  # Both tones at half their level in the mix, in the last second before the kill.
  for freq in 440 1000; do
    a=$(sox "$file" -n remix 1 sinc -t 50 "$((freq - 60))-$((freq + 60))" \
      trim "$(awk -v l="$length" 'BEGIN { print l - 1.5 }')" 1 stat 2>&1 |
      awk '/^RMS +amplitude:/ { printf "%.3f", $3 * 1.4142 }')
    near "$a" 0.23 0.04 || fail "$freq Hz at $a before the kill, expected 0.25"
  done
else
  fail "nothing saved; standard output: $(cat "$case_dir/out")"
fi
# The loopback's failure also leaves its error file beside the program.
error_file="$(dirname "$program")/quillbox_loopback_error.txt"
grep -q "^Loopback error: " "$error_file" 2>/dev/null || fail "no loopback error file $error_file"
rm -f "$error_file"
QB_PULSE_PID=""
qb_pulse_start >/dev/null 2>&1 || { echo "cannot start PulseAudio again"; exit 1; }
qb_tones_start >/dev/null 2>&1 || { echo "cannot play the test tones again"; exit 1; }

begin "an output folder that cannot be written falls back with the notice"
touch "$case_dir/blocker"
run --duration 1 --output "$case_dir/blocker/sub"
[[ $(status) == 0 ]] || fail "exit status $(status)"
grep -q "^Recording started with problems: Recording is running, but:$" "$case_dir/err" &&
  grep -q "^Could not write to $case_dir/blocker/sub; recording in $case_dir/cwd instead: " \
    "$case_dir/err" || fail "standard error: $(cat "$case_dir/err")"
grep -q "^Saved: $case_dir/cwd/recording_.*\.wav$" "$case_dir/out" ||
  fail "standard output: $(cat "$case_dir/out")"

# Amplitude of FREQ (first channel) over LENGTH seconds from START.
band_at() {
  sox "$1" -n remix 1 trim "$3" "$4" sinc -t 50 "$(($2 - 60))-$(($2 + 60))" stat 2>&1 |
    awk '/^RMS +amplitude:/ { printf "%.3f", $3 * 1.4142 }'
}
# The longest silence in milliseconds (10 ms windows under a tenth of the
# tone's RMS) after the first half second.
longest_silence_ms() {
  sox "$1" -t dat - remix 1 | awk -v rate=48000 '
    /^;/ { next }
    { n++; sum += $2 * $2
      if (n % 480 == 0) {
        if (n / rate > 0.5) { if (sqrt(sum / 480) < 0.035) { run++; if (run > most) most = run } else run = 0 }
        sum = 0 } }
    END { print most * 10 }'
}

# The stems' session folder holds its files (or the program has ended).
stems_begun() {
  compgen -G "$case_dir/D/*/*.recpart" >/dev/null || ! kill -0 "$pid" 2>/dev/null
}

begin "system audio follows the default output to the headset, on the same stem"
# Headset plays 660 Hz too; mid-recording it becomes the default output.
# Without following it the stem would go silent: the server moves the
# speakers' player over to the new default.
sox -q -n -r 48000 -c 2 -b 16 -e signed -t raw - synth 30 sine 660 vol 0.5 </dev/null 2>/dev/null |
  pacat --raw --latency-msec=100 --device=headset --rate=48000 --channels=2 --format=s16le \
    >/dev/null 2>&1 &
player=$!
(cd "$case_dir/cwd" && exec timeout -k 5 60 "$program" --duration 6 --stems-silence \
  --output "$case_dir/D" >"$case_dir/out" 2>"$case_dir/err" </dev/null) &
pid=$!
qb_wait_until 30 stems_begun || echo "  no recording file after 30 s"
sleep 3
pactl set-default-sink headset
wait "$pid"
rc=$?
pactl set-default-sink speakers
kill "$player" 2>/dev/null
wait "$player" 2>/dev/null
[[ $rc == 0 ]] || fail "exit status $rc, expected 0; stderr: $(cat "$case_dir/err")"
grep -qx "System audio now follows Headset" "$case_dir/err" ||
  fail "standard error: $(cat "$case_dir/err")"
file=$(saved_path)
if [[ -f $file ]]; then
  length=$(soxi -D "$file")
  late=$(awk -v l="$length" 'BEGIN { print l - 2.2 }')
  before=$(band_at "$file" 440 0.5 2)
  before_other=$(band_at "$file" 660 0.5 2)
  after=$(band_at "$file" 660 "$late" 1.9)
  quiet=$(longest_silence_ms "$file")
  echo "  $(basename "$file"): $length s; before: 440 Hz at $before, 660 Hz at $before_other;" \
    "after: 660 Hz at $after; longest silence $quiet ms"
  near "$length" 6 0.5 || fail "length $length s, expected about 6"
  near "$before" 0.5 0.04 && near "$before_other" 0 0.005 ||
    fail "before the switch: 440 Hz at $before, 660 Hz at $before_other"
  # The server moves the 440 Hz player to the new default too, as it does
  # with whatever a user plays: only the headset's own tone tells.
  near "$after" 0.5 0.04 || fail "after the switch: 660 Hz at $after"
  # A loaded machine stretches the switch-over (and starves the players).
  ((quiet <= 400)) || fail "$quiet ms of silence, expected a short switch-over"
else
  fail "no saved file; standard output: $(cat "$case_dir/out")"
fi

# --- devices from the command line ------------------------------------------

# expect_output STATUS TEXT: the last run's exit status and standard output.
expect_output() {
  [[ $(status) == "$1" ]] || fail "exit status $(status), expected $1; stderr: $(cat "$case_dir/err")"
  diff <(printf '%s' "$2") "$case_dir/out" >"$case_dir/out.diff" ||
    fail "standard output differs: $(cat -A "$case_dir/out.diff")"
}

begin "--list-devices: the server's monitors and its source, the defaults marked"
run --list-devices --duration 5 --output "$case_dir/D"
expect_output 0 "output  [Loopback] Speakers  48000 Hz, 2 channels, 16-bit  default: system audio
output  [Loopback] Headset   48000 Hz, 2 channels, 16-bit
output  [Loopback] MicFeed   48000 Hz, 1 channel, 16-bit
input   VirtualMic           48000 Hz, 1 channel, 16-bit   default: --mic
"
[[ ! -s $case_dir/err && ! -e $case_dir/D ]] || fail "stderr $(cat "$case_dir/err"); output folder made"

# A device whose name needs quoting: spaces, quotes, an apostrophe, "&" and
# a letter beyond ASCII. It plays 770 Hz, far from the other tones.
desk_module=$(pactl load-module module-null-sink sink_name=desk rate=48000 channels=2 \
  "sink_properties='device.description=\"Zoë\\'s \\\"Desk\\\" & Co\"'")
desk='[Loopback] Zoë'\''s "Desk" & Co'

begin "--list-devices names a device as --device takes it"
run --list-devices
expect_output 0 "output  [Loopback] Speakers           48000 Hz, 2 channels, 16-bit  default: system audio
output  [Loopback] Headset            48000 Hz, 2 channels, 16-bit
output  [Loopback] MicFeed            48000 Hz, 1 channel, 16-bit
output  $desk  48000 Hz, 2 channels, 16-bit
input   VirtualMic                    48000 Hz, 1 channel, 16-bit   default: --mic
"

begin "--device with a name that needs quoting records that device as a stem"
sox -q -n -r 48000 -c 2 -b 16 -e signed -t raw - synth 30 sine 770 vol 0.5 </dev/null 2>/dev/null |
  pacat --raw --latency-msec=100 --device=desk --rate=48000 --channels=2 --format=s16le \
    >/dev/null 2>&1 &
player=$!
desk_index=$(pactl list short sinks | awk '$2 == "desk" { print $1 }')
desk_playing() { pactl list short sink-inputs | awk -v s="$desk_index" '$2 == s { found = 1 } END { exit !found }'; }
qb_wait_until 10 desk_playing || echo "  the desk's player did not start"
# A new null sink's clock starts with its first player; restarting it lines
# the monitor up with the stream (as qb_tones_start does for its sinks).
pactl suspend-sink desk 1 && pactl suspend-sink desk 0
run --duration 3 --stems-silence --device "$desk" --output "$case_dir/D"
kill "$player" 2>/dev/null
wait "$player" 2>/dev/null
[[ $(status) == 0 ]] || fail "exit status $(status), expected 0; stderr: $(cat "$case_dir/err")"
# Every output device is a stem once one is ticked: the desk, Headset, MicFeed.
grep -q "^Saved 5 stems: " "$case_dir/out" || fail "standard output: $(cat "$case_dir/out")"
session=$(dirname "$(saved_path)")
stem=$(compgen -G "$session/*Desk*.wav" | head -1)
if [[ -f $stem ]]; then
  a=$(band "$stem" 770)
  b=$(band "$stem" 440)
  echo "  $(basename "$stem"): $(soxi -D "$stem") s, 770 Hz at $a, 440 Hz at $b"
  near "$a" 0.5 0.04 || fail "its own tone at $a, expected 0.5"
  near "$b" 0 0.005 || fail "the speakers' tone at $b, expected nothing"
else
  fail "no stem of the desk in $(ls "$session")"
fi

begin "an unknown --device is an argument error naming close matches; nothing is recorded"
run --duration 2 --device "[Loopback] Headset" --device "desk" --output "$case_dir/D"
[[ $(status) == 1 ]] || fail "exit status $(status), expected 1"
[[ $(head -1 "$case_dir/err") == "Unknown device 'desk'. Close matches: '$desk'" ]] ||
  fail "standard error: $(head -1 "$case_dir/err")"
grep -qx "Usage: quillbox \[OPTIONS\]" "$case_dir/err" || fail "no usage text"
[[ ! -s $case_dir/out && ! -e $case_dir/D ]] || fail "stdout $(cat "$case_dir/out"); output folder made"
run --duration 2 --device "[Loopback] Speakers" --output "$case_dir/D"
[[ $(status) == 1 && $(head -1 "$case_dir/err") == \
  "Device '[Loopback] Speakers' is the default output, recorded as system audio" ]] ||
  fail "default output as --device: status $(status), $(head -1 "$case_dir/err")"
[[ ! -e $case_dir/D ]] || fail "output folder made"
pactl unload-module "$desk_module"

begin "no sound server: a clear start error and status 1"
start=$SECONDS
(cd "$case_dir/cwd" && PULSE_SERVER="unix:$work/nothing-here" exec timeout -k 5 30 "$program" \
  --duration 5 --output "$case_dir/D" >"$case_dir/out" 2>"$case_dir/err" </dev/null)
rc=$?
[[ $rc == 1 ]] || fail "exit status $rc, expected 1"
grep -q "^Cannot start recording: " "$case_dir/err" || fail "standard error: $(cat "$case_dir/err")"
((SECONDS - start < 10)) || fail "took $((SECONDS - start)) s"
[[ ! -e $case_dir/D ]] || fail "left $(ls -R "$case_dir/D")"
sed 's/^/  stderr: /' "$case_dir/err"

e2e_finish
