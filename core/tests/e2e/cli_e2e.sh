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

if [[ $# -lt 2 || ( "$1" != linux && "$1" != windows ) ]]; then
  echo "usage: $0 linux|windows program [program arguments...]" >&2
  exit 2
fi
platform=$1
shift
# The cases run in folders of their own: make relative program paths absolute.
program=()
for word in "$@"; do
  if [[ $word == */* && -e $word ]]; then word=$(cd "$(dirname "$word")" && pwd)/$(basename "$word"); fi
  program+=("$word")
done

# Non-ASCII arguments must reach the program as UTF-8 (Wine converts the
# command line with the locale's character set).
export LC_ALL=C.UTF-8

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbox-cli-e2e.XXXXXX") || exit 2
work=$(cd "$work" && pwd -P)
failures=0
cases=0

# How the program names the folder at the Unix path $1.
native() {
  if [[ $platform == windows ]]; then
    local p=${1//\//\\}
    printf 'Z:%s' "$p"
  else
    printf '%s' "$1"
  fi
}
if [[ $platform == windows ]]; then sep='\'; else sep=/; fi

USAGE='Usage: quillbox [OPTIONS]

Options:
  --duration <secs>     Start recording immediately, stop after <secs> seconds
  --mic                 Include microphone input
  --output <dir>        Output directory
  --repair              Repair incomplete .recpart files and exit
  --stems               Record one file per source (instructed mode)
  --stems-silence       Record one file per source, inserting silence for gaps
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
bad "Unknown argument: Zoë —" --mic "Zoë —"
# Bytes that are not UTF-8 reach the parser as U+FFFD.
if [[ $platform == linux ]]; then bad "Unknown argument: -x�" -x$'\xff'; fi

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
