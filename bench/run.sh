#!/usr/bin/env bash
# Times linemorph against a durable copy (cp, then sync of the copy), GNU sed -i and perl -pi
# doing the same edit on generated fixtures; checks that linemorph and sed give identical files,
# and prints medians, ratios, mean CPU times and linemorph's peak memory.
#
# Usage: bench/run.sh [SIZE_MIB]        (after `cmake --workflow --preset release`)
#   SIZE_MIB   size of the source-like fixtures (1% of lines hit, every line hit), 256 by default
#   RUNS=N     timed runs per command (default 10), after one warm-up run
#   BENCH_DIR  where the fixtures go (default: a fresh folder under /tmp, removed at the end)
#   LINEMORPH  the binary to time (default: build/release/linemorph)
# Needs hyperfine, GNU time (/usr/bin/time), perl and GNU sed: apt-get install hyperfine time
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tool=${LINEMORPH:-$root/build/release/linemorph}
size_mib=${1:-256}
runs=${RUNS:-10}

for need in hyperfine /usr/bin/time perl sed cmp; do
    command -v "$need" >/dev/null || { echo "bench: $need is missing" >&2; exit 1; }
done
[[ -x $tool ]] || { echo "bench: no $tool; run: cmake --workflow --preset release" >&2; exit 1; }

if [[ -n ${BENCH_DIR:-} ]]; then
    work=$BENCH_DIR
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/linemorph-bench.XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi
cd "$work"

echo "== machine"
echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')," \
    "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM;" \
    "file system: $(df -T . | awk 'NR == 2 {print $2}')"
echo "linemorph: $tool"
echo

echo "== fixtures"
perl "$root/bench/make_source.pl" "$size_mib" >source.c
perl "$root/bench/make_source.pl" "$size_mib" 1 >every_line.c
perl -e 'print "a" x (32 << 20), "NEEDLE", "b" x (32 << 20), "\n"' >long_line.txt
printf 'int value = OLD_NAME;\n' >one_line.c
printf '%-16s %5d MiB, %d lines, %d hold OLD_NAME\n' source.c "$size_mib" \
    "$(wc -l <source.c)" "$(grep -c OLD_NAME source.c)"
printf '%-16s %5d MiB, %d lines, all hold OLD_NAME\n' every_line.c "$size_mib" \
    "$(wc -l <every_line.c)"
printf '%-16s %5d MiB, one line\n' long_line.txt 64
printf '%-16s %5d bytes\n' one_line.c "$(wc -c <one_line.c)"
echo

# Each timed command edits (or copies) a fresh copy of its fixture, made and flushed to disk
# beforehand, outside the timing.
time_commands() {  # name fixture command...
    local name=$1 fixture=$2
    shift 2
    hyperfine --style basic --runs "$runs" --warmup 1 --export-json "$name.json" \
        --prepare "cp $fixture work && rm -f copy && sync" "$@" >/dev/null 2>"$name.log" ||
        { cat "$name.log" >&2; exit 1; }
}

# Gives the median of the command at index $2 in hyperfine's results $1.json.
median() {
    perl -MJSON::PP -e 'local $/; my $r = decode_json(<STDIN>); printf "%.4f", $r->{results}[$ARGV[0]]{median}' \
        "$2" <"$1.json"
}

# Gives the mean CPU time (user + system) of the command at index $2 in $1.json: steadier than
# the wall-clock time when other work shares the machine.
cpu_time() {
    perl -MJSON::PP -e 'local $/; my $r = decode_json(<STDIN>)->{results}[$ARGV[0]]; printf "%.4f", $r->{user} + $r->{system}' \
        "$2" <"$1.json"
}

durable_copy="sh -c 'cp $work/work $work/copy && sync $work/copy'"

# Runs linemorph and sed once each on copies of $1 and checks their results are identical.
check_same() {  # fixture linemorph-args sed-script
    cp "$1" by_linemorph
    cp "$1" by_sed
    eval "\"$tool\" --input=by_linemorph $2"
    sed -i "$3" by_sed
    if cmp -s by_linemorph by_sed; then
        echo "  linemorph and sed -i give identical files"
    else
        echo "  MISMATCH: linemorph and sed -i differ" >&2
        exit 1
    fi
}

report() {  # name label
    local name=$1 copy lm sed perl
    copy=$(median "$name" 0)
    lm=$(median "$name" 1)
    sed=$(median "$name" 2)
    perl=$(median "$name" 3)
    printf '  %-28s %8s s   (CPU %s s)\n' "durable copy (cp + sync)" "$copy" "$(cpu_time "$name" 0)" \
        "linemorph" "$lm" "$(cpu_time "$name" 1)" "sed -i" "$sed" "$(cpu_time "$name" 2)" \
        "perl -pi" "$perl" "$(cpu_time "$name" 3)"
    perl -e 'printf "  linemorph / durable copy:  %.2f x\n  sed -i / linemorph:        %.2f x\n  perl -pi / linemorph:      %.2f x\n", $ARGV[1] / $ARGV[0], $ARGV[2] / $ARGV[1], $ARGV[3] / $ARGV[1]' \
        "$copy" "$lm" "$sed" "$perl"
}

peak_rss() {  # fixture linemorph-args
    cp "$1" work
    eval "/usr/bin/time -f %M \"$tool\" --input=work $2" 2>&1 >/dev/null | tail -1
}

echo "== 1. source.c, partial mode, one '-' condition"
echo "  linemorph --input=F OLD_NAME NEW_NAME -#define    sed -i '/#define/!s/OLD_NAME/NEW_NAME/' F"
check_same source.c "OLD_NAME NEW_NAME -#define" '/#define/!s/OLD_NAME/NEW_NAME/'
time_commands partial source.c "$durable_copy" \
    "$tool --input=$work/work OLD_NAME NEW_NAME -#define" \
    "sed -i '/#define/!s/OLD_NAME/NEW_NAME/' $work/work" \
    "perl -pi -e 's/OLD_NAME/NEW_NAME/ unless /#define/' $work/work"
report partial
echo "  linemorph peak RSS: $(peak_rss source.c 'OLD_NAME NEW_NAME -#define') KiB"
echo

echo "== 2. source.c, whole-line mode"
echo "  linemorph --input=F --wholeline OLD_NAME '/* gone */'    sed -i '/OLD_NAME/c /* gone */' F"
check_same source.c "--wholeline OLD_NAME '/* gone */'" '/OLD_NAME/c /* gone */'
time_commands wholeline source.c "$durable_copy" \
    "$tool --input=$work/work --wholeline OLD_NAME '/* gone */'" \
    "sed -i '/OLD_NAME/c /* gone */' $work/work" \
    "perl -pi -e '\$_ = \"/* gone */\\n\" if /OLD_NAME/' $work/work"
report wholeline
echo

echo "== 3. every_line.c, every line changed"
echo "  linemorph --input=F OLD_NAME NEW_NAME    sed -i 's/OLD_NAME/NEW_NAME/' F"
check_same every_line.c "OLD_NAME NEW_NAME" 's/OLD_NAME/NEW_NAME/'
time_commands every every_line.c "$durable_copy" \
    "$tool --input=$work/work OLD_NAME NEW_NAME" \
    "sed -i 's/OLD_NAME/NEW_NAME/' $work/work" \
    "perl -pi -e 's/OLD_NAME/NEW_NAME/' $work/work"
report every
echo "  linemorph peak RSS: $(peak_rss every_line.c 'OLD_NAME NEW_NAME') KiB"
echo

echo "== 4. long_line.txt, one 64 MiB line"
check_same long_line.txt "NEEDLE PIN" 's/NEEDLE/PIN/'
time_commands long long_line.txt "$durable_copy" \
    "$tool --input=$work/work NEEDLE PIN" \
    "sed -i 's/NEEDLE/PIN/' $work/work" \
    "perl -pi -e 's/NEEDLE/PIN/' $work/work"
report long
echo "  linemorph peak RSS: $(peak_rss long_line.txt 'NEEDLE PIN') KiB (the line: 65536 KiB)"
echo

echo "== 5. one_line.c: start-up cost"
hyperfine --style basic --runs $((runs * 10)) --warmup 5 -N --export-json startup.json \
    --prepare "cp one_line.c work" \
    "cp $work/one_line.c $work/copy" \
    "$tool --input=$work/work OLD_NAME NEW_NAME" >/dev/null 2>startup.log ||
    { cat startup.log >&2; exit 1; }
cp_time=$(median startup 0)
lm_time=$(median startup 1)
printf '  %-28s %8s s\n' "cp" "$cp_time" "linemorph" "$lm_time"
perl -e 'printf "  linemorph / cp:            %.2f x\n", $ARGV[1] / $ARGV[0]' "$cp_time" "$lm_time"
