#!/usr/bin/env bash
# Builds and runs the benchmark suite and writes docs/BENCHMARKS.md (`make bench`).
#
# Every workload runs REPS times (5; the CPU workload 3), the C baseline and the Java client
# taking turns, each repetition on a fresh pty that bench-host creates and links as COM3 in a
# private port folder. Raw results land in bench/results/ (not kept in git).
# Environment: TARVOLEX_BENCH_REPS overrides the repetitions (at least 3 for a fair median).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
results=$root/bench/results
report=$root/docs/BENCHMARKS.md
reps=${TARVOLEX_BENCH_REPS:-5}
cpu_reps=$((reps < 3 ? reps : 3))

mkdir -p "$build"
if ! { cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$build" -j "$(nproc)"; } >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    exit 1
fi

rm -rf "$results"
mkdir -p "$results/ports"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
read -r -a java_client <"$build/java-client.txt"
c_client=("$build/bench-client")

# The host on the first CPU, the client on the second: whether the two share a CPU changes a
# round trip by half (every hand-over becomes a context switch), and the scheduler would decide
# that differently from one run to the next. The JVM's own threads stay with its client thread.
host_pin=()
client_pin=()
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
    host_pin=(taskset -c 0)
    client_pin=(taskset -c 1)
fi

failed() {
    echo "bench: the $1 client of $name failed; see $results/$1.log" >&2
    exit 1
}

# run NAME WORKLOAD REPS [--ports LIST]: the repetitions of one workload, C and Java in turn.
# Each result line becomes "<impl> <metric> <value>" in $results/NAME.txt.
run() {
    local name=$1 workload=$2 count=$3
    shift 3
    echo "bench: $name ($count repetitions)" >&2
    for ((rep = 1; rep <= count; rep++)); do
        "${host_pin[@]}" "$build/bench-host" "$workload" "$results/ports" "$@" -- \
            "${client_pin[@]}" "${c_client[@]}" "$workload" \
            2>>"$results/c.log" | sed 's/^/c /' >>"$results/$name.txt" || failed c
        "${host_pin[@]}" "$build/bench-host" "$workload" "$results/ports" "$@" -- \
            "${client_pin[@]}" "${java_client[@]}" "$workload" \
            2>>"$results/java.log" | sed 's/^/java /' >>"$results/$name.txt" || failed java
    done
}

run read read "$reps"
run echo echo "$reps"
run bulk bulk "$reps"
run list1 list "$reps"
run list0 list "$reps" --ports ""
run list4 list "$reps" --ports COM1,COM3,COM4,COM8
run silent silent "$reps"
run cpu cpu "$cpu_reps"

echo "bench: platform layer (Google Benchmark)" >&2
"${client_pin[@]}" "$build/platform-bench" --benchmark_repetitions=3 --benchmark_min_time=0.3 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv \
    >"$results/platform.csv" 2>>"$results/c.log"

# stat NAME IMPL METRIC HOW: one figure over the repetitions. HOW is median, max or min.
stat() {
    awk -v impl="$2" -v metric="$3" -v how="$4" '
        $1 == impl && $2 == metric { v[n++] = $3 + 0 }
        END {
            if (n == 0) { print "nan"; exit }
            for (i = 0; i < n; i++) for (j = i + 1; j < n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
            if (how == "min") print v[0]
            else if (how == "max") print v[n - 1]
            else print (n % 2 ? v[int(n / 2)] : (v[n / 2 - 1] + v[n / 2]) / 2)
        }' "$results/$1.txt"
}

# ratio A B [digits]: A / B.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b == 0 ? 0 : a / b }'; }

# verdict VALUE OP LIMIT: "met" when VALUE OP LIMIT holds, else "**not met**".
verdict() {
    awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN {
        ok = (op == ">=") ? v >= l : (op == "<=") ? v <= l : 0
        print ok ? "met" : "**not met**" }'
}

fmt() { awk -v v="$1" -v d="${2:-2}" 'BEGIN { printf "%.*f", d, v }'; }

unmet=()
note_unmet() { unmet+=("$1"); }

load_end=$(cut -d' ' -f1-3 /proc/loadavg)
cpu_model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
java_version=$("${java_client[0]}" -version 2>&1 | head -n 1)
{
    echo "# Benchmarks"
    echo
    echo "Written by \`make bench\` (bench/run.sh); do not edit by hand."
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Machine: $(nproc) cores, ${cpu_model:-unknown CPU}, Linux $(uname -r)"
    echo "- Load average (1, 5, 15 min): $load_start at the start, $load_end at the end"
    echo "- JVM: $java_version"
    echo "- Command: \`make bench\` ($reps repetitions per workload, $cpu_reps for CPU)"
    echo
    echo "Each repetition runs on a fresh pty: bench-host holds the master side (posix_openpt) and"
    echo "links the slave as COM3 under a private TARVOLEX_PORT_DIR; no relay process. The same host"
    echo "serves the C baseline (bench/client.c: plain system calls on a blocking raw fd, VMIN=1)"
    echo "and the Java client (bench/java: the library's native methods in a real JVM); the two take"
    echo "turns, repetition by repetition, so that both see the same noise. Only the ratios within"
    echo "one run count: the machine is shared. Ratios are Java / C. With two CPUs or more, the host"
    echo "runs on CPU 0 and the client (with all JVM threads) on CPU 1, for both clients alike."
    echo

    # ---- per-byte read
    c_med=$(stat read c read_bytes_per_s median); c_best=$(stat read c read_bytes_per_s max)
    j_med=$(stat read java read_bytes_per_s median); j_best=$(stat read java read_bytes_per_s max)
    r=$(ratio "$j_med" "$c_med"); v=$(verdict "$r" ">=" 0.75)
    [ "$v" = met ] || note_unmet "per-byte read: $r of C, goal 0.75"
    echo "## Per-byte read"
    echo
    echo "200,000 bytes, one \`doRead\` (C: one \`read()\`) per byte. The bytes are fed in rounds of"
    echo "4,000, what the slave's raw input queue holds at once: before each round the host writes"
    echo "the bytes and waits until the slave's FIONREAD shows all of them, then tells the client to"
    echo "read them; only the client's read loop is timed. 40,000 bytes of warm-up go first,"
    echo "untimed, in both clients."
    echo
    echo "| bytes/s | C | Java | ratio | goal | |"
    echo "|---|---|---|---|---|---|"
    echo "| median | $(fmt "$c_med" 0) | $(fmt "$j_med" 0) | $r | >= 0.75 | $v |"
    echo "| best | $(fmt "$c_best" 0) | $(fmt "$j_best" 0) | $(ratio "$j_best" "$c_best") | | |"
    echo

    # ---- echo
    c_med=$(stat echo c echo_median_us median); j_med=$(stat echo java echo_median_us median)
    c_best=$(stat echo c echo_median_us min); j_best=$(stat echo java echo_median_us min)
    c_p99=$(stat echo c echo_p99_us median); j_p99=$(stat echo java echo_p99_us median)
    c_p99b=$(stat echo c echo_p99_us min); j_p99b=$(stat echo java echo_p99_us min)
    r=$(ratio "$j_med" "$c_med"); v=$(verdict "$r" "<=" 1.2)
    r99=$(ratio "$j_p99" "$c_p99"); v99=$(verdict "$r99" "<=" 1.2)
    [ "$v" = met ] || note_unmet "echo median: $r of C, goal 1.2"
    [ "$v99" = met ] || note_unmet "echo p99: $r99 of C, goal 1.2"
    echo "## Echo round trip"
    echo
    echo "5,000 one-byte ping-pongs after 1,000 untimed: \`doWrite\` of one byte, then \`doRead\`"
    echo "(C: \`write()\` then \`read()\`); bench-host echoes each byte at once. Each round trip is"
    echo "timed; a repetition yields its median and 99th percentile."
    echo
    echo "| microseconds | C | Java | ratio | goal | |"
    echo "|---|---|---|---|---|---|"
    echo "| median, median of reps | $(fmt "$c_med") | $(fmt "$j_med") | $r | <= 1.2 | $v |"
    echo "| median, best rep | $(fmt "$c_best") | $(fmt "$j_best") | $(ratio "$j_best" "$c_best") | | |"
    echo "| p99, median of reps | $(fmt "$c_p99") | $(fmt "$j_p99") | $r99 | <= 1.2 | $v99 |"
    echo "| p99, best rep | $(fmt "$c_p99b") | $(fmt "$j_p99b") | $(ratio "$j_p99b" "$c_p99b") | | |"
    echo

    # ---- bulk write
    c_med=$(stat bulk c bulk_mb_per_s median); c_best=$(stat bulk c bulk_mb_per_s max)
    j_med=$(stat bulk java bulk_mb_per_s median); j_best=$(stat bulk java bulk_mb_per_s max)
    r=$(ratio "$j_best" "$c_best"); v=$(verdict "$r" ">=" 0.8)
    [ "$v" = met ] || note_unmet "bulk write: $r of C (best against best), goal 0.8"
    echo "## Bulk write"
    echo
    echo "1 MiB in 4 KiB range writes (\`doWrite(handle, data, 0, 4096)\`; C: \`write()\` until the"
    echo "block is written) after 64 KiB untimed, while bench-host drains the master. Timed from"
    echo "the first write to the return of the last. MB = 10^6 bytes."
    echo
    echo "| MB/s | C | Java | ratio | goal | |"
    echo "|---|---|---|---|---|---|"
    echo "| median | $(fmt "$c_med") | $(fmt "$j_med") | $(ratio "$j_med" "$c_med") | | |"
    echo "| best | $(fmt "$c_best") | $(fmt "$j_best") | $r | >= 0.8 | $v |"
    echo

    # ---- listPorts
    echo "## listPorts"
    echo
    echo "Milliseconds per call, the median of 40 calls after 5 untimed, per repetition. C: 40"
    echo "\`open()\` attempts on \$TARVOLEX_PORT_DIR/COM1..COM40, closing what opens. The goal"
    echo "applies to one linked port; no port and four are shown for reference."
    echo
    echo "| ms per call | C median | Java median | C best | Java best | ratio | goal | |"
    echo "|---|---|---|---|---|---|---|---|"
    for variant in "list1:COM3 linked, 39 missing" "list0:no port linked" \
        "list4:COM1, COM3, COM4, COM8 linked"; do
        name=${variant%%:*}
        label=${variant#*:}
        c_med=$(stat "$name" c list_ms median); j_med=$(stat "$name" java list_ms median)
        c_best=$(stat "$name" c list_ms min); j_best=$(stat "$name" java list_ms min)
        r=$(ratio "$j_med" "$c_med")
        goal="" v=""
        if [ "$name" = list1 ]; then
            goal="<= 1.5"
            v=$(verdict "$r" "<=" 1.5)
            [ "$v" = met ] || note_unmet "listPorts: $r of C, goal 1.5"
        fi
        echo "| $label | $(fmt "$c_med" 3) | $(fmt "$j_med" 3) | $(fmt "$c_best" 3) |" \
            "$(fmt "$j_best" 3) | $r | $goal | $v |"
    done
    echo

    # ---- silent read
    j_med=$(stat silent java silent_ms median); j_min=$(stat silent java silent_ms min)
    j_max=$(stat silent java silent_ms max)
    c_med=$(stat silent c silent_ms median); c_min=$(stat silent c silent_ms min)
    c_max=$(stat silent c silent_ms max)
    v=$(awk -v lo="$j_min" -v hi="$j_max" 'BEGIN { print (lo >= 1005 && hi <= 1010) ? "met" : "**not met**" }')
    [ "$v" = met ] || note_unmet "silent read: $j_min..$j_max ms, goal 1005..1010 ms"
    echo "## Silent read"
    echo
    echo "One \`doRead\` on a line that never sends, timed until it returns -1. C: \`poll()\` with"
    echo "the same 1005 ms, for the machine's own timer precision. The goal holds for every"
    echo "repetition."
    echo
    echo "| ms until -1 | median | min | max | goal | |"
    echo "|---|---|---|---|---|---|"
    echo "| Java | $(fmt "$j_med") | $(fmt "$j_min") | $(fmt "$j_max") | 1005..1010 | $v |"
    echo "| C | $(fmt "$c_med") | $(fmt "$c_min") | $(fmt "$c_max") | | |"
    echo

    # ---- CPU while blocked
    idle=$(stat cpu java cpu_idle_pct median); blocked=$(stat cpu java cpu_blocked_pct median)
    reader=$(stat cpu java cpu_reader_pct median); reader_max=$(stat cpu java cpu_reader_pct max)
    idle_min=$(stat cpu java cpu_idle_pct min)
    c_blocked=$(stat cpu c cpu_blocked_pct median)
    v=$(verdict "$reader_max" "<=" "$idle_min")
    [ "$v" = met ] || note_unmet "CPU while blocked: the reading thread used $reader_max % of a core, the idle JVM $idle_min %"
    echo "## CPU while blocked in doRead"
    echo
    echo "In one JVM with the port open: the run time of all its threads (first field of"
    echo "/proc/self/task/*/schedstat, in nanoseconds) over 2 s with every thread idle, then over 2 s"
    echo "in which one more thread loops on \`doRead\` on a silent line (two reads of 1005 ms), and"
    echo "that thread's own run time (/proc/thread-self/schedstat) over its reads. The goal compares"
    echo "what the blocked thread costs with what the idle JVM spends on its own: the worst"
    echo "repetition of the thread against the quietest of the idle JVM. The whole JVM's figure"
    echo "while the thread is blocked is shown too; it differs from the idle one by the JVM's own"
    echo "background noise, which is larger than the thread's share. C: one process blocked in"
    echo "\`poll()\` for 2 s. Percent of one core."
    echo
    echo "| % of a core | idle JVM | JVM, one thread in doRead | that thread | C, blocked | goal | |"
    echo "|---|---|---|---|---|---|---|"
    echo "| median | $(fmt "$idle" 3) | $(fmt "$blocked" 3) | $(fmt "$reader" 3) | $(fmt "$c_blocked" 3) | | |"
    echo "| thread's worst against the quietest idle JVM | $(fmt "$idle_min" 3) | |" \
        "$(fmt "$reader_max" 3) | | the thread no more than the idle JVM | $v |"
    echo

    # ---- platform layer
    echo "## Platform layer (Google Benchmark)"
    echo
    echo "bench/platform_bench.cpp: the POSIX layer (tarvolex::platform) beside the raw system"
    echo "calls, a fresh pty per benchmark; a read finds its byte waiting, a write's bytes are"
    echo "drained between batches of 4,000 (refill and drain untimed). Median of 3 repetitions."
    echo
    echo "| operation | library ns | raw ns | ratio |"
    echo "|---|---|---|---|"
    awk -F, '
        $1 ~ /_median"?$/ {
            name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
            kind = name ~ /Library$/ ? "library" : "raw"
            op = name; sub(/(Library|Raw)$/, "", op)
            t[op, kind] = $3; if (!(op in seen)) { seen[op] = 1; order[n++] = op }
        }
        END {
            label["openClose"] = "open + close"
            label["readByte"] = "read of one waiting byte"
            label["writeByte"] = "write of one byte"
            for (i = 0; i < n; i++) {
                op = order[i]
                printf "| %s | %.0f | %.0f | %.2f |\n", label[op], t[op, "library"], t[op, "raw"],
                    t[op, "library"] / t[op, "raw"]
            }
        }' "$results/platform.csv"
    echo

    echo "## Goals not met"
    echo
    if [ ${#unmet[@]} -eq 0 ]; then
        echo "None in this run."
    else
        for line in "${unmet[@]}"; do echo "- $line"; done
    fi
    if [ -f "$root/bench/NOTES.md" ]; then
        echo
        cat "$root/bench/NOTES.md"
    fi
} >"$report"

echo "bench: wrote $report" >&2
