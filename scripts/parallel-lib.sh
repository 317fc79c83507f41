# Shared by train-parallel.sh and detect-parallel.sh (sourced, bash); the
# caller sets `me` to its own name.

die() { echo "$me: $*" >&2; exit 1; }
whole() { case $1 in '' | *[!0-9]*) return 1 ;; esac; [ "$1" -ge 1 ]; }

# run_parts DIR N FIRST LABEL LOG NAME... -- CODE: runs the bash CODE once
# for every part k = FIRST .. N-1+FIRST through GNU parallel (with the
# options in the array par), with $1 = k, in the folder the script runs in
# and with the script's variables NAME... as they are here. DIR receives
# parallel's job log (joblog) and LOG, the parts' messages tagged "LABEL k/N".
# No path goes through parallel's command line, where its replacement
# strings ({}, {.}, {= perl =}, ...) would be expanded: the code and the
# values travel in the environment (PART_RUN, passed on to other machines
# too), and parallel sees fixed text and the part number.
run_parts() {
  local dir=$1 n=$2 first=$3 label=$4 log=$5 part_wd=$PWD names=()
  shift 5
  while [ "$1" != -- ]; do names+=("$1"); shift; done
  PART_RUN="$(declare -p part_wd "${names[@]}")
cd -- \"\$part_wd\" || exit 1
$2"
  export PART_RUN
  (cd "$dir" && seq "$first" $((n - 1 + first)) |
    parallel --will-cite ${par[@]+"${par[@]}"} --env PART_RUN --joblog joblog \
      --tagstring "$label {}/$n" -q bash -c 'eval "$PART_RUN"' part) >"$dir/$log" 2>&1 || true
}

# check_parts JOBLOG N FIRST LABEL LOG [INPUT_PREFIX]: every one of the N
# parts (numbered from FIRST, tagged "LABEL k/N" in LOG) must have ended
# with status 0; a part that never ran has no line in parallel's job log.
# Otherwise names each failed part (and its input file INPUT_PREFIXk.txt)
# with its error lines, else its last lines, and ends the script.
check_parts() {
  local joblog=$1 n=$2 first=$3 label=$4 log=$5 input=${6:-} failed k why msgs
  failed=$(awk -F'\t' -v n="$n" -v f="$first" 'NR > 1 { st[$1] = $8 != 0 ? "signal " $8 : "status " $7 }
    END { for (i = 1; i <= n; i++) if (st[i] != "status 0") print i - 1 + f, (i in st ? st[i] : "did not run") }' \
    "$joblog" 2>/dev/null) || failed=$(seq "$first" $((n - 1 + first)) | sed 's/$/ did not run/')
  [ -z "$failed" ] && return 0
  while read -r k why; do
    echo "$me: $label $k/$n${input:+ ($input$k.txt)} failed ($why):" >&2
    msgs=$(grep "^$label $k/$n	" "$log" || true)
    { grep -iE "error|cannot|can't|fail" <<<"$msgs" || tail -n 5 <<<"$msgs"; } | tail -n 5 >&2
  done <<<"$failed"
  die "$(wc -l <<<"$failed") of $n parts failed; all their messages are in $log"
}
