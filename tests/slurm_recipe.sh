#!/bin/bash
# Runs the README's recipes for many machines and compares what they leave with one whole run: the
# Slurm recipe (the blocks marked shard.sbatch, merge.sbatch and submit) on a one-node Slurm that this
# script starts in a temporary directory (munged, slurmctld and slurmd, as root), and the GNU parallel
# recipe where parallel is installed. Without Slurm, or with --by-hand, the Slurm task bodies run with
# the array variables set by hand, then the merge body.
#
# Usage: tests/slurm_recipe.sh [--by-hand] [DIR with sgmatch and sgmatch-merge, default build]
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
by_hand=0
if [ "${1:-}" = "--by-hand" ]; then
  by_hand=1
  shift
fi
bin_dir=$(cd "${1:-$source_dir/build}" && pwd)
for tool in sgmatch sgmatch-merge; do
  [ -x "$bin_dir/$tool" ] || { echo "slurm_recipe: no $bin_dir/$tool; build first" >&2; exit 2; }
done
export PATH="$bin_dir:$PATH"

work=$(mktemp -d "${TMPDIR:-/tmp}/sgmatch-recipe-XXXXXX")
started_pids=()
cleanup() {
  # Only the daemons this script started, by their process ids.
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started_pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The code block after the README line "<!-- recipe: NAME -->".
recipe() {
  awk -v marker="<!-- recipe: $1 -->" '
    $0 == marker { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$source_dir/README.md"
}

# Inputs: the example data graph and its queries three times over, plus a refused query, so that
# every shard has queries, messages and records.
make_inputs() {
  mkdir -p "$1"
  cp "$source_dir/examples/data" "$1/data"
  cat "$source_dir/examples/query" "$source_dir/examples/query" "$source_dir/examples/query" > "$1/query"
  printf 't # refused\nv 0 1\nv 1 1\ne 0 7\n' >> "$1/query"
}

# One whole run beside the shards, with the same relative paths, so that messages name files alike.
whole_run() {
  mkdir -p "$1/whole" "$1/stats-whole"
  (cd "$1/whole" && sgmatch data=../data query=../query stats=../stats-whole > report)
}

mask() { sed -E 's/Time\/ms: [^ ]+/Time\/ms: T/; s/^Average time per query: .*s\. Done!$/Average time per query: Ts. Done!/' "$1"; }

compare() {
  local dir=$1 what=$2
  diff <(mask "$dir/whole/report") <(mask "$dir/report") || { echo "FAIL: $what: the merged report differs" >&2; exit 1; }
  cmp "$dir/whole/subgraphs" "$dir/subgraphs" || { echo "FAIL: $what: the merged subgraph file differs" >&2; exit 1; }
  diff -r "$dir/stats-whole" "$dir/stats" || { echo "FAIL: $what: the statistics files differ" >&2; exit 1; }
  echo "ok: $what: $(grep -c '#nodes' "$dir/report") queries in $(ls -d "$dir"/shard-*/ | wc -l) shards merged equal the whole run"
}

# Starts munged, slurmctld and slurmd for one node named localhost with 2 CPUs; false when it
# cannot (the logs are printed).
start_slurm() {
  local dir=$work/slurm port=$((20000 + $$ % 20000))
  mkdir -p "$dir/state" "$dir/spool"
  chmod 755 "$work" "$dir"
  head -c 1024 /dev/urandom > "$dir/munge.key"
  chmod 600 "$dir/munge.key"
  munged --force --socket="$dir/munge.socket" --key-file="$dir/munge.key" --pid-file="$dir/munged.pid" \
    --log-file="$dir/munged.log" --seed-file="$dir/munged.seed" || { cat "$dir/munged.log" >&2; return 1; }
  started_pids+=("$(cat "$dir/munged.pid")")
  cat > "$dir/slurm.conf" <<EOF
ClusterName=sgmatchrecipe
SlurmctldHost=$(hostname)(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
NodeName=localhost NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=debug Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
  export SLURM_CONF=$dir/slurm.conf
  slurmctld -c || { cat "$dir/slurmctld.log" >&2; return 1; }
  for _ in $(seq 50); do [ -s "$dir/slurmctld.pid" ] && break; sleep 0.2; done
  started_pids+=("$(cat "$dir/slurmctld.pid")")
  slurmd -N localhost || { cat "$dir/slurmd.log" >&2; return 1; }
  for _ in $(seq 50); do [ -s "$dir/slurmd.pid" ] && break; sleep 0.2; done
  started_pids+=("$(cat "$dir/slurmd.pid")")
  for _ in $(seq 60); do
    if sinfo -h -o %t 2>/dev/null | grep -qx idle; then return 0; fi
    sleep 0.5
  done
  echo "slurm_recipe: the node did not come up" >&2
  sinfo >&2 || true
  tail -20 "$dir/slurmctld.log" "$dir/slurmd.log" >&2
  return 1
}

run_dir=$work/slurm-recipe
make_inputs "$run_dir"
whole_run "$run_dir"
recipe shard.sbatch > "$run_dir/shard.sbatch"
recipe merge.sbatch > "$run_dir/merge.sbatch"
recipe submit > "$run_dir/submit.sh"
[ -s "$run_dir/shard.sbatch" ] && [ -s "$run_dir/merge.sbatch" ] && [ -s "$run_dir/submit.sh" ] ||
  { echo "FAIL: the README lacks a Slurm recipe block" >&2; exit 1; }

if [ "$by_hand" = 0 ] && [ "$(id -u)" = 0 ] && command -v sbatch > /dev/null && command -v slurmctld > /dev/null &&
   command -v slurmd > /dev/null && command -v munged > /dev/null && start_slurm; then
  (cd "$run_dir" && bash submit.sh)
  # The merge job is the last to end; the array's tasks and the merge leave their logs.
  for _ in $(seq 240); do
    [ -z "$(squeue -h -o %i)" ] && break
    sleep 0.5
  done
  [ -z "$(squeue -h -o %i)" ] || { squeue >&2; echo "FAIL: the jobs did not end" >&2; exit 1; }
  [ -s "$run_dir/report" ] || { cat "$run_dir"/slurm-*.log >&2; echo "FAIL: the merge job left no report" >&2; exit 1; }
  compare "$run_dir" "Slurm job array ($(ls "$run_dir"/slurm-shard-*.log | wc -l) tasks) and dependent merge job"

  # A task that fails (its report cannot be written: a directory stands in its place) must leave the
  # merge job cancelled, never run on an incomplete set.
  failed_dir=$work/slurm-failed
  make_inputs "$failed_dir"
  cp "$run_dir/shard.sbatch" "$run_dir/merge.sbatch" "$run_dir/submit.sh" "$failed_dir/"
  mkdir -p "$failed_dir/shard-2/report"
  (cd "$failed_dir" && bash submit.sh)
  for _ in $(seq 240); do
    [ -z "$(squeue -h -o %i)" ] && break
    sleep 0.5
  done
  [ -z "$(squeue -h -o %i)" ] || { squeue >&2; echo "FAIL: the jobs of the failing array did not end" >&2; exit 1; }
  [ ! -e "$failed_dir/report" ] && [ ! -e "$failed_dir/slurm-merge.log" ] ||
    { echo "FAIL: the merge job ran although a task failed" >&2; exit 1; }
  echo "ok: Slurm job array with a failing task: the dependent merge job was cancelled"

  # sgmatch-mpi started by srun as the README shows, two tasks, against the same whole run.
  if [ -x "$bin_dir/sgmatch-mpi" ]; then
    mpi_dir=$work/slurm-mpi
    make_inputs "$mpi_dir"
    whole_run "$mpi_dir"
    mkdir -p "$mpi_dir/mpi" "$mpi_dir/stats"
    (cd "$mpi_dir/mpi" && OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_btl=self,vader \
      srun --mpi=pmix --ntasks=2 sgmatch-mpi data=../data query=../query stats=../stats > report) ||
      { echo "FAIL: srun sgmatch-mpi failed" >&2; exit 1; }
    diff <(mask "$mpi_dir/whole/report") <(mask "$mpi_dir/mpi/report") || { echo "FAIL: srun sgmatch-mpi: the report differs" >&2; exit 1; }
    cmp "$mpi_dir/whole/subgraphs" "$mpi_dir/mpi/subgraphs" || { echo "FAIL: srun sgmatch-mpi: the subgraph file differs" >&2; exit 1; }
    diff -r "$mpi_dir/stats-whole" "$mpi_dir/stats" || { echo "FAIL: srun sgmatch-mpi: the statistics files differ" >&2; exit 1; }
    echo "ok: srun --mpi=pmix --ntasks=2 sgmatch-mpi equals the whole run"
  fi
else
  [ "$by_hand" = 1 ] || echo "slurm_recipe: no Slurm to start here (needs root, sbatch, slurmctld, slurmd, munged); running the task bodies by hand"
  # The array's size as the script's #SBATCH --array line gives it.
  count=$(sed -nE 's/^#SBATCH --array=0-([0-9]+).*/\1/p' "$run_dir/shard.sbatch")
  count=$((count + 1))
  mkdir -p "$run_dir/stats"
  for task in $(seq 0 $((count - 1))); do
    (cd "$run_dir" && SLURM_ARRAY_TASK_ID=$task SLURM_ARRAY_TASK_COUNT=$count bash shard.sbatch)
  done
  (cd "$run_dir" && bash merge.sbatch)
  compare "$run_dir" "Slurm task bodies run by hand ($count tasks) and the merge body"
fi

if command -v parallel > /dev/null; then
  parallel_dir=$work/parallel-recipe
  make_inputs "$parallel_dir"
  whole_run "$parallel_dir"
  recipe parallel > "$parallel_dir/recipe.sh"
  (cd "$parallel_dir" && bash recipe.sh 2> parallel.log) || { cat "$parallel_dir/parallel.log" >&2; exit 1; }
  compare "$parallel_dir" "GNU parallel"
else
  echo "slurm_recipe: GNU parallel is not installed; its recipe is not run"
fi
