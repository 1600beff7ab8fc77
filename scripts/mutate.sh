#!/usr/bin/env bash
# Fault injection: puts the faults listed in scripts/mutants.txt into the
# driver one at a time, runs the deterministic tests against each, and reports
# which faults no test noticed.
#
#   scripts/mutate.sh                  every mutant of the list
#   scripts/mutate.sh ID...            only these (IDs as in the list)
#   scripts/mutate.sh --list           the IDs and descriptions, nothing run
#   scripts/mutate.sh --check          the mutants whose text is no longer in
#                                      its file exactly once, nothing run
#
# Environment:
#   MUTANTS       the list (default scripts/mutants.txt)
#   MUTATE_DIR    working directory (default build/mutate): a copy of the
#                 sources, its build, and the results
#   TEST_TIMEOUT  seconds per test before it counts as hung (default 30)
#   TEST_EXCLUDE  ctest -E regex of tests not run (default: the stress test,
#                 the fuzz targets)
#   JOBS          build and test parallelism (default 2)
#   TIME_LIMIT    seconds; no new mutant is started after that (default none)
#
# The working tree is never touched: the sources (tracked and untracked, as
# they stand, without build/ and the fuzz corpora) are copied to
# $MUTATE_DIR/src once per run, each mutant is written into that copy and the
# original put back afterwards, and $MUTATE_DIR/build rebuilds incrementally.
# Each mutant stops at its first failing test. The results go to
# $MUTATE_DIR/results.txt, one line per mutant:
#   killed <id> <first failing test>   a test failed (or hung, or crashed)
#   SURVIVED <id>                      every test passed
#   build-error <id>                   the mutant does not compile (not counted)
#   stale <id>                         its original text is not in the file
#                                      exactly once (not counted; update the list)
# and the score (killed / (killed + survived)) is printed at the end.
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true

root=$(cd "$(dirname "$0")/.." && pwd)
list=${MUTANTS:-$root/scripts/mutants.txt}
work=${MUTATE_DIR:-$root/build/mutate}
timeout=${TEST_TIMEOUT:-30}
exclude=${TEST_EXCLUDE:-'^stress\.|^fuzz'}
last='^explore\.'
jobs=${JOBS:-2}
time_limit=${TIME_LIMIT:-0}
src=$work/src
build=$work/build
results=$work/results.txt
log=$work/log

# --- the list ---------------------------------------------------------------
# A mutant starts with "== ID: description". Then "file PATH" names the file
# (relative to the repository), lines starting with "-" give the original text
# and lines starting with "+" its replacement (none: the text is deleted). A
# mutant may have several such hunks, in one file or several; a "-" line after
# "+" lines starts the next hunk. Lines starting with "#" and empty lines are
# ignored. The original text must occur exactly once in its file.

ids=()
descriptions=()
declare -A hunks # "<id>" -> number of hunks; "<id>:<n>:file|old|new"

parse_list()
{
    local line id="" n=0 mode=""
    while IFS= read -r line || [ -n "$line" ]; do
        case "$line" in
        '#'* | '') continue ;;
        '== '*)
            id=${line#== }
            id=${id%%:*}
            ids+=("$id")
            descriptions+=("${line#*: }")
            n=0
            mode=""
            hunks[$id]=0
            ;;
        'file '*)
            [ -n "$id" ] || { echo "mutants: 'file' before the first mutant" >&2; exit 2; }
            hunks[$id:file]=${line#file }
            mode=""
            ;;
        '-'*)
            if [ "$mode" != old ]; then
                n=$((n + 1))
                hunks[$id]=$n
                hunks[$id:$n:file]=${hunks[$id:file]:?mutant $id: no file}
                hunks[$id:$n:old]=${line:1}
                hunks[$id:$n:new]=""
                hunks[$id:$n:newlines]=0
            else
                hunks[$id:$n:old]+=$'\n'${line:1}
            fi
            mode=old
            ;;
        '+'*)
            [ "$mode" = old ] || [ "$mode" = new ] || {
                echo "mutants: '+' without '-' in $id" >&2
                exit 2
            }
            if [ "${hunks[$id:$n:newlines]}" = 0 ]; then
                hunks[$id:$n:new]=${line:1}
            else
                hunks[$id:$n:new]+=$'\n'${line:1}
            fi
            hunks[$id:$n:newlines]=1
            mode=new
            ;;
        *)
            echo "mutants: line not understood: $line" >&2
            exit 2
            ;;
        esac
    done <"$list"
}

parse_list

if [ "${1:-}" = --list ]; then
    for i in "${!ids[@]}"; do
        printf '%-28s %s\n' "${ids[$i]}" "${descriptions[$i]}"
    done
    exit 0
fi

# How often the text occurs in the file.
occurrences()
{
    local content rest
    content=$(cat "$1"; printf x)
    content=${content%x}
    rest=${content//"$2"/}
    echo $(((${#content} - ${#rest}) / ${#2}))
}

if [ "${1:-}" = --check ]; then
    stale=0
    for id in "${ids[@]}"; do
        for ((n = 1; n <= ${hunks[$id]}; n++)); do
            f=${hunks[$id:$n:file]}
            if [ ! -f "$root/$f" ] || [ "$(occurrences "$root/$f" "${hunks[$id:$n:old]}")" -ne 1 ]; then
                echo "stale: $id (edit $n, $f)"
                stale=$((stale + 1))
            fi
        done
    done
    echo "${#ids[@]} mutants, $stale stale edit(s)"
    [ "$stale" -eq 0 ]
    exit
fi

selected=("$@")
if [ ${#selected[@]} -eq 0 ]; then
    selected=("${ids[@]}")
fi
for id in "${selected[@]}"; do
    [ -n "${hunks[$id]+set}" ] || { echo "no mutant '$id' in $list" >&2; exit 2; }
done

description_of()
{
    local i
    for i in "${!ids[@]}"; do
        if [ "${ids[$i]}" = "$1" ]; then
            printf '%s' "${descriptions[$i]}"
            return
        fi
    done
}

# --- the copy and its build -------------------------------------------------

mkdir -p "$src" "$build"
: >"$log"

# Copies every source file whose content differs; a file written gets a new
# time stamp, so the build sees it. A file the tree no longer has (moved or
# deleted since the last run) is removed from the copy, else the build would
# still see it.
sync_sources()
{
    local f
    (cd "$root" && git ls-files -co --exclude-standard -- . ':!build' ':!tests/fuzz/corpus') |
        sort >"$work/sources.txt"
    while IFS= read -r f; do
        [ -f "$root/$f" ] || continue
        if ! cmp -s "$root/$f" "$src/$f"; then
            mkdir -p "$(dirname "$src/$f")"
            cp "$root/$f" "$src/$f"
        fi
    done <"$work/sources.txt"
    (cd "$src" && find . -type f -printf '%P\n' | sort) | comm -23 - "$work/sources.txt" |
        while IFS= read -r f; do
            rm -f "$src/$f"
        done
}

sync_sources
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >>"$log" 2>&1
fi

build_all()
{
    cmake --build "$build" -j "$jobs" >>"$log" 2>&1
}

# The explorer's cases last: they take minutes, and CTest starts the costliest
# tests first, so a fault some quick test catches would wait for them.
run_tests()
{
    (cd "$build" && ctest -j "$jobs" --timeout "$timeout" --stop-on-failure \
        -E "$exclude|$last" >"$work/ctest.out" 2>&1 &&
        ctest -j "$jobs" --timeout "$timeout" --stop-on-failure -E "$exclude" -R "$last" \
            >>"$work/ctest.out" 2>&1)
}

# The first test ctest reports as failed, hung or crashed (not as skipped).
first_failure()
{
    grep -F '***' "$work/ctest.out" | grep -vF '***Skipped' |
        grep -oE 'Test +#[0-9]+: [^ ]+' | head -1 | sed 's/.*: //' || true
}

echo "building the unchanged sources in $build"
if ! build_all || ! run_tests; then
    echo "the unchanged sources do not build or do not pass the tests; see $log and $work/ctest.out" >&2
    exit 1
fi

# --- applying and undoing a mutant -----------------------------------------

declare -A saved # file -> original content, while a mutant is in

restore()
{
    local f
    for f in "${!saved[@]}"; do
        printf '%s' "${saved[$f]}" >"$src/$f"
        unset "saved[$f]"
    done
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

# Puts the mutant's hunks into the copy; fails (with everything restored) when
# an original text is not there exactly once.
apply()
{
    local id=$1 n f old new content last=${hunks[$1]}
    for ((n = 1; n <= last; n++)); do
        f=${hunks[$id:$n:file]}
        old=${hunks[$id:$n:old]}
        new=${hunks[$id:$n:new]}
        [ -f "$src/$f" ] || { restore; return 1; }
        if [ -z "${saved[$f]+set}" ]; then
            saved[$f]=$(cat "$src/$f"; printf x)
            saved[$f]=${saved[$f]%x}
        fi
        if [ "$(occurrences "$src/$f" "$old")" -ne 1 ]; then
            restore
            return 1
        fi
        content=$(cat "$src/$f"; printf x)
        content=${content%x}
        printf '%s' "${content/"$old"/"$new"}" >"$src/$f"
    done
}

# --- the run ----------------------------------------------------------------

: >"$results"
start=$(date +%s)
killed=0
survived=0
not_counted=0
total=${#selected[@]}
index=0
for id in "${selected[@]}"; do
    index=$((index + 1))
    if [ "$time_limit" -gt 0 ] && [ $(($(date +%s) - start)) -ge "$time_limit" ]; then
        echo "time limit reached: $((index - 1)) of $total mutants run" | tee -a "$results"
        break
    fi
    t0=$(date +%s)
    if ! apply "$id"; then
        outcome="stale $id"
        not_counted=$((not_counted + 1))
    elif ! build_all; then
        outcome="build-error $id"
        not_counted=$((not_counted + 1))
    elif run_tests; then
        outcome="SURVIVED $id"
        survived=$((survived + 1))
    else
        outcome="killed $id $(first_failure)"
        killed=$((killed + 1))
    fi
    restore
    echo "$outcome" >>"$results"
    printf '[%d/%d] %-60s %3ds  %s\n' "$index" "$total" "$outcome" $(($(date +%s) - t0)) \
        "$(description_of "$id")"
done
restore

counted=$((killed + survived))
summary="score: $killed of $counted killed"
if [ "$counted" -gt 0 ]; then
    summary+=" ($((100 * killed / counted))%)"
fi
summary+=", $not_counted not counted (stale or not compiling), $(($(date +%s) - start)) s"
echo "$summary" | tee -a "$results"
if [ "$survived" -gt 0 ]; then
    echo "survivors:"
    grep '^SURVIVED' "$results" | while read -r _ id; do
        printf '  %-28s %s\n' "$id" "$(description_of "$id")"
    done
fi
