#!/usr/bin/env bash
# The Slurm recipe of docs/batch.md, run for real on this machine: starts a
# one-node Slurm (controller and node daemon on localhost, with munge for
# authentication; every file in a temporary folder), submits the array job
# script of docs/batch.md for simulated studies, waits for it and checks that
# the manifest holds every study complete exactly once. Needs root (the node
# daemon starts jobs as their user) and Debian's slurm-wlm and munge.
set -euo pipefail
skrivo=$(realpath "${1:?usage: slurm.sh PATH-TO-SKRIVO [SHARDS]}")
shards=${2:-4}
for p in slurmctld slurmd munged sbatch; do
  command -v "$p" >/dev/null || { echo "$p is missing (apt-get install slurm-wlm munge)"; exit 1; }
done
work=$(mktemp -d /tmp/skrivo-slurm.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"/{munge,state,spool,logs}
chmod 700 "$work/munge"

# munge: a fresh key and a private socket.
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge/munge.key"
munged --force --foreground --key-file="$work/munge/munge.key" --socket="$work/munge/sock" \
  --pid-file="$work/munge/pid" --log-file="$work/munge/log" --seed-file="$work/munge/seed" &
pids+=($!)
for _ in $(seq 50); do [ -S "$work/munge/sock" ] && break; sleep 0.1; done

port=$((20000 + RANDOM % 20000))
cat > "$work/slurm.conf" <<CONF
ClusterName=skrivo
SlurmctldHost=localhost
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/sock
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/logs/slurmctld.log
SlurmdLogFile=$work/logs/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
SlurmdTimeout=30
NodeName=localhost CPUs=$(nproc) State=UNKNOWN
PartitionName=local Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf
slurmctld -D -i &
pids+=($!)
slurmd -D -N localhost &
pids+=($!)
for _ in $(seq 100); do sinfo -h -o %T 2>/dev/null | grep -qE '^(idle|mixed|allocated)' && break; sleep 0.2; done
sinfo -h -o %T | grep -qE '^(idle|mixed|allocated)' || { echo "the node did not come up"; cat "$work"/logs/*; exit 1; }

# The studies, their list, and the array job script as docs/batch.md has it.
for i in $(seq 1 9); do "$skrivo" --config "$work/config" simulate "$work/studies/study$i" --minutes 0.2 --rate 128 --seed "$i" -q; done
"$skrivo" list "$work/studies" > "$work/studies.txt"
cat > "$work/export.sbatch" <<JOB
#!/bin/bash
#SBATCH --job-name=skrivo-export
#SBATCH --array=0-$((shards - 1))
#SBATCH --cpus-per-task=1
#SBATCH --output=$work/logs/export_%A_%a.out
"$skrivo" --config "$work/config" export --from "$work/studies.txt" --shard slurm \\
  --folder-per-study --skip-existing -j 1 -o "$work/edf" -q
JOB
start=$SECONDS
sbatch --wait "$work/export.sbatch"
echo "array job of $shards tasks done in $((SECONDS - start)) s"
cat "$work"/logs/export_*.out

manifest=$work/edf/manifest.jsonl
complete=$(grep -c '"outcome":"complete"' "$manifest")
repeats=$(grep '"outcome":"complete"' "$manifest" | sed 's/.*"study":"\([^"]*\)".*/\1/' | sort | uniq -d | wc -l)
hosts=$(sed 's/.*"host":"\([^"]*\)".*/\1/' "$manifest" | sort -u | paste -sd ' ')
[ "$complete" -eq 9 ] && [ "$repeats" -eq 0 ] ||
  { echo "expected 9 studies complete once: $complete complete, $repeats repeated"; cat "$manifest"; exit 1; }
"$skrivo" manifest summary "$work/edf"
"$skrivo" manifest verify "$work/edf"
echo "slurm recipe: 9 studies in $shards array tasks (host: $hosts) complete once each"
