#!/usr/bin/env bash
# Trains Sendral over parts of the class lists with GNU parallel, on this
# machine or on several, then merges the parts into one result directory.
set -eu

me=${0##*/}
usage() {
  cat <<EOF
Usage: $me [options] [Sendral options] training_filelist pyr_depth salientfeaturepath

Runs "Sendral -shard k/n" for k = 0 .. n-1 through GNU parallel, then
"Sendral -merge" of the n shard folders into salientfeaturepath.

  --parts n             number of parts (default: the -j value, else the CPUs here)
  -j jobs               parts run at a time on each machine
  -S login, --sshlogin login, --sshloginfile file, --slf file
                        run the parts on other machines (passed to parallel).
                        Sendral must be installed there, and the lists, the
                        images and the work folder must have the same paths
                        on every machine (a shared folder).
  --work folder         where the shard folders go (default: salientfeaturepath.shards)
  --sendral program     the Sendral program (default: Sendral on the PATH)
  --help                this text

Sendral options (-exBfea, -nodenoise, -h, -w weight_filelist) apply to the merge.
EOF
}
. "$(dirname "$0")/parallel-lib.sh"
abs() { case $1 in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$PWD/$1" ;; esac; }

parts="" jobs="" work="" sendral=Sendral
par=()   # options passed to parallel
opts=()  # Sendral options of the merge
while [ $# -gt 0 ]; do
  case $1 in
    --help) usage; exit 0 ;;
    --parts | -j | -S | --sshlogin | --sshloginfile | --slf | --work | --sendral | -w)
      [ $# -ge 2 ] || { usage >&2; die "option $1 needs a value"; }
      case $1 in
        --parts) parts=$2 ;;
        -j) jobs=$2; par+=(-j "$2") ;;
        --work) work=$2 ;;
        --sendral) sendral=$2 ;;
        -w) opts+=(-w "$(abs "$2")") ;;
        *) par+=("$1" "$2") ;;
      esac
      shift 2 ;;
    -exBfea | -nodenoise | -h) opts+=("$1"); shift ;;
    --) shift; break ;;
    -*) usage >&2; die "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -eq 3 ] || { usage >&2; exit 1; }
list=$(abs "$1") depth=$2 result=$(abs "$3")
case $sendral in */*) sendral=$(abs "$sendral") ;; esac  # the merge runs elsewhere
[ -n "$parts" ] || parts=${jobs:-$(nproc)}
whole "$parts" || die "--parts needs a whole number of at least 1, not \"$parts\""
[ -r "$list" ] || die "cannot read the training list $list"
parallel --version 2>/dev/null | grep -q 'GNU parallel' || die "GNU parallel is not installed"
work=$(abs "${work:-$result.shards}")
mkdir -p "$work"

echo "$me: $parts parts of $list, shard folders in $work"
# One line per part in the joblog; the parts' messages, tagged, in shards.log.
run_parts "$work" "$parts" 0 shard shards.log sendral parts list depth work -- \
  'exec "$sendral" -shard "$1/$parts" "$list" "$depth" "$work/shard-$1"'

check_parts "$work/joblog" "$parts" 0 shard "$work/shards.log"

# The merge runs here, where the training list's names lead where they led
# the parts. A list entry cannot hold white space, so a work folder whose
# path does is named in the shard list through a link of a path without.
named=$work
case $work in
  *[[:space:]]*)
    link=$(mktemp -d /tmp/train-parallel.XXXXXX)
    trap 'rm -rf "$link"' EXIT
    ln -s "$work" "$link/work"
    named=$link/work ;;
esac
for ((k = 0; k < parts; k++)); do printf '%s/shard-%d\n' "$named" "$k"; done >"$work/shards.txt"
"$sendral" ${opts[@]+"${opts[@]}"} -merge "$work/shards.txt" "$list" "$depth" "$result" ||
  die "the merge of the shards in $work failed"
echo "$me: trained model in $result"
