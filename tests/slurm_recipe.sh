#!/bin/sh
# The README's Slurm recipe, word for word, on a one-node Slurm started here
# from Debian's packages (slurm-wlm, munge) with a key, ports and folders of
# its own: the block between the README's markers is run in a folder that
# holds train.txt, with /shared/run standing for a temporary folder, and the
# merged model must equal one run's (class files, sortidx.dat and the counts
# to the byte, the matrices to the last bits). Skipped (77) where the
# daemons cannot start: no packages, not root, no ports.
#   sh slurm_recipe.sh SENDRAL SOURCE_DIR
set -u
sendral=$1
src=$2
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "slurmd runs as root"
find_prog() { command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; }; }
for p in munged slurmctld slurmd sbatch squeue sinfo scancel; do
  [ -n "$(find_prog $p)" ] || skip "no $p (Debian: slurm-wlm, munge)"
done

# A path without blanks: it goes into slurm.conf and the recipe's lines.
tmp=$(mktemp -d /tmp/slurm_recipe.XXXXXX)
pids=""
stop() {
  [ -n "$pids" ] && { "$(find_prog scancel)" --full --quiet --user=root 2>/dev/null; kill $pids 2>/dev/null; wait; }
  rm -rf "$tmp"
}
trap stop EXIT
trap 'exit 1' INT TERM HUP
. "$src/tests/support/expect.sh"
. "$src/tests/support/pgm.sh"
mkdir -p "$tmp/munge" "$tmp/state" "$tmp/spool" "$tmp/run" "$tmp/user/img" "$tmp/bin"
chmod 755 "$tmp" "$tmp/munge"

# --- A one-node cluster ---------------------------------------------------
head -c 1024 /dev/urandom >"$tmp/munge.key" && chmod 600 "$tmp/munge.key"
sock=$tmp/munge/munge.socket
"$(find_prog munged)" --force --foreground --key-file="$tmp/munge.key" --socket="$sock" \
  --pid-file="$tmp/munge/munged.pid" --log-file="$tmp/munge/munged.log" \
  --seed-file="$tmp/munge/seed" >"$tmp/munged.out" 2>&1 &
pids="$pids $!"
port=$((20000 + $$ % 20000))
cat >"$tmp/slurm.conf" <<EOF
ClusterName=sendraltest
SlurmctldHost=localhost
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$sock
CredType=cred/munge
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
ReturnToService=2
NodeName=localhost CPUs=2 State=UNKNOWN
PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$tmp/slurm.conf"
for i in 1 2 3 4 5 6 7 8 9 10; do [ -S "$sock" ] && break; sleep 0.5; done
[ -S "$sock" ] || { cat "$tmp/munged.out"; skip "munged did not start"; }
"$(find_prog slurmctld)" -D -f "$SLURM_CONF" >"$tmp/slurmctld.out" 2>&1 &
pids="$pids $!"
"$(find_prog slurmd)" -D -N localhost -f "$SLURM_CONF" >"$tmp/slurmd.out" 2>&1 &
pids="$pids $!"
state=""
for i in $(seq 1 60); do
  state=$(sinfo -h -N -o %t 2>/dev/null)
  [ "$state" = idle ] && break
  sleep 0.5
done
[ "$state" = idle ] || { tail -n 5 "$tmp"/slurm*.out; skip "the node did not come up idle (${state:-no answer})"; }

# --- The recipe, in the folder of train.txt --------------------------------
cd "$tmp/user"
for c in 0 1; do
  for i in 0 1 2 3 4 5 6 7 8 9; do pgm "img/c$c-$i.pgm" 64 64 $c $((20 * c + i + 1)); echo "img/c$c-$i.pgm"; done >"class$c.txt"
done
printf 'class0.txt\nclass1.txt\n' >train.txt
ln -s "$sendral" "$tmp/bin/Sendral"
export PATH="$tmp/bin:$PATH"  # the jobs get this environment

# The sbatch file is the block's first paragraph, the steps the rest.
sed -n '/<!-- slurm recipe: begin -->/,/<!-- slurm recipe: end -->/p' "$src/README.md" |
  sed "1d;\$d; s/^    //; s|/shared/run|$tmp/run|g" >recipe.txt
sed '/^$/,$d' recipe.txt >shards.sbatch
sed '1,/^$/d' recipe.txt >steps.sh
expect "the README holds no job array between its markers" grep -q '^#SBATCH --array' shards.sbatch
expect "the README holds no submission between its markers" grep -q 'sbatch' steps.sh
sh -e -x steps.sh >steps.log 2>&1
expect "the recipe's steps failed: $(tail -n 3 steps.log)" [ $? -eq 0 ]

# Every job ends (the merge never does when a part failed: it waits for the
# dependency), within about a minute.
for i in $(seq 1 120); do
  [ -z "$(squeue -h -o '%i %r' | grep -v DependencyNeverSatisfied)" ] && break
  sleep 0.5
done
expect "jobs still queued: $(squeue -h -o '%i %T %r' | tr '\n' ';')" [ -z "$(squeue -h)" ]

"$sendral" -exBfea train.txt 4 "$tmp/single" >single.log 2>&1
expect "the single training failed" [ $? -eq 0 ]
for f in Qor_class_0 Qor_class_1 sortidx.dat/data salientfeaturenum; do
  expect "the merged $f differs from one run's" cmp -s "$tmp/single/$f" "$tmp/run/model/$f"
done
/usr/bin/python3 - "$src/python" "$tmp/single" "$tmp/run/model" >matrices.log 2>&1 <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import sendral.io as sio
for name in ("Allmnt4", "Allalpha", "Allbeta", "classMD", "StandVar", "sortMDs", "sortCosts"):
    a, b = (sio.read_dat(f"{d}/{name}.dat") for d in sys.argv[2:])
    assert a.shape == b.shape, name
    assert np.allclose(a, b, rtol=0, atol=1e-12 * np.abs(a).max()), name
EOF
expect "the merged matrices differ from one run's beyond the last bits: $(tail -n 1 matrices.log)" [ $? -eq 0 ]
if [ "$failures" -ne 0 ]; then
  echo "--- steps"; cat steps.log
  for f in slurm-*.out; do [ -f "$f" ] && { echo "--- $f"; tail -n 5 "$f"; }; done
fi
expect_summary
