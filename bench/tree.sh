#!/usr/bin/env bash
# Times many-file edits of a real source tree: linemorph given the whole list of .c/.h files and
# given a list filtered by rg, GNU sed -i over both lists through xargs, and one linemorph process
# per file over the filtered list. Checks that linemorph's tree equals sed's byte for byte, that
# every file linemorph did not change kept its inode and mtime, and prints medians and ratios.
#
# Usage: bench/tree.sh               (after `cmake --workflow --preset release`)
#   ROUNDS=N     timed rounds (default 3); in each, every command runs once, in turn
#   SUBTREE=DIR  edit only this folder of the kernel sources (e.g. drivers/net/ethernet/intel)
#   TREE=DIR     a tree of your own instead of the kernel sources
#   BENCH_DIR    where the work goes (default: a fresh folder under /tmp, removed at the end)
#   LINEMORPH    the binary to time (default: build/release/linemorph)
# The reference tree is Debian's linux-source-6.1 (installed here with apt-get when missing, as
# root); the edit renames dev_err( to dev_fail( on lines without #define.
# Each command edits a fresh copy of the tree, made and flushed to disk before it is timed. The
# copy is made of hard links: each tool writes a new file and renames it over the old one, never
# writing into a file, so the original stays as it is.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tool=${LINEMORPH:-$root/build/release/linemorph}
rounds=${ROUNDS:-3}
search='dev_err('
replacement='dev_fail('

for need in rg sed xargs find cmp perl /usr/bin/time; do
    command -v "$need" >/dev/null || { echo "bench: $need is missing (apt-get install ripgrep time)" >&2; exit 1; }
done
[[ -x $tool ]] || { echo "bench: no $tool; run: cmake --workflow --preset release" >&2; exit 1; }

if [[ -n ${BENCH_DIR:-} ]]; then
    work=$BENCH_DIR
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/linemorph-tree.XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi
cd "$work"

echo "== machine"
echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')," \
    "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM;" \
    "file system: $(df -T . | awk 'NR == 2 {print $2}'); load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "linemorph: $tool"
echo

if [[ -n ${TREE:-} ]]; then
    source_tree=$(cd "$TREE" && pwd)
else
    tarball=/usr/src/linux-source-6.1.tar.xz
    if [[ ! -f $tarball ]]; then
        echo "== installing linux-source-6.1"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq linux-source-6.1 >/dev/null
    fi
    if [[ ! -d original/linux-source-6.1 ]]; then
        echo "== unpacking $tarball${SUBTREE:+ ($SUBTREE only)}"
        mkdir -p original
        tar -xJf "$tarball" -C original ${SUBTREE:+"linux-source-6.1/$SUBTREE"}
    fi
    source_tree=$work/original/linux-source-6.1
fi

echo "== lists"
(cd "$source_tree" && find . -name '*.[ch]' -type f -print0 | sort -z) >full.list
(cd "$source_tree" && rg -l0 --no-ignore --hidden --fixed-strings -g '*.[ch]' "$search" . | sort -z) >filtered.list || true
count() { tr -cd '\0' <"$1" | wc -c; }
printf '  full list:     %6d files, %s\n' "$(count full.list)" \
    "$(cd "$source_tree" && xargs -0 cat <"$work/full.list" | wc -c | awk '{printf "%.0f MiB", $1 / 1048576}')"
printf '  filtered list: %6d files (rg -l0 %s)\n' "$(count filtered.list)" "$search"
echo

# The commands, each run inside its fresh copy.
names=(lm_full lm_filtered sed_full sed_filtered lm_each)
declare -A label command
label[lm_full]="linemorph --files0-from=full"
label[lm_filtered]="linemorph --files0-from=filtered"
label[sed_full]="xargs -0 sed -i, full list"
label[sed_filtered]="xargs -0 sed -i, filtered list"
label[lm_each]="xargs -0 -I{} linemorph (one per file), filtered"
command[lm_full]="'$tool' --files0-from='$work/full.list' '$search' '$replacement' -#define"
command[lm_filtered]="'$tool' --files0-from='$work/filtered.list' '$search' '$replacement' -#define"
command[sed_full]="xargs -0 sed -i '/#define/!s/$search/$replacement/' <'$work/full.list'"
command[sed_filtered]="xargs -0 sed -i '/#define/!s/$search/$replacement/' <'$work/filtered.list'"
command[lm_each]="xargs -0 -I{} '$tool' --input={} '$search' '$replacement' -#define <'$work/filtered.list'"

# The ways of making the prepared files durable, on the filtered list, when the bench preset has
# built its helper (cmake --workflow --preset bench): each worker syncing each file, and one sync
# per file system followed by each file's own, against the tool's one sync per file system.
sync_bench=${SYNC_BENCH:-$root/build/bench/bench/list_sync_bench}
if [[ -x $sync_bench ]]; then
    names+=(sync_each sync_fs_each)
    label[sync_each]="  (durability: fsync per file)"
    label[sync_fs_each]="  (durability: syncfs, then fsync each)"
    jobs=$(nproc)
    command[sync_each]="'$sync_bench' each $jobs '$work/filtered.list' '$search' '$replacement' -#define"
    command[sync_fs_each]="'$sync_bench' filesystem-then-each $jobs '$work/filtered.list' '$search' '$replacement' -#define"
fi

fresh_copy() {  # name
    rm -rf "copy_$1"
    cp -al "$source_tree" "copy_$1"
    sync
}

# Wall time and CPU time (user + system, children included: sed and the per-file runs), in ms.
# On a shared machine the CPU time is the steadier figure: other work stretches the wall time.
declare -A times cpu
for round in $(seq 1 "$rounds"); do
    line=""
    for name in "${names[@]}"; do
        fresh_copy "$name"
        (cd "copy_$name" && /usr/bin/time -f '%e %U %S' -o "$work/time.out" sh -c "${command[$name]}")
        read -r wall user system <"$work/time.out"
        times[$name]+="$(perl -e 'printf "%d", $ARGV[0] * 1000' "$wall") "
        cpu[$name]+="$(perl -e 'printf "%d", ($ARGV[0] + $ARGV[1]) * 1000' "$user" "$system") "
        line+="$name ${wall}s (cpu $(perl -e 'printf "%.2f", $ARGV[0] + $ARGV[1]' "$user" "$system")s); "
    done
    echo "  round $round: $line"
    if [[ $round == 1 ]]; then
        # The checks, on the first round's trees.
        diff -rq copy_lm_full copy_sed_full >/dev/null && diff -rq copy_lm_filtered copy_sed_filtered >/dev/null &&
            diff -rq copy_lm_full copy_lm_each >/dev/null ||
            { echo "  MISMATCH: linemorph's trees and sed's differ" >&2; exit 1; }
        perl -e '
            my ($orig, $copy, $list) = @ARGV;
            local $/ = "\0";
            open my $in, "<", $list or die;
            my ($same, $kept, $changed) = (0, 0, 0);
            while (my $p = <$in>) {
                chomp $p;
                my @o = lstat "$orig/$p"; my @c = lstat "$copy/$p";
                if ($o[1] == $c[1]) { $same++; $kept++ if $o[9] == $c[9]; next; }
                $changed++;
            }
            printf "  checks: trees equal sed'"'"'s byte for byte; %d files changed, %d unchanged kept inode (%d kept mtime)\n", $changed, $same, $kept;
            exit($same == $kept ? 0 : 1);
        ' "$source_tree" copy_lm_full full.list || { echo "  an unchanged file lost its mtime" >&2; exit 1; }
    fi
done
for name in "${names[@]}"; do rm -rf "copy_$name"; done

median() {  # name [cpu] -> seconds
    local values=${times[$1]}
    [[ ${2:-} == cpu ]] && values=${cpu[$1]}
    echo "$values" | tr ' ' '\n' | grep . | sort -n | awk '{a[NR] = $1} END {m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.3f", m / 1000}'
}

echo
echo "== medians of $rounds rounds: wall time, and CPU time (user + system)"
for name in "${names[@]}"; do
    printf '  %-48s %8s s   cpu %8s s\n' "${label[$name]}" "$(median "$name")" "$(median "$name" cpu)"
done
if [[ -x $sync_bench ]]; then
    perl -e 'printf "  filtered list, wall time: fsync per file / syncfs: %.2f x; syncfs then fsync each / syncfs: %.2f x\n", $ARGV[1] / $ARGV[0], $ARGV[2] / $ARGV[0]' \
        "$(median lm_filtered)" "$(median sync_each)" "$(median sync_fs_each)"
fi
for kind in wall cpu; do
    perl -e 'printf "  %s time: sed -i (full) / linemorph (full): %.1f x (target 15 x); sed -i (filtered) / linemorph (filtered): %.1f x (target 3 x); per-file runs / linemorph (filtered): %.1f x\n", $ARGV[5], $ARGV[2] / $ARGV[0], $ARGV[3] / $ARGV[1], $ARGV[4] / $ARGV[1]' \
        "$(median lm_full $kind)" "$(median lm_filtered $kind)" "$(median sed_full $kind)" \
        "$(median sed_filtered $kind)" "$(median lm_each $kind)" "$kind"
done
