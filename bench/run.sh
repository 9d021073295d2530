#!/bin/sh
# Prints the project's figures: every benchmark program built in
# BUILD_DIR/bench, then the idle cost of the whole service on the simulated
# board (CPU used while idle, resident memory, threads).
#
# usage: bench/run.sh BUILD_DIR        (IDLE_SECONDS=60 by default)
set -u
BUILD=${1:?usage: bench/run.sh BUILD_DIR}
IDLE_SECONDS=${IDLE_SECONDS:-60}
BUILD=$(cd "$BUILD" && pwd) || exit 1

for prog in "$BUILD"/bench/*; do
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
# utime + stime, in clock ticks: fields 14 and 15 of /proc/PID/stat, counted
# after the command name (which is in parentheses and may hold blanks).
ticks() { sed 's/^.*) //' "/proc/$PID/stat" | awk '{ print $12 + $13 }'; }
status_kb() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$PID/status"; }

# Per-thread ticks, "tid ticks" a line, to show which activity costs the most.
thread_ticks() {
    for t in /proc/$PID/task/*; do
        echo "${t##*/} $(sed 's/^.*) //' "$t/stat" | awk '{ print $12 + $13 }')"
    done | sort
}

start_ticks=$(ticks)
thread_ticks >"$SB/ticks.start"
sleep "$IDLE_SECONDS"
end_ticks=$(ticks)
thread_ticks >"$SB/ticks.end"
rss=$(status_kb VmRSS)
hwm=$(status_kb VmHWM)
threads=$(status_kb Threads)

awk -v s="$start_ticks" -v e="$end_ticks" -v hz="$HZ" -v secs="$IDLE_SECONDS" \
    -v rss="$rss" -v hwm="$hwm" -v th="$threads" 'BEGIN {
    cpu = (e - s) / hz
    printf "CPU used while idle   %8.2f s in %d s = %.3f %% of one core   (target: under 0.5 %%)\n", cpu, secs, 100 * cpu / secs
    printf "CPU since start       %8.2f s\n", e / hz
    printf "VmRSS                 %8.1f MB   (target: under 14 MB)\n", rss / 1024
    printf "VmHWM                 %8.1f MB\n", hwm / 1024
    printf "threads               %8d\n", th
}'

# Resident memory by mapping: all anonymous memory together (static data,
# heap, malloc arenas, thread stacks), then each file (the program and its
# libraries, the shared tables in /tmp), largest first.
echo "resident memory, largest parts (kB):"
awk '/^[0-9a-f]+-[0-9a-f]+ / { name = ($6 == "" ? "[anonymous]" : $6); sub(/.*\//, "", name) }
     /^Rss:/ { rss[name] += $2 }
     END { for (n in rss) print rss[n], n }' "/proc/$PID/smaps" | sort -n -r | head -8 |
    awk '{ printf "  %6d  %s\n", $1, $2 }'

# Thread names from the start lines ("name tid  : 1234").
awk '/ tid  : / { print $NF, $1 }' "$SB/sim/console.log" | sort >"$SB/names"
echo "busiest threads while idle (CPU seconds):"
join "$SB/ticks.start" "$SB/ticks.end" | awk '{ print $1, $3 - $2 }' | join -a 1 - "$SB/names" |
    sort -k2 -n -r | head -5 | awk -v hz="$HZ" '{ printf "  %-32s %6.2f\n", ($3 == "" ? "main (tid " $1 ")" : $3), $2 / hz }'

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
