# Shared by train-parallel.sh and detect-parallel.sh (sourced, bash); the
# caller sets `me` to its own name.

die() { echo "$me: $*" >&2; exit 1; }
whole() { case $1 in '' | *[!0-9]*) return 1 ;; esac; [ "$1" -ge 1 ]; }

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
