# What the Linux program's end-to-end scripts share, sourced by them with the
# program's path and a name for the scratch folder:
#
#   source e2e_setup.sh path/to/quillbox NAME
#
# sets `program` (absolute) and `work` (a fresh folder under $TMPDIR, kept
# when a case fails), starts a private PulseAudio with its test tones
# (scripts/lib/services.sh), and defines `fail` (counts a failure) and
# `e2e_finish` (stops the services, sums up, exits 1 after a failure).
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
