#!/usr/bin/env bash
# Runs Lumivar over parts of a query list with GNU parallel, on this machine
# or on several, all into one output folder.
set -eu

me=${0##*/}
usage() {
  cat <<EOF
Usage: $me [options] [Lumivar options] salientfeaturepath queryclassidx query_filelist outpath

Splits query_filelist into parts and runs one Lumivar per part through GNU
parallel; every part writes into outpath, as one Lumivar run would.

  --parts n             number of parts (default: the -j value, else the CPUs here)
  -j jobs               parts run at a time on each machine
  -S login, --sshlogin login, --sshloginfile file, --slf file
                        run the parts on other machines (passed to parallel).
                        Lumivar must be installed there, and the model, the
                        images and outpath must have the same paths on every
                        machine (a shared folder).
  --lumivar program     the Lumivar program (default: Lumivar on the PATH)
  --help                this text

Every output is named after the image's base name (its last path component
up to its last "."), so two entries with the same base name are refused
before any part starts.
EOF
}
. "$(dirname "$0")/parallel-lib.sh"

parts="" jobs="" lumivar=Lumivar
par=()  # options passed to parallel
while [ $# -gt 0 ]; do
  case $1 in
    --help) usage; exit 0 ;;
    --parts | -j | -S | --sshlogin | --sshloginfile | --slf | --lumivar)
      [ $# -ge 2 ] || { usage >&2; die "option $1 needs a value"; }
      case $1 in
        --parts) parts=$2 ;;
        -j) jobs=$2; par+=(-j "$2") ;;
        --lumivar) lumivar=$2 ;;
        *) par+=("$1" "$2") ;;
      esac
      shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -ge 4 ] || { usage >&2; exit 1; }
args=("$@")  # Lumivar options, then its four arguments
n=${#args[@]}
qlist=${args[n - 2]} out=${args[n - 1]}
[ -n "$parts" ] || parts=${jobs:-$(nproc)}
whole "$parts" || die "--parts needs a whole number of at least 1, not \"$parts\""
[ -r "$qlist" ] || die "cannot read the query list $qlist"
parallel --version 2>/dev/null | grep -q 'GNU parallel' || die "GNU parallel is not installed"

entries=()
while IFS= read -r line || [ -n "$line" ]; do
  read -ra words <<<"$line"
  entries+=(${words[@]+"${words[@]}"})
done <"$qlist"
[ ${#entries[@]} -gt 0 ] || die "the query list $qlist names no image"

# Two images with one base name would overwrite each other's outputs.
declare -A owner
clash=0
for e in "${entries[@]}"; do
  b=${e##*/}
  case $b in *.*) b=${b%.*} ;; esac
  if [ -n "${owner[x$b]+set}" ]; then
    echo "$me: $qlist: ${owner[x$b]} and $e both write outputs named $b" >&2
    clash=1
  else
    owner[x$b]=$e
  fi
done
[ $clash -eq 0 ] || die "no part was started"

[ "$parts" -le ${#entries[@]} ] || parts=${#entries[@]}
mkdir -p "$out"
work=$(mktemp -d "$out/.detect-parallel.XXXXXX")
for ((i = 0; i < ${#entries[@]}; i++)); do
  printf '%s\n' "${entries[i]}" >>"$work/part-$((i % parts + 1)).txt"
done

echo "$me: ${#entries[@]} images of $qlist in $parts parts, outputs in $out"
run_parts "$work" "$parts" 1 part parts.log lumivar args work -- \
  'args[${#args[@]} - 2]=$work/part-$1.txt; exec "$lumivar" "${args[@]}"'

check_parts "$work/joblog" "$parts" 1 part "$work/parts.log" "$work/part-"
rm -rf "$work"
echo "$me: done"
