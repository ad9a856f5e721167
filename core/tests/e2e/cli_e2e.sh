#!/usr/bin/env bash
# End-to-end test of the program's console modes: runs the real program and
# compares its standard output, standard error and exit status byte for byte.
#
#   cli_e2e.sh linux   path/to/quillbox
#   cli_e2e.sh windows scripts/wine-run path/to/quillbox.exe
#
# The first argument says how the program sees paths: "windows" passes folders
# as Z:\... (Wine maps Z: to /) and expects backslashes in what it prints.
# Scratch files go to a fresh folder under $TMPDIR (kept when a case fails).
set -u

# shellcheck source=e2e_program.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_program.sh" "$@"

# Non-ASCII arguments must reach the program as UTF-8 (Wine converts the
# command line with the locale's character set).
export LC_ALL=C.UTF-8

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-cli-e2e.XXXXXX") || exit 2
work=$(cd "$work" && pwd -P)
failures=0
cases=0

if [[ $platform == windows ]]; then sep='\'; else sep=/; fi

USAGE='Usage: quillbox [OPTIONS]

Options:
  --duration <secs>     Start recording immediately, stop after <secs> seconds
  --mic                 Include microphone input
  --output <dir>        Output directory
  --repair              Repair incomplete .recpart files and exit
  --stems               Record one file per source (instructed mode)
  --stems-silence       Record one file per source, inserting silence for gaps
  --device <name>       Also record this device (repeatable; see --list-devices)
  --list-devices        List the devices that can be recorded and exit
  --window              Open the window, the other options as its start values
  --format <preset>     Output quality (default: auto)
    auto                  Match native device format
    cd                    CD quality  —  44.1 kHz / 16-bit
    studio                Studio  —  48 kHz / 24-bit
    hires                 High-res  —  96 kHz / 24-bit
    hires-float           High-res float  —  96 kHz / 32-bit float

  Note: Fixed presets always produce stereo output. Use --format auto
  to preserve mono sources when recording stems.
  --help                Show this message
  --version             Show the version and exit
'

# expect NAME STATUS STDOUT STDERR -- ARGUMENTS...
# Runs the program in $work/cwd (or $cwd when set) with the arguments, after
# the shell command $before when set.
expect() {
  local name=$1 status=$2 out=$3 err=$4
  shift 5
  cases=$((cases + 1))
  local dir="$work/case$cases"
  mkdir -p "$dir"
  printf '%s' "$out" >"$dir/expected.out"
  printf '%s' "$err" >"$dir/expected.err"
  (cd "${cwd:-$work/cwd}" && eval "${before:-true}" &&
    exec "${program[@]}" "$@" >"$dir/out" 2>"$dir/err" </dev/null)
  local got=$?
  local ok=1
  if [[ $got -ne $status ]]; then
    echo "  exit status $got, expected $status"
    ok=0
  fi
  local stream
  for stream in out err; do
    if ! cmp -s "$dir/expected.$stream" "$dir/$stream"; then
      echo "  std$stream differs (cat -A of expected and got):"
      diff <(cat -A "$dir/expected.$stream") <(cat -A "$dir/$stream") | sed 's/^/    /' | head -40
      ok=0
    fi
  done
  if [[ $ok -eq 1 ]]; then
    echo "ok   $cases $name"
  else
    echo "FAIL $cases $name"
    failures=$((failures + 1))
  fi
}

# Little-endian fields for hand-made WAV headers.
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $((($1 >> 16) & 65535)); }

# A 16-bit stereo 48 kHz header with the given RIFF size and data length.
pcm_header() {
  printf 'RIFF'; le32 "$1"; printf 'WAVEfmt '; le32 16; le16 1; le16 2
  le32 48000; le32 192000; le16 4; le16 16; printf 'data'; le32 "$2"
}

mkdir -p "$work/cwd" "$work/empty"

# --- help and command-line errors -------------------------------------------

expect "--help" 0 "" "$USAGE" -- --help
expect "-h" 0 "" "$USAGE" -- -h
expect "help ends parsing" 0 "" "$USAGE" -- --mic --help -x --duration
expect "help among repair options" 0 "" "$USAGE" -- --repair -o "$(native "$work/empty")" -h

bad() {  # bad MESSAGE ARGUMENTS...
  local message=$1
  shift
  expect "error: $*" 1 "" "$message
$USAGE" -- "$@"
}
bad "Unknown argument: -x" -x
bad "Unknown argument: -x" --mic -x
bad "Unknown argument: -x" -x --help
bad "Unknown argument: --duration=5" --duration=5
bad "Unknown argument: 5" 5
bad "Unknown argument: " ""
bad "--duration requires a number" --duration
bad "--duration requires a number" -d
bad "--duration requires a number" --duration --mic
bad "--duration requires a number" --duration -5
bad "--duration requires a number" --duration 1.5
bad "--duration requires a number" -d ""
bad "--duration requires a number" --duration 18446744073709551616
bad "--output requires a path" --output
bad "--output requires a path" --mic -o
bad "--format requires a value" --format
bad "Unknown format preset 'CD'. Valid options: auto, cd, studio, hires, hires-float" --format CD
bad "Unknown format preset 'AUTO'. Valid options: auto, cd, studio, hires, hires-float" \
  --format AUTO
bad "Unknown argument: -x" --repair -x
bad "--device requires a name" --device
bad "--device requires a name" --device A --mic --device
bad "Unknown argument: --list-device" --list-device
bad "Unknown argument: -x" -x --version
bad "Unknown argument: Zoë —" --mic "Zoë —"
# Bytes that are not UTF-8 reach the parser as U+FFFD.
if [[ $platform == linux ]]; then bad "Unknown argument: -x�" -x$'\xff'; fi

# --- version ------------------------------------------------------------------

# The version the build was made with (cmake/e2e.cmake passes it).
expect "--version" 0 "quillbox ${QUILLBOX_VERSION:?}
" "" -- --version
expect "--version ends parsing" 0 "quillbox $QUILLBOX_VERSION
" "" -- --mic --version -x --device

# --- console repair -----------------------------------------------------------

nl=$'\n'
none() { printf 'No incomplete recordings found in %s' "$1"; }

missing=$(native "$work/does not exist")
expect "repair of a missing folder" 0 "$(none "$missing")$nl" "" -- --repair --output "$missing"
empty=$(native "$work/empty")
expect "repair of an empty folder" 0 "$(none "$empty")$nl" "" -- --repair -o "$empty"
expect "repair ignores the recording options" 0 "$(none "$empty")$nl" "" -- \
  --duration 5 --mic --format cd --stems --repair -o "$empty"
expect "repair ignores the other options too" 0 "$(none "$empty")$nl" "" -- \
  -m --stems-silence --repair --format hires-float -d 18446744073709551615 -o "$empty"
expect "repair keeps the last output folder" 0 "$(none "$empty")$nl" "" -- \
  --repair -o "$missing" -o "$empty"
expect "repair of the default folder" 0 "$(none "$(native "$work/cwd")${sep}quillbox")$nl" "" -- \
  --repair
odd=$(native "$work/Zoë's \"Aufnahmen\" — neu")
expect "repair folder with spaces, quotes and non-ASCII" 0 "$(none "$odd")$nl" "" -- --repair -o "$odd"
# A current folder that cannot be read: only where one can be removed from
# under a process.
if [[ $platform == linux ]]; then
  mkdir -p "$work/gone"
  cwd="$work/gone" before='rmdir "$work/gone"' expect \
    "repair of the default folder when the current folder is gone" 0 "$(none ./quillbox)$nl" "" \
    -- --repair
fi

# A crashed recording (placeholder header: no data counted) and a file too
# short to hold a header.
rec="$work/rec"
mkdir -p "$rec"
data_bytes=4800
{ pcm_header 36 0; head -c "$data_bytes" /dev/urandom; } >"$rec/crashed.recpart"
{ pcm_header $((36 + data_bytes)) "$data_bytes"; tail -c "$data_bytes" "$rec/crashed.recpart"; } \
  >"$work/crashed.expected"
printf 'RIFF\0\0\0\0WA' >"$rec/short.recpart"
printf 'not a recording' >"$rec/notes.txt"
nrec=$(native "$rec")
expect "repair of a crashed and a short recording" 0 \
  "Repaired: $nrec${sep}crashed.recpart -> $nrec${sep}crashed.wav
" \
  "Failed $nrec${sep}short.recpart: failed to fill whole buffer
" -- --repair --output "$nrec"
cases=$((cases + 1))
if cmp -s "$work/crashed.expected" "$rec/crashed.wav" && [[ ! -e "$rec/crashed.recpart" &&
  -e "$rec/short.recpart" && "$(cat "$rec/notes.txt")" == "not a recording" ]]; then
  echo "ok   $cases repaired file has the rebuilt header and its samples"
else
  echo "FAIL $cases repaired file has the rebuilt header and its samples"
  ls -la "$rec"
  failures=$((failures + 1))
fi
expect "repair with failures only prints no empty-folder line" 0 "" \
  "Failed $nrec${sep}short.recpart: failed to fill whole buffer
" -- --repair -o "$nrec"

# --- devices (Windows program, under Wine on the private PulseAudio) ----------

# The Linux program's devices are tested in linux/tests/e2e/console_e2e.sh,
# on a server of its own. Wine names its default devices "PulseAudio" and
# lists the others in an order of its own: the listing is compared as a set
# of lines, spaces squeezed.
if [[ $platform == windows && -n ${PULSE_SERVER:-} ]]; then
  # A device whose name needs quoting: spaces, quotes, an apostrophe, "&", ë.
  desk_module=$(pactl load-module module-null-sink sink_name=desk rate=48000 channels=2 \
    "sink_properties='device.description=\"Zoë\\'s \\\"Desk\\\" & Co\"'")
  desk='Zoë'\''s "Desk" & Co'
  f32='48000 Hz, 2 channels, 32-bit float'
  mono='48000 Hz, 1 channel, 32-bit float'
  expected_devices=$(sort <<EOF_DEVICES
output [Loopback] PulseAudio $f32 default: system audio
output [Loopback] Speakers $f32
output [Loopback] Headset $f32
output [Loopback] MicFeed $mono
output [Loopback] $desk $f32
input PulseAudio $mono default: --mic
input Monitor of Speakers $f32
input Monitor of Headset $f32
input Monitor of MicFeed $mono
input Monitor of $desk $f32
input VirtualMic $mono
EOF_DEVICES
)
  cases=$((cases + 1))
  dir="$work/case$cases"
  mkdir -p "$dir"
  (cd "$work/cwd" && exec "${program[@]}" --list-devices >"$dir/out" 2>"$dir/err" </dev/null)
  got=$?
  if [[ $got == 0 && ! -s $dir/err ]] &&
    diff <(echo "$expected_devices") <(tr -d '\r' <"$dir/out" | tr -s ' ' | sort) >"$dir/diff"; then
    echo "ok   $cases --list-devices under Wine"
  else
    echo "FAIL $cases --list-devices under Wine (status $got)"
    sed 's/^/    /' "$dir/diff" "$dir/err"
    failures=$((failures + 1))
  fi

  bad "Unknown device 'Headst'. Close matches: '[Loopback] Headset'" --device Headst -d 1
  bad "Device '[Loopback] PulseAudio' is the default output, recorded as system audio" \
    --device "[Loopback] PulseAudio" -d 1

  # The monitor of the desk, ticked by its quoted name, becomes a stem of a
  # --duration recording in the window.
  cases=$((cases + 1))
  dir="$work/case$cases"
  mkdir -p "$dir/D"
  (cd "$work/cwd" && exec "${program[@]}" --device "Monitor of $desk" --duration 1 \
    --stems-silence --output "$(native "$dir/D")" >"$dir/out" 2>"$dir/err" </dev/null)
  got=$?
  if [[ $got == 0 ]] && compgen -G "$dir/D/recording_*/Monitor of Zoë_s _Desk_ _ Co.wav" >/dev/null; then
    echo "ok   $cases --device with a name that needs quoting records it"
  else
    echo "FAIL $cases --device with a name that needs quoting records it (status $got)"
    ls -R "$dir/D" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
  pactl unload-module "$desk_module" >/dev/null
fi

# --- window mode ----------------------------------------------------------------

# Both programs record in window mode: the Windows program in its window
# (windows/tests/e2e/window_e2e.sh), the Linux program in the console
# (linux/tests/e2e/console_e2e.sh).

echo "$((cases - failures)) of $cases cases passed"
if [[ $failures -ne 0 ]]; then
  echo "scratch files kept in $work"
  exit 1
fi
rm -rf "$work"
