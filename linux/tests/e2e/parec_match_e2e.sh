#!/usr/bin/env bash
# End-to-end test of the Linux program's stems against parec: on a private
# PulseAudio of its own (whose devices all run from one clock), the program
# records the microphone and system audio as stems while `parec` captures
# the same two devices. Every device here keeps time, so the stems must be
# the devices' samples unchanged: from the point each stem aligns with its
# parec capture, it matches it sample for sample (within 1 LSB of 16 bits)
# through its end. Noise plays on both devices, so the alignment is unique.
#
#   parec_match_e2e.sh path/to/quillbox [SECONDS]
#
# SECONDS (default 90) is the length of the recording. Scratch files go to a
# fresh folder under $TMPDIR (kept when the test fails).
set -u

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-parec-e2e.XXXXXX") || exit 2
program=$(realpath "$1")
seconds=${2:-90}
# shellcheck source=../../../scripts/lib/services.sh
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../../../scripts/lib/services.sh"
# A sound server of its own, whatever else runs on the machine.
QB_SERVICES_DIR="$work/services"
unset PULSE_SERVER
qb_pulse_start >/dev/null 2>&1 || { echo "cannot start PulseAudio"; exit 1; }

pids=()
stop_players() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  pids=()
  qb_services_stop_all
}
trap stop_players EXIT

# Noise on the speakers (stereo) and into the microphone (mono), streamed
# for longer than the test lasts, with the players' short latency.
play() {
  sox -q -n -r 48000 -c "$2" -b 16 -e signed -t raw - synth $((seconds + 120)) whitenoise \
    vol 0.3 </dev/null 2>/dev/null |
    pacat --raw --latency-msec=100 --device="$1" --rate=48000 --channels="$2" \
      --format=s16le >/dev/null 2>&1 &
  pids+=($!)
}
play speakers 2
play micfeed 1
sleep 0.5
for sink in speakers micfeed; do
  pactl suspend-sink "$sink" 1 >/dev/null 2>&1
  pactl suspend-sink "$sink" 0 >/dev/null 2>&1
done

capture() {
  parec --device="$1" --format=s16le --rate=48000 --channels="$2" --latency-msec=10 \
    --raw >"$work/$3.raw" 2>/dev/null &
  pids+=($!)
}
capture speakers.monitor 2 loopback
capture mic 1 mic
sleep 1

(cd "$work" && exec timeout -k 5 $((seconds + 60)) "$program" --duration "$seconds" --mic \
  --stems-silence --output "$work/D" >"$work/out" 2>"$work/err" </dev/null)
rc=$?
sleep 1
stop_players

failures=0
fail() {
  echo "  $*"
  failures=$((failures + 1))
}
[[ $rc == 0 ]] || fail "exit status $rc; stderr: $(cat "$work/err")"
session=$(sed -n 's/^Saved[^:]*: //p' "$work/out" | head -1 | xargs -r dirname)
for stem in loopback:2 mic:1; do
  name=${stem%:*} channels=${stem#*:}
  wav="$session/$name.wav"
  if [[ ! -f $wav ]]; then
    fail "$name.wav missing; standard output: $(cat "$work/out")"
    continue
  fi
  # The stem's samples as written (16-bit), beside the parec capture.
  sox "$wav" -t raw -e signed -b 16 "$work/$name.stem.raw" remix $(seq 1 "$channels") ||
    { fail "sox cannot read $wav"; continue; }
  python3 - "$work/$name.stem.raw" "$work/$name.raw" "$channels" "$name" <<'PY' || failures=$((failures + 1))
import sys
from array import array

stem_path, parec_path, channels, name = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
rate = 48000
stem = array("h")
stem.frombytes(open(stem_path, "rb").read())
# The server's samples are 16-bit: the capture holds them exactly.
parec = array("h")
raw = open(parec_path, "rb").read()
parec.frombytes(raw[: len(raw) // 2 * 2])
del raw
frames = len(stem) // channels
parec_frames = len(parec) // channels

# Leading silence (before the first chunk) and trailing silence (the stop)
# are the recorder's own; the audio lies between.
first = next((i for i, v in enumerate(stem) if v != 0), len(stem)) // channels
last = len(stem)
while last > 0 and stem[last - 1] == 0:
    last -= 1
last = (last + channels - 1) // channels
if last - first < rate:
    print(f"  {name}: only {(last - first) / rate:.2f} s of audio in the stem")
    sys.exit(1)

# Where the stem a second into its audio lies in the capture: 64 frames
# whose first channel is clear of zero, found by their signs, then checked.
at = first + rate
while at < last - 64 and any(abs(stem[(at + k) * channels]) <= 2 for k in range(64)):
    at += 1
signs = bytes(int(stem[(at + k) * channels] > 0) for k in range(64))
parec_signs = bytes(int(parec[i] > 0) for i in range(0, len(parec), channels))
offset = None
found = parec_signs.find(signs)
while found >= 0:
    if all(abs(stem[at * channels + k] - parec[found * channels + k]) <= 1
           for k in range(64 * channels)):
        offset = found - at  # parec frame = stem frame + offset
        break
    found = parec_signs.find(signs, found + 1)
if offset is None:
    print(f"  {name}: a second into its audio the stem matches nowhere in the parec capture")
    sys.exit(1)
if first + offset < 0 or last + offset > parec_frames:
    print(f"  {name}: the parec capture does not cover the stem (offset {offset} frames)")
    sys.exit(1)

# Sample for sample from the stem's first audio through its end.
base = offset * channels
worst = 0
first_bad = None
bad = 0
for i in range(first * channels, last * channels):
    d = abs(stem[i] - parec[i + base])
    if d > 1:
        bad += 1
        if first_bad is None:
            first_bad = i // channels
    elif d > worst:
        worst = d
trail = (frames - last) / rate * 1000
print(f"  {name}: {(last - first) / rate:.2f} s compared from {first / rate:.3f} s "
      f"(parec offset {offset} frames), {trail:.1f} ms of silence at the end, "
      f"{bad} samples more than 1 LSB off")
if bad:
    print(f"  {name}: the first at {first_bad / rate:.3f} s")
    sys.exit(1)
if trail > 100:
    print(f"  {name}: the stem ends with {trail:.1f} ms of silence")
    sys.exit(1)
PY
done

if ((failures == 0)); then
  echo "the stems match parec sample for sample ($seconds s)"
  rm -rf "$work"
else
  echo "$failures failure(s); scratch files kept in $work"
  exit 1
fi
