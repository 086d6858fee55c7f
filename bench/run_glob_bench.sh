#!/usr/bin/env bash
# Times the glob library against find(1) and glibc's glob(3) on a generated tree
# in /tmp (100,000 files: 10 x 100 directories of 100 files, and one directory
# of 100,000 files) and prints a table. Each figure is the median wall time of
# whole-process runs; the tree is removed afterwards. Then times the element
# matcher alone on the worst patterns known, against 255-byte names.
# Usage: bench/run_glob_bench.sh [repetitions]   (default 11)
set -euo pipefail
cd "$(dirname "$0")/.."

reps=${1:-11}
build="build-bench"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSKEIN_BUILD_BENCH=ON -DBUILD_TESTING=OFF \
    >/dev/null
cmake --build "$build" -j2 --target glob_bench glibc_glob_bench glob_match_bench >/dev/null
ours=$PWD/$build/bench/glob_bench
glibc=$PWD/$build/bench/glibc_glob_bench

work=$(mktemp -d /tmp/glob_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree=$work/tree
flat=$work/flat

echo "Generating the tree under $work ..."
mkdir -p "$tree"/d{0..9}/s{00..99} "$flat"
# Odd lines .txt, even lines .log: half of every directory matches "*.txt".
printf '%s\n' "$tree"/d{0..9}/s{00..99}/f{000..099} |
    awk '{ print $0 (NR % 2 ? ".txt" : ".log") }' | xargs touch
seq -f "$flat/f%06g" 0 99999 | awk '{ print $0 (NR % 2 ? ".txt" : ".log") }' | xargs touch

# One run of "$@" in directory $1: prints "wall-ms call-ms cpu-ms". The programs
# of bench/ print one line "paths call-ms KiB cpu-ms"; find's listing goes to
# /dev/null.
run_once() {
    local dir=$1 start end out=/dev/null
    shift
    [ "$1" = find ] || out=$work/out
    cd "$dir"
    start=$(date +%s%N)
    "$@" >"$out"
    end=$(date +%s%N)
    cd - >/dev/null
    local call=- cpu=-
    [ "$out" = /dev/null ] || read -r _ call _ cpu <"$out"
    awk -v wall="$(((end - start) / 1000))" -v call="$call" -v cpu="$cpu" \
        'BEGIN { printf "%.1f %s %s\n", wall / 1000, call, cpu }'
}

# The number of paths that one run of "$@" in directory $1 gives.
count_paths() {
    local dir=$1
    shift
    (cd "$dir" && "$@" | awk '{ first = $1 } END { print (NR == 1 ? first : NR) }')
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Peak resident size in KiB of one run of "$@" in directory $1.
peak_kib() {
    local dir=$1
    shift
    if [ -x /usr/bin/time ]; then
        (cd "$dir" && /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1)
    else
        echo n/a
    fi
}

row_format='%-38s %8s %10s %7s %9s %9s %8s %9s\n'
# shellcheck disable=SC2059 # one format for the heading and every row
printf "$row_format" "case" "paths" "median ms" "ratio" "call ms" "peak KiB" "cpu ms" "cpu ratio"

# Runs the reference and each contender in turn, $reps times after a warm-up, so
# that load from elsewhere on the machine falls on all of them alike.
# Arguments: directory, then "label|command words" for the reference first.
compare() {
    local dir=$1
    shift
    local count=$# i round label words
    local -a walls calls cpus
    for ((round = 0; round <= reps; round++)); do
        for ((i = 1; i <= count; i++)); do
            read -ra words <<<"${!i#*|}"
            read -r wall call cpu <<<"$(run_once "$dir" "${words[@]}")"
            if ((round > 0)); then
                walls[i]+="$wall "
                calls[i]+="$call "
                cpus[i]+="$cpu "
            fi
        done
    done
    local reference cpu_reference
    reference=$(tr ' ' '\n' <<<"${walls[1]}" | grep . | median)
    cpu_reference=$(tr ' ' '\n' <<<"${cpus[1]}" | grep . | median)
    for ((i = 1; i <= count; i++)); do
        label=${!i%%|*}
        local wall call cpu ratio="" cpu_ratio=""
        wall=$(tr ' ' '\n' <<<"${walls[i]}" | grep . | median)
        call=$(tr ' ' '\n' <<<"${calls[i]}" | grep . | median)
        cpu=$(tr ' ' '\n' <<<"${cpus[i]}" | grep . | median)
        ((i > 1)) && ratio=$(awk -v a="$wall" -v b="$reference" 'BEGIN { printf "%.2fx", a / b }')
        if ((i > 1)) && [ "$cpu_reference" != - ]; then
            cpu_ratio=$(awk -v a="$cpu" -v b="$cpu_reference" 'BEGIN { printf "%.2fx", a / b }')
        fi
        read -ra words <<<"${!i#*|}"
        # shellcheck disable=SC2059 # the same format as the heading
        printf "$row_format" "$label" "$(count_paths "$dir" "${words[@]}")" "$wall" "$ratio" \
            "$call" "$(peak_kib "$dir" "${words[@]}")" "$cpu" "$cpu_ratio"
    done
}

set -f  # the patterns below reach the programs unexpanded
compare "$tree" "find TREE|find $tree" \
    "tarn::glob::rglob(\"**\")|$ours rglob **" \
    "tarn::utilities::rglob(\"**\")|$ours rglob-strings **"
compare "$flat" "glob(3) \"*.txt\", 100,000 entries|$glibc *.txt" \
    "tarn::glob::glob(\"*.txt\")|$ours glob *.txt" \
    "tarn::utilities::glob(\"*.txt\")|$ours glob-strings *.txt"
compare "$tree" "glob(3) \"d*/s*/*.txt\"|$glibc d*/s*/*.txt" \
    "tarn::glob::glob(\"d*/s*/*.txt\")|$ours glob d*/s*/*.txt" \
    "tarn::utilities::glob(\"d*/s*/*.txt\")|$ours glob-strings d*/s*/*.txt"
set +f

echo
"$PWD/$build/bench/glob_match_bench"
