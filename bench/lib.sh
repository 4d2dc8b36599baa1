# shellcheck shell=bash
# Shared by bench/run and bench/soak (sourced, not run): building the programs,
# the virtual X display, the controller simulator, the panel, and the
# arithmetic on samples. Everything started here is ended by bench_cleanup,
# by its process id.

BENCH_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH_BUILD="${BENCH_BUILD:-$BENCH_ROOT/build-bench}"
BENCH_TMP="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-bench.XXXXXX")"
BENCH_PIDS=()

bench_log() { printf 'bench: %s\n' "$*" >&2; }
bench_die() {
    printf 'bench: error: %s\n' "$*" >&2
    exit 1
}

bench_cleanup() {
    local pid
    for pid in "${BENCH_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${BENCH_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    BENCH_PIDS=()
    rm -rf "$BENCH_TMP"
}
trap bench_cleanup EXIT
trap 'exit 130' INT TERM

# Ends one process this script started, and forgets it: a program with
# windows is first asked to close them, as a person would (the panel then
# releases its port and the port's lock file); whatever still runs 3 s later
# is terminated.
bench_stop() {
    local pid="$1" kept=() p
    if [ -n "${BENCH_PROBE:-}" ] && [ -n "${DISPLAY:-}" ] && "$BENCH_PROBE" --close "$pid" 2>/dev/null; then
        for _ in $(seq 60); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
    fi
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for p in "${BENCH_PIDS[@]}"; do
        [ "$p" = "$pid" ] || kept+=("$p")
    done
    BENCH_PIDS=("${kept[@]}")
}

bench_require() {
    local missing=() tool
    for tool in cmake ninja Xvfb; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    [ ${#missing[@]} -eq 0 ] ||
        bench_die "missing ${missing[*]} (Debian: cmake ninja-build xvfb; scripts/setup installs them)"
}

# Configures the project in BENCH_BUILD (RelWithDebInfo) with the benchmark
# programs attached, builds what the benchmarks run (or only the targets
# named), and reads their paths.
bench_build() {
    bench_require
    local cache="$BENCH_BUILD/CMakeCache.txt"
    if [ -f "$cache" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$BENCH_ROOT" "$cache"; then
        bench_die "$BENCH_BUILD was configured for another source tree; set BENCH_BUILD to another folder"
    fi
    bench_log "configuring $BENCH_BUILD (RelWithDebInfo)"
    cmake -S "$BENCH_ROOT" -B "$BENCH_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_PROJECT_INCLUDE="$BENCH_ROOT/bench/cmake/attach.cmake" >"$BENCH_TMP/configure.log" 2>&1 ||
        { tail -n 30 "$BENCH_TMP/configure.log" >&2; bench_die "configuring failed"; }
    [ -f "$BENCH_BUILD/bench-programs.sh" ] || bench_die "the configuration did not attach bench/"
    # shellcheck source=/dev/null
    source "$BENCH_BUILD/bench-programs.sh"
    [ $# -eq 0 ] || BENCH_TARGETS="$*"
    bench_log "building $BENCH_TARGETS"
    # shellcheck disable=SC2086
    cmake --build "$BENCH_BUILD" --target $BENCH_TARGETS >"$BENCH_TMP/build.log" 2>&1 ||
        { tail -n 40 "$BENCH_TMP/build.log" >&2; bench_die "building failed"; }
}

# A virtual X display of our own (1024x768, 24 bits), so nothing else draws
# on it and every run meets the same screen.
bench_start_xvfb() {
    local fdfile="$BENCH_TMP/display"
    : >"$fdfile"
    Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp -noreset 5>"$fdfile" 2>"$BENCH_TMP/xvfb.log" &
    BENCH_PIDS+=($!)
    for _ in $(seq 200); do
        [ -s "$fdfile" ] && break
        sleep 0.05
    done
    [ -s "$fdfile" ] || { cat "$BENCH_TMP/xvfb.log" >&2; bench_die "Xvfb did not start"; }
    DISPLAY=":$(tr -d '\n' <"$fdfile")"
    export DISPLAY
    unset WAYLAND_DISPLAY QT_QPA_PLATFORM
    export XDG_RUNTIME_DIR="$BENCH_TMP/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    bench_log "virtual display $DISPLAY"
}

# Starts orvessa-sim --log with the given options; sets SIM_PID, SIM_LOG and
# SIM_DEV (its device).
bench_start_sim() {
    SIM_LOG="$BENCH_TMP/sim.$RANDOM.log"
    "$BENCH_SIM" --log "$@" >"$SIM_LOG" 2>"$SIM_LOG.err" &
    SIM_PID=$!
    BENCH_PIDS+=("$SIM_PID")
    for _ in $(seq 200); do
        [ -s "$SIM_LOG" ] && break
        sleep 0.05
    done
    SIM_DEV="$(head -n 1 "$SIM_LOG")"
    [ -n "$SIM_DEV" ] || { cat "$SIM_LOG.err" >&2; bench_die "orvessa-sim did not start"; }
}

# Number of "s00t" the simulator has logged so far.
bench_polls() { grep -c ' s00t$' "$SIM_LOG" || true; }

# Waits until the simulator has logged N status queries (default 1).
bench_wait_polls() {
    local want="${1:-1}"
    for _ in $(seq 600); do
        [ "$(bench_polls)" -ge "$want" ] && return 0
        sleep 0.05
    done
    bench_die "the panel sent no status query to the simulator within 30 s"
}

# A fresh settings folder, so the panel starts on COM1 = the simulator.
bench_config_dir() { mktemp -d "$BENCH_TMP/config.XXXXXX"; }

# Starts the built panel on the virtual display with COM1 on the simulator;
# sets PANEL_PID.
bench_start_panel() {
    XDG_CONFIG_HOME="$(bench_config_dir)" TAVRIN_COM1="$SIM_DEV" \
        "$BENCH_PANEL" >>"$BENCH_TMP/panel.log" 2>&1 &
    PANEL_PID=$!
    BENCH_PIDS+=("$PANEL_PID")
}

bench_alive() { kill -0 "$1" 2>/dev/null; }

# utime + stime of a process, in clock ticks.
bench_cpu_ticks() {
    local stat
    stat="$(cat "/proc/$1/stat")" || return 1
    # Fields after the command name, which is in parentheses: state is the
    # first, utime the 12th and stime the 13th.
    stat="${stat##*) }"
    awk '{ print $12 + $13 }' <<<"$stat"
}

bench_status_kb() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }

bench_now() { date +%s.%N; }

# Reads numbers, one a line, and prints "n median p99 min max" (nearest-rank
# percentile; the median of an even count is the mean of the middle two).
bench_stats() {
    sort -g | awk '
        { v[++n] = $1 }
        END {
            if (n == 0) { print "0 nan nan nan nan"; exit }
            med = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
            r = int(0.99 * n); if (r < 0.99 * n) r++; if (r < 1) r = 1
            printf "%d %.6f %.6f %.6f %.6f\n", n, med, v[r], v[1], v[n]
        }'
}

# The periods, in ms, between consecutive "s00t" in lines FROM..TO (1-based,
# inclusive) of the simulator's log.
bench_poll_periods() {
    sed -n "$2,$3p" "$1" | awk '$2 == "s00t" { if (seen) printf "%.3f\n", ($1 - last) * 1000; last = $1; seen = 1 }'
}

# The line number of the N-th "s00t" in the simulator's log.
bench_poll_line() { awk -v n="$2" '$2 == "s00t" && ++k == n { print NR; exit }' "$1"; }

# --- the command line --------------------------------------------------------

# Wall time (ms) of one run of the built orvessa on the simulator's device,
# from just before its start to its exit, read from the shell's own clock (no
# fork in the timed span). Fails when orvessa does.
bench_orvessa_ms() {
    local t0 t1
    t0="$EPOCHREALTIME"
    XDG_CONFIG_HOME="$BENCH_CLI_CONFIG" "$BENCH_ORVESSA" --port "$SIM_DEV" "$@" >/dev/null \
        2>>"$BENCH_TMP/orvessa.err" || return 1
    t1="$EPOCHREALTIME"
    awk -v a="${t0/,/.}" -v b="${t1/,/.}" 'BEGIN { printf "%.3f\n", (b - a) * 1000 }'
}

# bench_cli_measure SAMPLES: on a fresh orvessa-sim (paced as a 9600 baud
# line), SAMPLES runs each of "orvessa status" and "orvessa on 3" (outlet 3
# switched off, untimed, before each), after one warm-up run; then the same
# exchanges without orvessa (bench/cli_exchange.cpp). Leaves the samples, in
# ms, in $BENCH_TMP/cli.status, cli.on3, wire.status and wire.on3.
bench_cli_measure() {
    local samples="$1" run s o kind
    BENCH_CLI_CONFIG="$(bench_config_dir)"
    bench_start_sim
    : >"$BENCH_TMP/cli.status"
    : >"$BENCH_TMP/cli.on3"
    for run in $(seq 0 "$samples"); do
        s="$(bench_orvessa_ms status)" || { cat "$BENCH_TMP/orvessa.err" >&2; bench_die "orvessa status failed"; }
        bench_orvessa_ms off 3 >/dev/null || { cat "$BENCH_TMP/orvessa.err" >&2; bench_die "orvessa off 3 failed"; }
        o="$(bench_orvessa_ms on 3)" || { cat "$BENCH_TMP/orvessa.err" >&2; bench_die "orvessa on 3 failed"; }
        if [ "$run" -gt 0 ]; then
            echo "$s" >>"$BENCH_TMP/cli.status"
            echo "$o" >>"$BENCH_TMP/cli.on3"
        fi
    done
    for kind in status on3; do
        "$BENCH_EXCHANGE" --device "$SIM_DEV" --sequence "$kind" --samples "$samples" \
            >"$BENCH_TMP/wire.$kind.us" || bench_die "the exchange benchmark failed"
        awk '{ printf "%.3f\n", $1 / 1000 }' "$BENCH_TMP/wire.$kind.us" >"$BENCH_TMP/wire.$kind"
    done
    bench_stop "$SIM_PID"
}

# The table rows of bench_cli_measure's samples, one a line: each command's
# wall time beside the same exchange made in process.
bench_cli_rows() {
    local kind label n med p99 wn wmed wp99
    for kind in "status:orvessa status" "on3:orvessa on 3"; do
        label="${kind#*:}"
        read -r n med p99 _ _ < <(bench_stats <"$BENCH_TMP/cli.${kind%%:*}")
        read -r wn wmed wp99 _ _ < <(bench_stats <"$BENCH_TMP/wire.${kind%%:*}")
        awk -v l="$label" -v n="$n" -v m="$med" -v p="$p99" -v wn="$wn" -v wm="$wmed" -v wp="$wp99" 'BEGIN {
            printf "| `%s`, start to exit, median of %d (ms); reference: its wire exchange in process, median of %d | %.2f | %.2f | %.2f× | — | info |\n", l, n, wn, m, wm, m / wm
            printf "| `%s`, start to exit, p99 of %d (ms); reference: its wire exchange in process, p99 | %.2f | %.2f | %.2f× | — | info |\n", l, n, p, wp, p / wp
        }'
    done
}

# What the command-line rows measure, for the notes under a table.
bench_cli_note() {
    echo "- Command line: the shell's clock (EPOCHREALTIME) around each run of the built orvessa on orvessa-sim's device (paced as a 9600 baud line), its settings folder empty; \"orvessa on 3\" from outlet 3 off (switched off, untimed, before each run), so it reads, switches and reads again. Reference: bench/cli_exchange.cpp, the same bytes on a port opened once (\"s00t\" to its reply; \"s00t\", \"s02p\", \"s00t\"). The simulator paces only its replies: on a real line the commands take as long again (status 8.3 ms, on 3 20.8 ms of wire time)."
}
