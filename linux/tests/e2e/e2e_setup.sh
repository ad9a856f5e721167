# What the Linux program's end-to-end scripts share, sourced by them with the
# program's path and a name for the scratch folder:
#
#   source e2e_setup.sh path/to/quillbox NAME
#
# sets `program` (absolute) and `work` (a fresh folder under $TMPDIR, kept
# when a case fails), starts a private PulseAudio with its test tones
# (scripts/lib/services.sh), and defines `fail` (counts a failure), `begin`
# (starts a case), `band` and `near` (a tone's level), and `e2e_finish`
# (stops the services, sums up, exits 1 after a failure).
# Scripts count their cases in `cases`.
set -u

program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
# shellcheck source=../../../scripts/lib/services.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/scripts/lib/services.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-$2-e2e.XXXXXX") || exit 2
# A sound server of our own, whatever else runs on the machine.
QB_SERVICES_DIR="$work/services"
unset PULSE_SERVER
qb_pulse_start >/dev/null 2>&1 || { echo "cannot start PulseAudio"; exit 1; }
qb_tones_start >/dev/null 2>&1 || { echo "cannot play the test tones"; exit 1; }

failures=0
cases=0
fail() {
  echo "  $*"
  failures=$((failures + 1))
}

# Starts case number $cases + 1 named $1, with a folder `case_dir` holding
# the program's working folder `cwd`.
begin() {
  cases=$((cases + 1))
  echo "-- $cases $1"
  case_dir="$work/case$cases"
  mkdir -p "$case_dir/cwd"
}

# Amplitude of a band around FREQ (first channel): twice the RMS of the
# band-passed signal over the middle of the file, i.e. a sine's peak.
band() {
  local file=$1 freq=$2 length
  length=$(soxi -D "$file")
  sox "$file" -n remix 1 trim 0.5 "$(awk -v l="$length" 'BEGIN { print l - 1 }')" \
    sinc -t 50 "$((freq - 60))-$((freq + 60))" stat 2>&1 |
    awk '/^RMS +amplitude:/ { printf "%.3f", $3 * 1.4142 }'
}
near() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { exit !((a - b) <= t && (b - a) <= t) }'; }

e2e_finish() {
  qb_services_stop_all >/dev/null 2>&1
  if ((failures == 0)); then
    echo "$cases of $cases cases passed"
    rm -rf "$work"
  else
    echo "$failures failure(s) in $cases cases; scratch files kept in $work"
    exit 1
  fi
}
