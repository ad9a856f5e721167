#!/usr/bin/env bash
# End-to-end test of system audio that pauses: the Linux program records
# stems while "Speakers", which plays 440 Hz at half scale, is suspended and
# resumed (`pactl suspend-sink`) on a private PulseAudio of its own. The
# system-audio stem must hold the tone up to each suspend, nothing in the
# pause, and the tone again from the resume: the silences last as long as
# the pauses did, and every resume sits where the clock of this script says,
# against the first suspend.
#
#   pause_e2e.sh path/to/quillbox
#
# Scratch files go to a fresh folder under $TMPDIR (kept when a case fails).
# shellcheck source=e2e_setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_setup.sh" "$1" pause

# Seconds a stem's silence may begin or end off the script's clock, beyond
# what the script itself cannot tell: a suspend or resume happened while its
# pactl call ran (tens of milliseconds on a busy machine), so each is taken
# at the middle of the call and allowed half its run either way; and the
# sink renders in blocks of its configured latency (set by its players, here
# about 30 ms), so its last block before a suspend ends up to a block after
# it and every time of this script is read against that block. The block is
# read from the server while recording and added to this.
TOLERANCE=0.020

# The silences of file $1 (first channel) longer than 0.2 s, one "begin end"
# line each in seconds: from the last sample above 0.05 in magnitude before
# it to the first after it. Shorter gaps (a dropout of the player on a busy
# machine) are left out.
silences() {
  sox "$1" -t dat - remix 1 2>/dev/null | awk '
    /^;/ { next }
    {
      x = $2 < 0 ? -$2 : $2
      if (x > 0.05) {
        if (heard && $1 - last > 0.2) printf "%.5f %.5f\n", last, $1
        heard = 1; last = $1
      }
    }'
}

# Seconds from now until $2 seconds (an awk expression) after wall time $1.
until_after() {
  awk -v o="$1" -v n="$EPOCHREALTIME" "BEGIN { d = o + ($2) - n; print (d > 0 ? d : 0) }"
}

# Records system audio as stems for $1 seconds while suspending Speakers
# for each pause "START:LENGTH" that follows (seconds after the recording's
# file appeared), then checks the system-audio stem.
record_with_pauses() {
  local duration=$1
  shift
  cases=$((cases + 1))
  echo "-- $cases pauses of $* s (start:length) in a recording of $duration s"
  local dir="$work/case$cases"
  mkdir -p "$dir/cwd"
  (cd "$dir/cwd" && exec timeout -k 5 60 "$program" --duration "$duration" --stems-silence \
    --output "$dir/D" >"$dir/out" 2>"$dir/err" </dev/null) &
  local pid=$!
  qb_wait_until 30 eval "find '$dir/D' -name '*.recpart' 2>/dev/null | grep -q . || ! kill -0 $pid 2>/dev/null"
  local origin=$EPOCHREALTIME
  # The sink's block: its configured latency in seconds.
  local block
  block=$(pactl list sinks | awk '/^\tName: /{ on = ($2 == "speakers") }
    on && /^\tLatency:/ { for (i = 1; i < NF; i++) if ($i == "configured") print $(i + 1) / 1e6 }')
  block=${block:-0.010}
  # Wall times of each suspend and resume: the moment its pactl call
  # returned, and how long the call took.
  local -a suspended=() resumed=()
  local pause start length before
  for pause in "$@"; do
    start=${pause%%:*} length=${pause#*:}
    sleep "$(until_after "$origin" "$start")"
    before=$EPOCHREALTIME
    pactl suspend-sink speakers 1
    suspended+=("$EPOCHREALTIME $before")
    sleep "$(until_after "$origin" "$start + $length")"
    before=$EPOCHREALTIME
    pactl suspend-sink speakers 0
    resumed+=("$EPOCHREALTIME $before")
  done
  wait "$pid"
  local rc=$?
  [[ $rc == 0 ]] || { fail "exit status $rc; stderr: $(cat "$dir/err")"; return; }
  local stem
  stem=$(sed -n 's/^Saved [0-9]* stems: //p' "$dir/out")
  [[ -f $stem && $(basename "$stem") == loopback.wav ]] ||
    { fail "no system-audio stem; standard output: $(cat "$dir/out")"; return; }
  silences "$stem" >"$dir/silences"
  echo "  silences in $(basename "$stem") ($(soxi -D "$stem") s):" $(tr '\n' ',' <"$dir/silences")
  echo "  the sink renders in blocks of $block s"
  local found
  found=$(wc -l <"$dir/silences")
  if ((found != $#)); then
    fail "$found silences in the stem, expected one for each of the $# pauses"
    return
  fi
  # Pause k: the tone ends and is back where silence k begins and ends.
  local report
  report=$(printf '%s\n' "${suspended[@]}" | paste -d' ' - <(printf '%s\n' "${resumed[@]}") |
    paste -d' ' - "$dir/silences" | awk -v tol="$(awk -v t="$TOLERANCE" -v b="$block" 'BEGIN { print t + b }')" '
    # $1 $2: suspend returned, began; $3 $4: resume returned, began;
    # $5 $6: the silence in the stem.
    function off(what, by, allowed) {
      if (by > allowed || -by > allowed)
        printf "FAIL pause %d: %s %+.1f ms off (allowed %.1f)\n", NR, what, by * 1000, allowed * 1000
    }
    {
      suspend = ($1 + $2) / 2; resume = ($3 + $4) / 2
      us = ($1 - $2) / 2; ur = ($3 - $4) / 2
      # Stem time less wall time, from the first suspend.
      if (NR == 1) { offset = $5 - suspend; u0 = us }
      ended = $5 - suspend - offset
      back = $6 - resume - offset
      printf "  pause %d: %.3f s, silent %.3f s; the tone ends %+.1f ms and is back %+.1f ms off the script clock; pactl took %.1f and %.1f ms\n",
        NR, resume - suspend, $6 - $5, ended * 1000, back * 1000, us * 2000, ur * 2000
      off("the tone ends", ended, tol + us + u0)
      off("the tone is back", back, tol + ur + u0)
      off("the silence lasts", ($6 - $5) - (resume - suspend), tol + ur + us)
    }')
  echo "$report" | grep -v '^FAIL'
  while read -r line; do fail "${line#FAIL }"; done < <(echo "$report" | grep '^FAIL')
}

record_with_pauses 8 2:3
record_with_pauses 12 2:0.4 4:1 6.5:3

e2e_finish
