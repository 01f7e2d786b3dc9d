#!/usr/bin/env bash
# The benchmark: bench/run.sh [runs]. On a corpus of 1,000,000 lines of 0 to 250 bytes it measures
# the client beside the least line-by-line forwarder (bench/reference.c) and beside grep and awk
# line-buffered, on two cores and pinned with the reader to one; then command-server reading 200
# clients that start at once, in both outputs, and its decoder alone. It prints two tables in
# Markdown. Builds its helpers in build-bench and installs valgrind, strace, time (for
# /usr/bin/time) and linux-perf (for the counts of context switches) where they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
need valgrind strace time linux-perf
runs=${1:-11}
lines=1000000
build=build-bench

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCLIENT_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/bench_corpus" "$lines" >"$work/corpus"
: >"$work/empty"
mkfifo "$work/canal"
corpus_bytes=$(stat -c %s "$work/corpus")
pieces=$(awk '{ n += int((length($0) + 199) / 199) } END { print n + 2 }' "$work/corpus")

client=("$build/client")
reference=("$build/bench/bench_reference")
grep_lb=(grep --line-buffered '')
awk_lb=(awk '{ print; fflush() }')

# run NAME INPUT CHANNEL [PREFIX...]: one run of a forwarder, under PREFIX (taskset, say); the
# client and the reference take the channel as argument, grep and awk write it on standard output.
# The shell's report of the client's SIGKILL end is kept quiet.
run() {
    local name=$1 input=$2 channel=$3
    shift 3
    local -n cmd=$name
    {
        case $name in
        client | reference) "$@" "${cmd[@]}" "$channel" <"$input" >/dev/null || true ;;
        *) "$@" "${cmd[@]}" <"$input" >"$channel" ;;
        esac
    } 2>/dev/null
}

# forward NAME [CPU]: seconds from the first forwarded byte to end of file at a reader that keeps
# up; with CPU, the forwarder and the reader both run on that core alone.
forward() {
    local name=$1 skip=4 expected=$((corpus_bytes + 9)) pin=()
    [ -z "${2-}" ] || pin=(taskset -c "$2")
    case $name in grep_lb | awk_lb) skip=0 expected=$corpus_bytes ;; esac
    "${pin[@]}" "$build/bench/bench_drain" "$work/canal" "$skip" >"$work/drained" &
    local reader=$!
    run "$name" "$work/corpus" "$work/canal" "${pin[@]}"
    wait "$reader"
    local seconds bytes
    read -r seconds bytes <"$work/drained"
    [ "$bytes" -eq "$expected" ] || { echo "bench: $name forwarded $bytes bytes, not $expected" >&2; exit 1; }
    echo "$seconds"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'; }

# The machine's speed drifts from run to run by more than the forwarders differ, so each run
# times all four in turn, and each is compared with the reference of its own run.
declare -A times ratios this
for where in two one; do
    cpu= cores="two cores"
    [ $where = two ] || cpu=0 cores="one core"
    for ((r = 0; r < runs; r++)); do
        echo "bench: forwarding on $cores, run $((r + 1)) of $runs" >&2
        for name in client reference grep_lb awk_lb; do
            this[$name]=$(forward "$name" $cpu)
            times[$where,$name]+="${this[$name]} "
        done
        for name in client reference grep_lb awk_lb; do
            ratios[$where,$name]+="$(ratio "${this[$name]}" "${this[reference]}") "
        done
    done
    for name in client reference grep_lb awk_lb; do
        times[$where,$name]=$(tr ' ' '\n' <<<"${times[$where,$name]}" | grep . | median)
        ratios[$where,$name]=$(tr ' ' '\n' <<<"${ratios[$where,$name]}" | grep . | median)
    done
done

instructions() { # NAME INPUT: user-space instructions of one run, channel /dev/null
    { valgrind --tool=callgrind --callgrind-out-file=/dev/null "${!1}" /dev/null <"$2" 2>&1 >/dev/null || true; } 2>/dev/null |
        awk '/Collected :/ { print $NF }'
}
per_line() { # NAME: instructions per line, the corpus less empty input
    local full empty
    full=$(instructions "$1" "$work/corpus")
    empty=$(instructions "$1" "$work/empty")
    awk -v f="$full" -v e="$empty" -v n="$lines" 'BEGIN { printf "%.1f", (f - e) / n }'
}

syscalls() { # NAME: "channel writes, other system calls per line", input from a file, output to a file
    "$build/bench/bench_drain" "$work/canal" 0 >/dev/null &
    local reader=$!
    { strace -f -qq -s 0 -o "$work/trace" "${!1}" "$work/canal" <"$work/corpus" >"$work/out" || true; } 2>/dev/null
    wait "$reader"
    awk -v n="$lines" '/^[0-9]+ +write\(3,/ { w++ } /^[0-9]+ +[a-z_0-9]+\(/ { all++ }
        END { printf "%d %.4f", w, (all - w) / n }' "$work/trace"
}

switches() { # NAME: context switches and CPU migrations per line of the forwarder, then the reader
    perf stat -x, -e context-switches,cpu-migrations -o "$work/reader.stat" \
        "$build/bench/bench_drain" "$work/canal" 4 >/dev/null &
    local reader=$!
    { perf stat -x, -e context-switches,cpu-migrations -o "$work/writer.stat" \
        "${!1}" "$work/canal" <"$work/corpus" >/dev/null || true; } 2>/dev/null
    wait "$reader"
    local counts=()
    for side in writer reader; do
        counts+=($(awk -F, -v n="$lines" '$3 == "context-switches" { c = $1 } $3 == "cpu-migrations" { m = $1 }
            END { printf "%.4f %.5f", c / n, m / n }' "$work/$side.stat"))
    done
    echo "${counts[0]} / ${counts[2]} ${counts[1]} / ${counts[3]}"
}

peak_rss() { # NAME: peak resident memory in KiB
    { /usr/bin/time -f %M -o "$work/rss" "${!1}" /dev/null <"$work/corpus" >/dev/null || true; } 2>/dev/null
    tail -n 1 "$work/rss"
}

allocations() { # NAME INPUT: heap allocations of one run
    { valgrind "${!1}" /dev/null <"$2" 2>&1 >/dev/null || true; } 2>/dev/null |
        awk '/total heap usage/ { gsub(",", "", $5); print $5 }'
}

declare -A ipl writes others rss heap cs migrations
for name in client reference; do
    echo "bench: instructions, system calls and memory of the $name" >&2
    read -r a _ b c _ d <<<"$(switches "$name")"
    cs[$name]="$a / $b" migrations[$name]="$c / $d"
    ipl[$name]=$(per_line "$name")
    read -r writes[$name] others[$name] <<<"$(syscalls "$name")"
    rss[$name]=$(peak_rss "$name")
    heap[$name]="$(allocations "$name" "$work/empty") / $(allocations "$name" "$work/corpus")"
done

# serve [--json]: command-server reading 200 clients that start at once, each with its share of
# the corpus: "CPU-SECONDS PEAK-KIB" of the server, once every client's end is printed.
split -n l/200 -d -a 3 "$work/corpus" "$work/share."
serve() {
    local fifo=$work/crowd ends='fin (ctrld)' clients=()
    [ $# -eq 0 ] || ends='"clean":true'
    "$build/command-server" "$@" "$fifo" >"$work/served" &
    local server=$!
    while [ ! -p "$fifo" ]; do sleep 0.01; done
    for share in "$work"/share.*; do
        "$build/client" "$fifo" <"$share" >/dev/null 2>&1 &
        clients+=($!)
    done
    wait "${clients[@]}" 2>/dev/null || true
    local waited=0
    until [ "$(grep -c -F "$ends" "$work/served")" -eq 200 ]; do
        ((waited++ < 300)) || { echo "bench: the server showed no 200 clean ends" >&2; exit 1; }
        sleep 0.1
    done
    local ticks peak
    ticks=$(awk '{ print $14 + $15 }' "/proc/$server/stat")
    peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$server/status")
    kill "$server"
    wait "$server" 2>/dev/null || true
    awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v p="$peak" 'BEGIN { printf "%.2f %d", t / hz, p }'
}
echo "bench: command-server reading 200 clients at once" >&2
read -r plain_cpu plain_rss <<<"$(serve)"
read -r json_cpu json_rss <<<"$(serve --json)"
read -r _ one_rate _ _ crowd_rate _ <<<"$("$build/bench/bench_decoder" "$work/corpus" | tr '\n' ' ')"
mb() { awk -v r="$1" 'BEGIN { printf "%.0f", r / 1e6 }'; }

cat <<TABLE
| $lines lines, $corpus_bytes bytes, $pieces pieces | client | reference | grep | awk |
|---|---|---|---|---|
| forwarding time on two cores, median of $runs (s) | ${times[two,client]} | ${times[two,reference]} | ${times[two,grep_lb]} | ${times[two,awk_lb]} |
| time / reference of the same run, median | ${ratios[two,client]} | 1.00 | ${ratios[two,grep_lb]} | ${ratios[two,awk_lb]} |
| pinned with the reader to one core, median (s) | ${times[one,client]} | ${times[one,reference]} | ${times[one,grep_lb]} | ${times[one,awk_lb]} |
| pinned: time / reference of the same run, median | ${ratios[one,client]} | 1.00 | ${ratios[one,grep_lb]} | ${ratios[one,awk_lb]} |
| context switches per line, forwarder / reader | ${cs[client]} | ${cs[reference]} | | |
| CPU migrations per line, forwarder / reader | ${migrations[client]} | ${migrations[reference]} | | |
| user-space instructions per line | ${ipl[client]} | ${ipl[reference]} | | |
| instructions / reference | $(ratio "${ipl[client]}" "${ipl[reference]}") | 1.00 | | |
| channel writes | ${writes[client]} | ${writes[reference]} | | |
| other system calls per line | ${others[client]} | ${others[reference]} | | |
| peak resident memory (KiB) | ${rss[client]} | ${rss[reference]} | | |
| heap allocations, empty input / corpus | ${heap[client]} | ${heap[reference]} | | |
TABLE
cat <<TABLE

| command-server, the same $lines lines | plain | JSON |
|---|---|---|
| 200 clients at once: the server's CPU time (s) | $plain_cpu | $json_cpu |
| 200 clients at once: the server's peak resident memory (KiB) | $plain_rss | $json_rss |
| the decoder alone, in memory, one client / 200 interleaved (MB/s) | $(mb "$one_rate") / $(mb "$crowd_rate") | |
TABLE
