#!/usr/bin/env bash
# End-to-end test of a console recording whose sound server goes away: a
# private PulseAudio plays the test tones (440 Hz on "Speakers", 1000 Hz into
# "VirtualMic", both at half scale) and is killed about 2 s into a
# --duration 30 recording of both. The recording must end within a few
# seconds of the kill, save a playable WAV holding the audio before it,
# print each source's failure and exit with status 1.
#
#   server_gone_e2e.sh path/to/quillbox
#
# Scratch files go to a fresh folder under $TMPDIR (kept when a check fails).
set -u

program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
# shellcheck source=../../../scripts/lib/services.sh
source "$ROOT/scripts/lib/services.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-server-gone-e2e.XXXXXX") || exit 2
QB_SERVICES_DIR="$work/services"
unset PULSE_SERVER
qb_pulse_start >/dev/null 2>&1 || { echo "cannot start PulseAudio"; exit 1; }
qb_tones_start >/dev/null 2>&1 || { echo "cannot play the test tones"; exit 1; }

failures=0
fail() {
  echo "  $*"
  failures=$((failures + 1))
}
now() { date +%s.%N; }
# Seconds from $1 to $2.
since() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

mkdir -p "$work/cwd"
(cd "$work/cwd" && exec timeout -k 5 60 "$program" --duration 30 --mic --output "$work/D" \
  >"$work/out" 2>"$work/err" </dev/null) &
pid=$!
begun() { compgen -G "$work/D/*.recpart" >/dev/null || ! kill -0 "$pid" 2>/dev/null; }
qb_wait_until 30 begun || fail "no recording file after 30 s"
sleep 2
killed=$(now)
kill -KILL "$QB_PULSE_PID"
wait "$QB_PULSE_PID" 2>/dev/null
qb_tones_stop >/dev/null 2>&1
wait "$pid"
rc=$?
ended=$(now)
echo "  ended $(since "$killed" "$ended") s after the kill, exit status $rc"
sed 's/^/  stderr: /' "$work/err"
sed 's/^/  stdout: /' "$work/out"

[[ $rc == 1 ]] || fail "exit status $rc, expected 1"
awk -v s="$(since "$killed" "$ended")" 'BEGIN { exit !(s < 5) }' ||
  fail "the recording went on $(since "$killed" "$ended") s after the kill"
grep -q "^Loopback capture error: " "$work/err" || fail "no loopback failure on standard error"
grep -q "^Mic stream error: " "$work/err" || fail "no microphone failure on standard error"
grep -q "^Recording stopped: Every source of the recording failed:$" "$work/err" ||
  fail "no report that every source failed"
file=$(sed -n 's/^Saved: //p' "$work/out")
if [[ -f $file ]]; then
  length=$(soxi -D "$file")
  echo "  $(basename "$file"): $length s"
  awk -v l="$length" 'BEGIN { exit !(l > 1.5 && l < 5) }' || fail "length $length s, expected about 2"
  # Both tones, each at half its level in the mix (0.25), in the second
  # before the kill; a dropout of the capture's own lowers it a little.
  for freq in 440 1000; do
    a=$(sox "$file" -n remix 1 sinc -t 50 "$((freq - 60))-$((freq + 60))" \
      trim "$(awk -v l="$length" 'BEGIN { print l - 1.5 }')" 1 stat 2>&1 |
      awk '/^RMS +amplitude:/ { printf "%.3f", $3 * 1.4142 }')
    echo "  $freq Hz at $a"
    awk -v a="$a" 'BEGIN { exit !(a > 0.18 && a < 0.27) }' || fail "$freq Hz at $a, expected 0.25"
  done
else
  fail "nothing saved"
fi

qb_services_stop_all >/dev/null 2>&1
if ((failures == 0)); then
  echo "the recording ended, saved and said so"
  rm -rf "$work"
else
  echo "$failures failure(s); scratch files kept in $work"
  exit 1
fi
