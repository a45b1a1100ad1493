#!/usr/bin/env bash
# slurm-check.sh [BUILD_DIR]: the many-sample workflow through the SLURM profile
# on a real single-node SLURM started here (Debian's slurm-wlm with slurmdbd and
# MariaDB for the accounting; packages installed when missing). Checks that every
# job went through SLURM and completed, that the matrices equal those of a local
# run, and that a driver killed outright loses no finished result even when the
# rerun submits a second job for a sample whose first job still runs. Stops the
# daemons it started, by their process ids.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$(cd "${1:-build}" && pwd)
bash scripts/install-deps.sh slurm-wlm slurmdbd munge mariadb-server
cmake --build "$build" --target kestrove kestrove-merge simulate > /dev/null

work=$(mktemp -d /tmp/slurm-check.XXXXXX)
log=/dev/null  # the output of the step at work, shown when it fails
pids=()
stop_daemons() {
  local i
  trap '' INT TERM HUP
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2> /dev/null || true
    for _ in $(seq 50); do kill -0 "${pids[i]}" 2> /dev/null || break; sleep 0.2; done
  done
  rm -rf "$work"
}
trap stop_daemons EXIT
trap 'exit 1' INT TERM HUP
fail() {
  echo "slurm check ($SECONDS s): $*" >&2
  [ -z "${SLURM_CHECK_KEEP:-}" ] || cp -r "$work" "$SLURM_CHECK_KEEP"
  for f in "$log" "$work"/etc/*.log "$work"/etc/*.out; do [ -f "$f" ] && { echo "== $f" >&2; tail -n 25 "$f" >&2; }; done
  exit 1
}
start() {  # start LOG COMMAND...: a daemon in the foreground, its process id kept
  local log=$1; shift
  "$@" > "$etc/$log" 2>&1 &
  pids+=($!)
}
wait_for() {  # wait_for SECONDS WHAT COMMAND...
  local limit=$1 what=$2; shift 2
  for _ in $(seq $((limit * 5))); do "$@" > /dev/null 2>&1 && return 0; sleep 0.2; done
  fail "$what did not come up within $limit s"
}

# Ports free on the loopback for the database, slurmdbd, slurmctld and slurmd.
read -r db_port dbd_port ctld_port d_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(4)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
etc=$work/etc
mkdir -p "$etc" "$work/state" "$work/spool" "$work/db" "$work/munge"
node=$(hostname -s)
# More CPUs than the machine has (the node takes the configuration's word), so
# that a killed run's jobs and their second submission run side by side.
cpus=$(($(nproc) < 8 ? 8 : $(nproc)))
memory=$(($(awk '/MemTotal/ {print $2}' /proc/meminfo) / 1024 * 8 / 10))

# munge: a key of this check's own, on a socket of its own.
dd if=/dev/urandom of="$work/munge/key" bs=1024 count=1 status=none
chmod 755 "$work/munge" && chmod 400 "$work/munge/key"
start munged.out munged -F --force --socket="$work/munge/socket" --key-file="$work/munge/key" \
  --pid-file="$work/munge/pid" --log-file="$etc/munged.log" --seed-file="$work/munge/seed"
wait_for 20 munged test -S "$work/munge/socket"

# MariaDB on the loopback only, with an account for slurmdbd.
mariadb-install-db --datadir="$work/db" --user=root --auth-root-authentication-method=socket \
  --skip-test-db > "$etc/mariadb-install.log" 2>&1 || fail "mariadb-install-db failed"
start mariadbd.out mariadbd --no-defaults --datadir="$work/db" --user=root --socket="$work/db.sock" \
  --bind-address=127.0.0.1 --port="$db_port" --skip-name-resolve --pid-file="$work/db.pid" \
  --log-error="$etc/mariadb.log" --innodb-buffer-pool-size=64M
wait_for 60 MariaDB mariadb --no-defaults --socket="$work/db.sock" -u root -e 'select 1'
password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
mariadb --no-defaults --socket="$work/db.sock" -u root -e "
  CREATE USER 'slurm'@'127.0.0.1' IDENTIFIED BY '$password';
  GRANT ALL ON slurm_acct_db.* TO 'slurm'@'127.0.0.1';"

export SLURM_CONF=$etc/slurm.conf
cat > "$etc/slurmdbd.conf" <<CONF
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
DbdHost=localhost
DbdAddr=127.0.0.1
DbdPort=$dbd_port
SlurmUser=root
LogFile=$etc/slurmdbd.log
PidFile=$work/slurmdbd.pid
StorageType=accounting_storage/mysql
StorageHost=127.0.0.1
StoragePort=$db_port
StorageUser=slurm
StoragePass=$password
StorageLoc=slurm_acct_db
CONF
chmod 600 "$etc/slurmdbd.conf"
cat > "$etc/slurm.conf" <<CONF
ClusterName=kcheck
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$d_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$etc/slurmctld.log
SlurmdLogFile=$etc/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/slurmdbd
AccountingStorageHost=localhost
AccountingStoragePort=$dbd_port
AccountingStoragePass=$work/munge/socket
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MpiDefault=none
ReturnToService=2
SlurmdParameters=config_overrides
MinJobAge=30
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=check Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
start slurmdbd.out slurmdbd -D
wait_for 60 slurmdbd sacctmgr -n list cluster
sacctmgr -i add cluster kcheck > /dev/null
start slurmctld.out slurmctld -D -i
wait_for 60 slurmctld scontrol ping
start slurmd.out slurmd -D -N "$node"
wait_for 60 "the node" sh -c "sinfo -h -N -o %t | grep -qx idle"
echo "slurm check ($SECONDS s): single-node SLURM up ($(sinfo -V))"

# The example experiment locally, for the reference matrices.
exp=$work/exp
bash scripts/simulate-experiment.sh "$build" "$exp" > /dev/null
log=$work/local.log
snakemake -s workflow/Snakefile --cores 2 --configfile "$exp/config.yaml" --directory "$exp" > "$log" 2>&1 ||
  fail "the local run failed"
mv "$exp/results" "$exp/local"
rm -rf "$exp/.snakemake"
same_matrices() {
  local m
  for m in "$exp"/local/merged/*.tsv; do
    cmp -s "$m" "$exp/results/merged/${m##*/}" || fail "$1: ${m##*/} differs from the local run's"
  done
}
complete_samples() {
  local s
  for s in control_1 control_2 treated_1 treated_2; do
    [ -s "$exp/results/$s/transcripts_summary_$s.dat" ] && [ -s "$exp/results/$s/genes_summary_$s.dat" ] &&
      [ -z "$(find "$exp/results/$s" -mindepth 1 -type d)" ] ||
      fail "$1: the result of $s is missing, incomplete or holds another job's folder"
  done
}
# Every job of the run in LOG went through SLURM and completed there.
all_completed() {
  local ids rules states
  ids=$(sed -n "s/^Submitted job .* with external jobid '\([0-9]*\)'.*/\1/p" "$2" | sort -u | paste -sd,)
  rules=$(grep -c '^rule ' "$2" || true)
  [ -n "$ids" ] && [ "$(tr ',' '\n' <<< "$ids" | wc -l)" = "$rules" ] ||
    fail "$1: $rules jobs ran but these went through SLURM: $ids"
  states=$(sacct -n -X -P -j "$ids" -o State | sort | uniq -c | sed 's/^ *//')
  [ "$states" = "$rules COMPLETED" ] || fail "$1: SLURM states of the jobs: $states"
}

# Through the profile as the README documents it (from another folder), at a site
# that passes no environment to its jobs.
export SBATCH_EXPORT=NONE
mkdir "$work/run"
log=$work/slurm.log
(cd "$work/run" && snakemake -s "$repo/workflow/Snakefile" --configfile "$exp/config.yaml" \
  --profile "$repo/workflow/profiles/slurm") > "$log" 2>&1 || fail "the run through SLURM failed"
all_completed "the run through SLURM" "$log"
same_matrices "the run through SLURM"
ls "$exp"/results/slurm-logs/kestrove.quantify.*.out > /dev/null 2>&1 && [ ! -e "$work/run/slurm-logs" ] ||
  fail "the jobs' output is not under the results folder"
echo "slurm check ($SECONDS s): the workflow through SLURM: $(grep -c '^rule ' "$log") jobs completed, matrices as in the local run"

# The driver killed outright while its jobs run; the rerun (after --unlock, its
# leftover jobs not cancelled) submits a second job of each unfinished sample
# while the first still runs. No finished result may be lost. The programs come
# from PATH, with 'bin' empty, and every quantification takes a while.
rm -rf "$exp/results" "$exp/.snakemake"
cp -r workflow "$work/workflow"
mkdir "$work/slow"
printf '#!/bin/sh\nsleep 15\nexec %s/kestrove "$@"\n' "$build" > "$work/slow/kestrove"
chmod +x "$work/slow/kestrove"
ln -s "$build/kestrove-merge" "$work/slow/kestrove-merge"
export PATH=$work/slow:$PATH
cd "$work/run"
driver=(snakemake -s "$work/workflow/Snakefile" --configfile "$exp/config.yaml" --config bin=
        --profile "$repo/workflow/profiles/slurm")
log=$work/killed.log
"${driver[@]}" > "$log" 2>&1 &
first_driver=$!
running_quantify() { [ "$(squeue -h -t RUNNING -o %j | grep -c '^kestrove\.quantify\.')" -ge 2 ]; }
wait_for 60 "running jobs of the first driver" running_quantify
kill -9 "$first_driver"
wait "$first_driver" 2> /dev/null || true
leftover=$(squeue -h -o %i | paste -sd,)
[ -n "$leftover" ] || fail "no job of the killed driver left"
log=$work/locked.log
"${driver[@]}" > "$log" 2>&1 && fail "the run after the killed one did not stop at the lock"
grep -q 'LockException\|Directory cannot be locked' "$log" || fail "no lock error after the killed run"
log=$work/unlock.log
"${driver[@]}" --unlock > "$log" 2>&1 || fail "--unlock failed"
log=$work/rerun.log
"${driver[@]}" > "$log" 2>&1 || fail "the rerun after the killed driver failed"
twice=$(grep -c '^rule quantify:' "$log" || true)
[ "$twice" -gt 0 ] || fail "the rerun quantified no sample again: the case was not exercised"
complete_samples "the rerun"
same_matrices "the rerun"
all_completed "the rerun" "$log"
wait_for 120 "the end of the killed driver's jobs" sh -c '[ -z "$(squeue -h -o %i)" ]'
states=$(sacct -n -X -P -j "$leftover" -o State | sort -u)
[ "$states" = COMPLETED ] || fail "the killed driver's jobs ended as: $states"
complete_samples "after the killed driver's jobs"
same_matrices "after the killed driver's jobs"
[ -z "$(ls -A "$exp/results/.running")" ] || fail "scratch folders left: $(ls "$exp/results/.running")"
echo "slurm check ($SECONDS s): driver killed: $(tr ',' '\n' <<< "$leftover" | wc -l) jobs left, $twice samples submitted again while they ran, all completed, no result lost"
echo "slurm check ($SECONDS s): passed"
