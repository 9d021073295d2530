#!/bin/sh
# Prints the project's figures: every benchmark program built in
# BUILD_DIR/bench, then the idle cost of the whole service on the simulated
# board: CPU share and wakeups a second of the service's threads and of the
# simulated board's separately, the busiest threads, resident memory.
#
# usage: bench/run.sh BUILD_DIR        (IDLE_SECONDS=60 by default;
#                                      IDLE_ONLY=1 measures the idle service only)
set -u
BUILD=${1:?usage: bench/run.sh BUILD_DIR}
IDLE_SECONDS=${IDLE_SECONDS:-60}
IDLE_ONLY=${IDLE_ONLY:-0}
BUILD=$(cd "$BUILD" && pwd) || exit 1

for prog in "$BUILD"/bench/*; do
    [ "$IDLE_ONLY" = 1 ] && break
    [ -f "$prog" ] && [ -x "$prog" ] || continue
    echo "### $(basename "$prog")"
    "$prog" || echo "$(basename "$prog") failed with status $?"
    echo
done

echo "### idle service (kvt7400sim, ${IDLE_SECONDS} s)"
SB=$(mktemp -d /tmp/kvt-bench-XXXXXX) || exit 1
rmdir "$SB"
PID=
cleanup() {
    [ -n "$PID" ] && kill -TERM "$PID" 2>/dev/null
    rm -rf "$SB"
}
trap cleanup EXIT INT TERM

"$BUILD/kvtsim" init "$SB" >/dev/null || exit 1
KVT_ROOT=$SB "$BUILD/kvt7400sim" >"$SB/sim/console.log" 2>&1 &
PID=$!

# Start-up is complete after the second buzzer "off".
waited=0
while [ "$(grep -c '^echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable$' "$SB/sim/commands.log" 2>/dev/null)" -lt 2 ]; do
    sleep 1
    waited=$((waited + 1))
    if [ $waited -ge 60 ] || ! kill -0 "$PID" 2>/dev/null; then
        echo "kvt7400sim did not finish start-up; console:"
        cat "$SB/sim/console.log"
        exit 1
    fi
done

HZ=$(getconf CLK_TCK)
status_kb() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$PID/status"; }

# One line a thread: "tid name ticks switches", ticks being utime + stime
# (fields 14 and 15 of stat, counted after the name in parentheses, which
# may hold blanks) and switches the voluntary and involuntary context
# switches, each of which is one wakeup of the thread. Blanks in a name
# become "_" so that the fields stay in place.
thread_sample() {
    for t in /proc/$PID/task/*; do
        st=$(cat "$t/stat" 2>/dev/null) || continue
        name=$(cat "$t/comm" 2>/dev/null | tr ' ' '_')
        sw=$(awk '/^voluntary_ctxt_switches:/ { n += $2 } END { print n + 0 }' "$t/status" 2>/dev/null)
        echo "${t##*/} $name $(echo "${st##*) }" | awk '{ print $12 + $13 }') $sw"
    done | sort
}

# The state threads and the per-minute writers start at the next whole
# minute: the first sample waits until they run.
sec=$(date +%S)
sleep $((63 - ${sec#0}))
thread_sample >"$SB/threads.start"
sleep "$IDLE_SECONDS"
thread_sample >"$SB/threads.end"
rss=$(status_kb VmRSS)
hwm=$(status_kb VmHWM)
threads=$(status_kb Threads)

# Threads alive at both samples; the simulated board's own ones are those
# named "sim-...", everything else is the service.
join "$SB/threads.start" "$SB/threads.end" |
    awk '{ print $1, $2, $6 - $3, $7 - $4 }' >"$SB/threads.delta"

awk -v hz="$HZ" -v secs="$IDLE_SECONDS" -v rss="$rss" -v hwm="$hwm" -v th="$threads" '
{
    part = ($2 ~ /^sim-/) ? "sim" : "svc"
    ticks[part] += $3; wake[part] += $4; n[part]++
}
END {
    printf "service threads (%d)   %6.3f %% of one core, %7.1f wakeups/s   (target: under 0.3 %%, under 200/s)\n", n["svc"], 100 * ticks["svc"] / hz / secs, wake["svc"] / secs
    printf "simulator threads (%d) %6.3f %% of one core, %7.1f wakeups/s\n", n["sim"], 100 * ticks["sim"] / hz / secs, wake["sim"] / secs
    printf "VmRSS                 %8.1f MB   (target: under 14 MB)\n", rss / 1024
    printf "VmHWM                 %8.1f MB\n", hwm / 1024
    printf "threads               %8d\n", th
}' "$SB/threads.delta"

# Resident memory by mapping: all anonymous memory together (static data,
# heap, malloc arenas, thread stacks), then each file (the program and its
# libraries, the shared tables in /tmp), largest first.
echo "resident memory, largest parts (kB):"
awk '/^[0-9a-f]+-[0-9a-f]+ / { name = ($6 == "" ? "[anonymous]" : $6); sub(/.*\//, "", name) }
     /^Rss:/ { rss[name] += $2 }
     END { for (n in rss) print rss[n], n }' "/proc/$PID/smaps" | sort -n -r | head -8 |
    awk '{ printf "  %6d  %s\n", $1, $2 }'

echo "busiest threads while idle (CPU share of one core, wakeups/s):"
sort -k3,3nr -k4,4nr "$SB/threads.delta" | head -5 |
    awk -v hz="$HZ" -v secs="$IDLE_SECONDS" '{ printf "  %-16s %7.3f %%  %7.1f/s\n", $2, 100 * $3 / hz / secs, $4 / secs }'

kill -TERM "$PID"
waited=0
while kill -0 "$PID" 2>/dev/null && [ $waited -lt 100 ]; do
    sleep 0.1
    waited=$((waited + 1))
done
wait "$PID"
rc=$?
PID=
echo "stopped with SIGTERM: exit status $rc"
