# Helpers for the services that tests and the demo run against, sourced by the
# scripts in scripts/:
#   qb_xvfb_start / qb_xvfb_stop     a private X server (Xvfb) on a free display
#   qb_pulse_start / qb_pulse_stop   a private headless PulseAudio with null sinks
#                                    "Speakers" and "Headset" and a source "VirtualMic"
#   qb_tones_start / qb_tones_stop   test tones on it: 440 Hz at half scale on
#                                    "Speakers", 1000 Hz at half scale into
#                                    "VirtualMic"; "Headset" stays silent
#   qb_wine_env                      the Wine environment of this project
#   qb_wine_prefix_ensure            creates the Wine prefix once
#   qb_wine_start / qb_wine_stop     a persistent wineserver with Wine's
#                                    background services already up
#   qb_services_stop_all             stops whatever of the above was started
#   qb_wait_until SECONDS COMMAND... waits for a command to succeed
# Every qb_*_start installs qb_services_stop_all as the EXIT trap, so nothing
# outlives the script that started it.
#
# Sourcing has no side effects beyond defining functions and QB_ROOT.

QB_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QB_SERVICES_DIR="$QB_ROOT/build/services"
QB_STARTED=()

qb_log() { echo "services: $*" >&2; }

qb_services_stop_all() {
  local i
  for ((i = ${#QB_STARTED[@]} - 1; i >= 0; i--)); do
    "${QB_STARTED[i]}" || true
  done
  QB_STARTED=()
}

_qb_started() {
  local s
  for s in "${QB_STARTED[@]}"; do [[ "$s" == "$1" ]] && return 0; done
  QB_STARTED+=("$1")
  trap qb_services_stop_all EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# Waits up to $1 tenths of a second for the command that follows to succeed.
_qb_wait_for() {
  local tenths=$1 i
  shift
  for ((i = 0; i < tenths; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# Waits up to $1 seconds for the command that follows to succeed, trying it
# again every tenth of a second; fails when it never did. Tests wait so for
# what they need to have happened, rather than for a guessed time.
qb_wait_until() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

_qb_kill() {
  local pid=$1
  [[ -n "$pid" ]] || return 0
  kill "$pid" 2>/dev/null || return 0
  _qb_wait_for 50 eval "! kill -0 $pid 2>/dev/null" || kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# --- Xvfb ---------------------------------------------------------------

QB_XVFB_PID=""

qb_xvfb_start() {
  [[ -z "$QB_XVFB_PID" ]] || return 0
  mkdir -p "$QB_SERVICES_DIR"
  local fdfile="$QB_SERVICES_DIR/xvfb.display"
  : >"$fdfile"
  # -displayfd makes Xvfb choose a free display and report it once it
  # accepts connections.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
    3>"$fdfile" >"$QB_SERVICES_DIR/xvfb.log" 2>&1 </dev/null &
  QB_XVFB_PID=$!
  _qb_started qb_xvfb_stop
  if ! _qb_wait_for 100 test -s "$fdfile"; then
    qb_log "Xvfb did not start (log: $QB_SERVICES_DIR/xvfb.log)"
    return 1
  fi
  export DISPLAY=":$(tr -d '\n' <"$fdfile")"
  # wine-run uses this display too, so every Wine process of a session
  # shares one display while the wineserver lives.
  export QUILLBOX_DISPLAY="$DISPLAY"
  qb_log "Xvfb on display $DISPLAY (pid $QB_XVFB_PID)"
}

qb_xvfb_stop() {
  [[ -n "$QB_XVFB_PID" ]] || return 0
  _qb_kill "$QB_XVFB_PID"
  qb_log "Xvfb stopped"
  QB_XVFB_PID=""
}

# --- PulseAudio ---------------------------------------------------------

QB_PULSE_PID=""

qb_pulse_start() {
  [[ -z "$QB_PULSE_PID" ]] || return 0
  local dir="$QB_SERVICES_DIR/pulse"
  # A unix socket path must stay short; fall back to /tmp for deep checkouts.
  if ((${#dir} > 80)); then dir=$(mktemp -d /tmp/quillbox-pulse.XXXXXX); fi
  rm -rf "$dir"
  mkdir -p "$dir/pulse"
  chmod 700 "$dir" "$dir/pulse"
  QB_PULSE_DIR="$dir"
  cat >"$dir/quillbox.pa" <<'PA'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers rate=48000 channels=2
load-module module-null-sink sink_name=headset sink_properties=device.description=Headset rate=48000 channels=2
load-module module-null-sink sink_name=micfeed sink_properties=device.description=MicFeed rate=48000 channels=1
load-module module-remap-source master=micfeed.monitor source_name=mic source_properties=device.description=VirtualMic channels=1 channel_map=mono
set-default-sink speakers
set-default-source mic
PA
  env -u PULSE_SERVER XDG_RUNTIME_DIR="$dir" PULSE_RUNTIME_PATH="$dir/pulse" HOME="$dir" \
    pulseaudio -n -F "$dir/quillbox.pa" --exit-idle-time=-1 --daemonize=no \
    --use-pid-file=yes --log-target="file:$dir/pulse.log" </dev/null >/dev/null 2>&1 &
  QB_PULSE_PID=$!
  _qb_started qb_pulse_stop
  export PULSE_SERVER="unix:$dir/pulse/native"
  if ! _qb_wait_for 100 eval 'pactl info >/dev/null 2>&1'; then
    qb_log "PulseAudio did not start (log: $dir/pulse.log)"
    return 1
  fi
  qb_log "PulseAudio at $PULSE_SERVER (pid $QB_PULSE_PID)"
}

qb_pulse_stop() {
  [[ -n "$QB_PULSE_PID" ]] || return 0
  _qb_kill "$QB_PULSE_PID"
  unset PULSE_SERVER
  [[ "$QB_PULSE_DIR" == /tmp/quillbox-pulse.* ]] && rm -rf "$QB_PULSE_DIR"
  qb_log "PulseAudio stopped"
  QB_PULSE_PID=""
}

# --- Test tones ---------------------------------------------------------

QB_TONE_PIDS=()

# Plays the tones without end: sox synthesizes each one as a stream for a day
# and pacat plays it, so the tone never pauses (a player that restarted a
# looped file left 40 ms of silence each time, which a test measuring a tone
# then heard as a dropout). A player restarts should it ever end. A 100 ms
# player latency keeps the null sinks from rendering seconds ahead;
# suspending and resuming each sink once makes new recording streams get data
# at once.
qb_tones_start() {
  ((${#QB_TONE_PIDS[@]} == 0)) || return 0
  [[ -n "${PULSE_SERVER:-}" ]] || qb_pulse_start || return 1
  local spec
  for spec in "speakers:2:440" "micfeed:1:1000"; do
    local sink=${spec%%:*} rest=${spec#*:}
    local channels=${rest%%:*} frequency=${rest#*:}
    (
      trap 'kill $p 2>/dev/null; exit 0' TERM
      while :; do
        sox -q -n -r 48000 -c "$channels" -b 16 -e signed -t raw - synth 24:00:00 \
          sine "$frequency" vol 0.5 </dev/null 2>/dev/null \
          | pacat --raw --latency-msec=100 --device="$sink" --rate=48000 \
            --channels="$channels" --format=s16le >/dev/null 2>&1 &
        p=$!
        wait $p
      done
    ) &
    QB_TONE_PIDS+=($!)
  done
  _qb_started qb_tones_stop
  sleep 0.5
  local sink
  for sink in speakers headset micfeed; do
    pactl suspend-sink "$sink" 1 >/dev/null 2>&1 || true
    pactl suspend-sink "$sink" 0 >/dev/null 2>&1 || true
  done
  qb_log "tones playing: 440 Hz on Speakers, 1000 Hz into VirtualMic"
}

qb_tones_stop() {
  local pid
  for pid in "${QB_TONE_PIDS[@]}"; do _qb_kill "$pid"; done
  QB_TONE_PIDS=()
}

# --- Wine ---------------------------------------------------------------

qb_wine_env() {
  export WINEPREFIX="${QUILLBOX_WINEPREFIX:-$QB_ROOT/build/wine-prefix}"
  # -all also keeps Debian's launcher from printing its "wine32 is missing" hint.
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
  if [[ -n "${QUILLBOX_DISPLAY:-}" ]]; then export DISPLAY="$QUILLBOX_DISPLAY"; fi
}

# Creates the prefix once (about 11 s) and tells Wine's X11 driver that there
# is no window manager. Prints nothing on standard output; safe to call from
# several processes at once.
qb_wine_prefix_ensure() {
  qb_wine_env
  [[ -f "$WINEPREFIX/.quillbox-ready" ]] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    [[ -f "$WINEPREFIX/.quillbox-ready" ]] && exit 0
    echo "services: creating the Wine prefix $WINEPREFIX" >&2
    {
      wineboot -i && wineserver -w \
        && wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
        && wineserver -w
    } </dev/null >"$WINEPREFIX.log" 2>&1 || {
      echo "services: creating the Wine prefix failed (log: $WINEPREFIX.log)" >&2
      exit 1
    }
    touch "$WINEPREFIX/.quillbox-ready"
  ) 9>"$WINEPREFIX.lock"
}

QB_WINE_RUNNING=""

# A persistent wineserver with Wine's background services already running:
# otherwise each test program waits for them at exit (seconds each), and they
# can keep ctest's output pipe open.
qb_wine_start() {
  [[ -z "$QB_WINE_RUNNING" ]] || return 0
  qb_wine_prefix_ensure
  # A wineserver started under another display would break window creation.
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
  QB_WINE_RUNNING=1
  _qb_started qb_wine_stop
  qb_log "wineserver up for $WINEPREFIX${DISPLAY:+ on display $DISPLAY}"
}

qb_wine_stop() {
  [[ -n "$QB_WINE_RUNNING" ]] || return 0
  qb_wine_env
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  qb_log "wineserver stopped"
  QB_WINE_RUNNING=""
}
