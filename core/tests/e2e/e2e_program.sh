# What the end-to-end scripts of both programs share, sourced with their
# arguments:
#
#   source e2e_program.sh linux|windows program [program arguments...]
#
# sets `platform` and `program` (an array: the program and its arguments,
# relative paths made absolute, since the cases run in folders of their
# own), and defines `native`, how the program names a Unix path ("windows"
# passes folders as Z:\..., which Wine maps to /).

if [[ $# -lt 2 || ("$1" != linux && "$1" != windows) ]]; then
  echo "usage: $0 linux|windows program [program arguments...]" >&2
  exit 2
fi
platform=$1
shift
program=()
for word in "$@"; do
  if [[ $word == */* && -e $word ]]; then word=$(cd "$(dirname "$word")" && pwd)/$(basename "$word"); fi
  program+=("$word")
done

# How the program names the folder at the Unix path $1.
native() {
  if [[ $platform == windows ]]; then
    local p=${1//\//\\}
    printf 'Z:%s' "$p"
  else
    printf '%s' "$1"
  fi
}
