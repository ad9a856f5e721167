#!/usr/bin/env bash
# End-to-end crash campaign: the real program records from the private
# PulseAudio (440 Hz at half scale on "Speakers", 1000 Hz at half scale into
# "VirtualMic") as stems, instructed stems and a single file, is killed
# (SIGKILL) at several moments, and `--repair --output` of the folder it was
# given brings everything back: every file found, whole frames in every data
# chunk, the stems of one recording ending within 10 ms of each other, an
# instructions line for every segment, the tones intact up to the kill.
#
#   crash_e2e.sh linux   path/to/quillbox
#   crash_e2e.sh windows scripts/wine-run path/to/quillbox.exe
#
# Under Wine system audio cannot be captured by loopback, so there the tones
# come from the microphone stem (the system stem is silence). Uses the
# display and sound server it is given (DISPLAY, PULSE_SERVER) or starts its
# own. QUILLBOX_CRASH_SEED repeats a run's kill moments. Scratch files go to
# a fresh folder under $TMPDIR (kept when a case fails).
set -u

# shellcheck source=e2e_program.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_program.sh" "$@"
# shellcheck source=../../../scripts/lib/services.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/scripts/lib/services.sh"
if [[ $platform == windows && -z "${DISPLAY:-}" ]]; then qb_xvfb_start >/dev/null 2>&1 || exit 2; fi
if [[ -z "${PULSE_SERVER:-}" ]]; then
  qb_pulse_start >/dev/null 2>&1 && qb_tones_start >/dev/null 2>&1 || {
    echo "cannot start PulseAudio and its tones"
    exit 2
  }
fi
[[ $platform == windows ]] && qb_wine_env

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-crash-e2e.XXXXXX") || exit 2
work=$(cd "$work" && pwd -P)
seed=${QUILLBOX_CRASH_SEED:-$((RANDOM * 32768 + RANDOM))}
RANDOM=$seed
echo "crash campaign seed $seed (QUILLBOX_CRASH_SEED repeats it)"
failures=0
cases=0
fail() {
  echo "  FAIL $*"
  failures=$((failures + 1))
}

# Little-endian unsigned field of $3 bytes at offset $2 of file $1.
field() { od -An -tu"$3" -j"$2" -N"$3" "$1" | tr -d ' '; }

# The seconds of audio file $1 holds.
seconds_of() { soxi -D "$1" 2>/dev/null || echo 0; }

# The amplitude of the $2 Hz tone in the first channel of $1 from $3 s on,
# and the longest stretch in ms where it is missing.
tone_level() {
  sox "$1" -n trim "$3" remix 1 sinc -t 50 "$(($2 - 60))-$(($2 + 60))" stat 2>&1 |
    awk '/^RMS +amplitude:/ { printf "%.3f", $NF * 1.41421 }'
}
longest_gap_ms() {
  sox "$1" -t dat - trim "$2" remix 1 2>/dev/null | awk '
    /^;/ { next }
    { x = $2 < 0 ? -$2 : $2; if (x > 0.05) { if (seen && $1 - last > gap) gap = $1 - last; seen = 1; last = $1 } }
    END { printf "%d", gap * 1000 }'
}

# Checks the repaired WAV $1 whose source plays $2 Hz (0: silence) at
# amplitude about $3: whole frames, the tone throughout.
check_wav() {
  local wav=$1 freq=$2 level=$3 name
  name=${wav#"$dir/"}
  [[ -f $wav ]] || return  # told already
  local header=44
  [[ $(field "$wav" 20 2) == 3 ]] && header=58
  local align data size
  align=$(field "$wav" 32 2)
  data=$(field "$wav" $((header - 4)) 4)
  size=$(stat -c %s "$wav")
  ((align > 0 && data % align == 0)) || fail "$name: data size $data is not whole frames of $align bytes"
  ((data <= size - header && size - header - data < align)) ||
    fail "$name: data size $data in a file of $size bytes"
  if ((freq == 0)); then
    return
  fi
  local got gap
  got=$(tone_level "$wav" "$freq" 0.3)
  gap=$(longest_gap_ms "$wav" 0.3)
  echo "  $name: $(seconds_of "$wav") s, $freq Hz at $got, longest gap $gap ms"
  awk -v g="$got" -v w="$level" 'BEGIN { exit !(g > w * 0.85 && g < w * 1.15) }' ||
    fail "$name: $freq Hz at $got, expected about $level"
  ((gap <= 50)) || fail "$name: the tone is missing for $gap ms"
}

# record MODE_NAME "ARGS" MOMENT: records into a fresh folder D with ARGS,
# kills the program MOMENT seconds after its first audio reached the disk,
# and repairs D as a user would.
record() {
  local mode=$1 args=$2 moment=$3
  cases=$((cases + 1))
  dir="$work/case$cases"
  mkdir -p "$dir/cwd"
  echo "-- $cases: $mode ($args), killed $moment s into the recording"
  # shellcheck disable=SC2086
  (cd "$dir/cwd" && exec "${program[@]}" --duration 60 $args --output "$(native "$dir/D")" \
    >"$dir/out" 2>"$dir/err" </dev/null) &
  local pid=$!
  if ! qb_wait_until 60 eval "find '$dir/D' -name '*.recpart' -size +1k 2>/dev/null | grep -q . || ! kill -0 $pid 2>/dev/null"; then
    fail "no audio reached the disk"
  fi
  sleep "$moment"
  if ! kill -0 "$pid" 2>/dev/null; then
    fail "the program ended before the kill: $(cat "$dir/err")"
    return
  fi
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null
  # Under Wine the killed process's handles close in the wineserver.
  [[ $platform == windows ]] && qb_wait_until 10 eval "! pgrep -f '$dir/D' >/dev/null"

  local before
  before=$(cd "$dir/D" && find . -name '*.recpart' | sed 's|^\./||' | sort)
  "${program[@]}" --repair --output "$(native "$dir/D")" >"$dir/repair.out" 2>"$dir/repair.err" </dev/null
  local status=$?
  ((status == 0)) || fail "--repair: exit status $status"
  [[ ! -s $dir/repair.err ]] || fail "--repair: $(tr -d '\r' <"$dir/repair.err")"
  local found=0 file
  for file in $before; do
    found=$((found + 1))
    local shown
    shown=$(native "$dir/D/$file")
    grep -qF "Repaired: $shown -> " <(tr -d '\r' <"$dir/repair.out") ||
      fail "--repair did not report $file: $(tr -d '\r' <"$dir/repair.out")"
  done
  ((found > 0)) || fail "no .recpart files in $dir/D"
  local left
  left=$(find "$dir/D" -name '*.recpart')
  [[ -z $left ]] || fail "left unrepaired: $left"
}

# The stems of one session end within 10 ms of each other and hold their
# tones; the recording holds what came up to about a tenth of a second
# before the kill.
check_stems() {
  local moment=$1 session
  session=$(find "$dir/D" -mindepth 1 -maxdepth 1 -type d -name 'recording_*' | head -1)
  [[ -n $session ]] || { fail "no session folder"; return; }
  local shortest=1e9 longest=0 wav s
  for wav in "$session"/loopback.wav "$session"/mic.wav; do
    [[ -f $wav ]] || { fail "no ${wav##*/}"; continue; }
    s=$(seconds_of "$wav")
    shortest=$(awk -v a="$shortest" -v b="$s" 'BEGIN { print (b < a ? b : a) }')
    longest=$(awk -v a="$longest" -v b="$s" 'BEGIN { print (b > a ? b : a) }')
  done
  awk -v a="$shortest" -v b="$longest" 'BEGIN { exit !(b - a <= 0.010) }' ||
    fail "stems end $(awk -v a="$shortest" -v b="$longest" 'BEGIN { print (b - a) * 1000 }') ms apart"
  # The first audio was on the disk (a flush mark of 40 ms) when the wait
  # began, so the files hold at least the moment, less what a kill may lose.
  awk -v a="$shortest" -v m="$moment" 'BEGIN { exit !(a >= m - 0.2) }' ||
    fail "stems of $shortest s, killed $moment s after their first audio"
  if [[ $platform == linux ]]; then
    check_wav "$session/loopback.wav" 440 0.5
  else
    check_wav "$session/loopback.wav" 0 0
  fi
  check_wav "$session/mic.wav" 1000 0.5
}

# Every segment of an instructed session has its line, and every line names
# a segment.
check_instructions() {
  local session file
  session=$(find "$dir/D" -mindepth 1 -maxdepth 1 -type d -name 'recording_*' | head -1)
  file="$session/instructions.txt"
  [[ -s $file ]] || { fail "instructions.txt is empty or missing"; return; }
  grep -q '^# Sample rate: ' "$file" || fail "instructions.txt has no header"
  local wav name
  for wav in "$session"/*.wav; do
    name=$(basename "$wav" .wav)
    grep -qE "^[0-9]+ $name\$" "$file" || fail "instructions.txt has no line for $name"
  done
  local label
  while read -r _ label; do
    [[ -f "$session/$label.wav" ]] || fail "instructions.txt names $label, which is not there"
  done < <(grep -v '^#' "$file")
  echo "  instructions: $(grep -vc '^#' "$file") line(s)"
}

# Kill moments: one early in the recording, one later, each a little
# different every run.
moments() { echo "0.$((3 + RANDOM % 7))" "$((1 + RANDOM % 2)).$((RANDOM % 10))"; }

for moment in $(moments); do
  record "stems" "--mic --stems-silence" "$moment"
  check_stems "$moment"
done
for moment in $(moments); do
  record "instructed stems" "--mic --stems" "$moment"
  check_stems "$moment"
  check_instructions
done
for moment in $(moments); do
  record "single file" "--mic" "$moment"
  wavs=("$dir"/D/*.wav)
  if ((${#wavs[@]} != 1)) || [[ ! -f ${wavs[0]} ]]; then
    fail "expected one WAV in D: ${wavs[*]}"
    continue
  fi
  # Both sources mixed at half their level; under Wine only the microphone.
  check_wav "${wavs[0]}" 1000 0.25
  [[ $platform == linux ]] && check_wav "${wavs[0]}" 440 0.25
done

qb_services_stop_all >/dev/null 2>&1
if ((failures == 0)); then
  echo "$cases of $cases crash cases passed"
  rm -rf "$work"
else
  echo "$failures failure(s) in $cases crash cases; scratch files kept in $work"
  exit 1
fi
