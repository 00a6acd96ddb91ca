#!/bin/bash
# Renders a small animation through `kovrin farm slurm --submit` on a one-node Slurm cluster
# started on this machine for the run, then checks every frame and every task.
#   tools/farm-test.sh [KOVRIN_BINARY]    (default: build/app/kovrin)
# Needs root (munged and slurmd run as system users and daemons), slurm-wlm and munge.
# FARM_TEST_PORT (default 6817) sets slurmctld's port; slurmd takes the next one.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
kovrin=$(realpath "${1:-$here/build/app/kovrin}" 2>/dev/null || true)
frames=1-12
tasks=4
frame_count=12
start_seconds=$SECONDS

fail() { echo "farm-test: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || { echo "farm-test: needs root to start munged, slurmctld and slurmd" >&2; exit 2; }
[ -x "$kovrin" ] || { echo "farm-test: no kovrin binary at ${1:-$here/build/app/kovrin}" >&2; exit 2; }
for tool in munged slurmctld slurmd sbatch sinfo squeue scontrol; do
    command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin
    command -v "$tool" >/dev/null || { echo "farm-test: $tool not found: install slurm-wlm and munge" >&2; exit 2; }
done

work=$(mktemp -d /tmp/kovrin-farm-test.XXXXXX)
chmod 755 "$work"
started_pids=()
stop_daemons() {
    # Only what this run started, newest first; munged that was running before is left alone.
    for ((i = ${#started_pids[@]} - 1; i >= 0; i--)); do
        kill "${started_pids[i]}" 2>/dev/null
    done
    for pid in "${started_pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null
    done
    [ -n "${KEEP_FARM_TEST:-}" ] || rm -rf "$work"
}
trap stop_daemons EXIT
trap 'exit 130' INT TERM

show_log() { echo "--- last lines of $1:" >&2; tail -n 20 "$1" >&2 2>/dev/null; }

# Munge: a key, then the daemon (as its own user) unless one answers already.
if [ ! -s /etc/munge/munge.key ]; then
    echo "farm-test: making a munge key"
    install -d -o munge -g munge -m 0700 /etc/munge
    dd if=/dev/urandom of=/etc/munge/munge.key bs=1024 count=1 status=none
    chown munge:munge /etc/munge/munge.key
    chmod 0400 /etc/munge/munge.key
fi
if ! munge -n </dev/null 2>/dev/null | unmunge >/dev/null 2>&1; then
    install -d -o munge -g munge -m 0755 /run/munge
    setpriv --reuid=munge --regid=munge --init-groups munged --foreground >"$work/munged.log" 2>&1 &
    started_pids+=($!)
    for _ in $(seq 50); do
        munge -n </dev/null 2>/dev/null | unmunge >/dev/null 2>&1 && break
        sleep 0.2
    done
    munge -n </dev/null 2>/dev/null | unmunge >/dev/null 2>&1 ||
        { show_log "$work/munged.log"; fail "munged did not start"; }
fi

# A one-node cluster whose state, spool and logs live in the work folder.
host=$(hostname -s)
cpus=$(nproc)
memory_mb=$(awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo)
# slurmd drains a node that has less memory than configured; leave the kernel's share out.
memory_mb=$((memory_mb > 2048 ? memory_mb - 1024 : memory_mb / 2))
port=${FARM_TEST_PORT:-6817}
mkdir -p "$work/state" "$work/spool" "$work/out"
export SLURM_CONF=$work/slurm.conf
cat >"$SLURM_CONF" <<CONF
ClusterName=kovrinfarmtest
SlurmctldHost=$host
SlurmUser=root
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
ReturnToService=2
MinJobAge=600
NodeName=$host CPUs=$cpus RealMemory=$memory_mb State=UNKNOWN
PartitionName=farm Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF

slurmctld -D -c -f "$SLURM_CONF" >"$work/slurmctld.out" 2>&1 &
started_pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/slurmd.out" 2>&1 &
started_pids+=($!)

state=""
for _ in $(seq 60); do
    state=$(sinfo -h -n "$host" -o %T 2>/dev/null | head -n 1)
    [ "$state" = idle ] && break
    for pid in "${started_pids[@]}"; do
        kill -0 "$pid" 2>/dev/null || break 2
    done
    sleep 0.5
done
if [ "$state" != idle ]; then
    echo "farm-test: the node did not become idle within 30 s (state: ${state:-none})" >&2
    for log in slurmctld.log slurmctld.out slurmd.log slurmd.out; do show_log "$work/$log"; done
    exit 1
fi
echo "farm-test: Slurm is up on $host ($cpus CPUs, ${memory_mb} MB)"

# A ball crossing the frame in 12 frames, small so that the run stays short.
scene=$here/tools/farm-scene.json
submit_out=$("$kovrin" farm slurm "$scene" --frames "$frames" --tasks "$tasks" --cpus-per-task 1 \
    -o "$work/out/frame_####.png" --submit) || fail "kovrin farm slurm failed"
echo "$submit_out"
job=$(sed -n 's/^submitted job //p' <<<"$submit_out")
[ -n "$job" ] || fail "no job id in kovrin's answer"

# Bounded wait for every task to leave the queue.
for _ in $(seq 600); do
    [ -z "$(squeue -h -r -j "$job" 2>/dev/null)" ] && break
    sleep 0.5
done
[ -z "$(squeue -h -r -j "$job" 2>/dev/null)" ] && done_in_time=1 || done_in_time=0
if [ $done_in_time -eq 0 ]; then
    squeue -r -j "$job" >&2
    scancel "$job" 2>/dev/null
    fail "job $job did not finish within 300 s"
fi

failed=0
states=$(scontrol -o show job "$job" 2>/dev/null)
task_lines=$(grep -c "ArrayTaskId=" <<<"$states")
[ "$task_lines" -eq "$tasks" ] || { echo "farm-test: scontrol shows $task_lines tasks, expected $tasks" >&2; failed=1; }
while read -r line; do
    [ -n "$line" ] || continue
    id=$(grep -o 'ArrayTaskId=[0-9]*' <<<"$line")
    st=$(grep -o 'JobState=[A-Z_]*' <<<"$line")
    code=$(grep -o ' ExitCode=[0-9:]*' <<<"$line")
    if [ "$st" != JobState=COMPLETED ] || [ "$code" != " ExitCode=0:0" ]; then
        echo "farm-test: task ${id#*=}: $st$code" >&2
        failed=1
    fi
done <<<"$states"
for log in "$work"/out/logs/*_"$job"_*.log; do
    [ -f "$log" ] || { echo "farm-test: no task logs in $work/out/logs" >&2; failed=1; break; }
    if [ $failed -ne 0 ]; then show_log "$log"; fi
done

# Each frame: the PNG signature, an IHDR of the scene's size, and image data that inflates to
# exactly the rows the header promises.
checked=0
for ((frame = 1; frame <= frame_count; frame++)); do
    file=$(printf '%s/out/frame_%04d.png' "$work" "$frame")
    if [ ! -f "$file" ]; then
        echo "farm-test: missing $file" >&2
        failed=1
        continue
    fi
    if ! size=$(python3 - "$file" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
if data[:8] != b"\x89PNG\r\n\x1a\n":
    sys.exit("not a PNG signature")
at, idat, header = 8, b"", None
while at + 8 <= len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    body = data[at + 8:at + 8 + length]
    crc = struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0]
    if zlib.crc32(kind + body) != crc:
        sys.exit("bad CRC in " + kind.decode("latin-1"))
    if kind == b"IHDR":
        header = struct.unpack(">IIBBBBB", body)
    elif kind == b"IDAT":
        idat += body
    at += 12 + length
if header is None:
    sys.exit("no IHDR")
width, height, depth, colour = header[:4]
channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
row = 1 + (width * channels * depth + 7) // 8
if len(zlib.decompress(idat)) != row * height:
    sys.exit("image data does not match the header")
print(f"{width}x{height}")
PY
    ); then
        echo "farm-test: $file is not a valid PNG" >&2
        failed=1
        continue
    fi
    checked=$((checked + 1))
done

elapsed=$((SECONDS - start_seconds))
distinct=$(md5sum "$work"/out/frame_*.png 2>/dev/null | cut -d' ' -f1 | sort -u | wc -l)
echo "farm-test: job $job, $tasks tasks, $checked of $frame_count frames valid (${size:-?}," \
    "$distinct distinct), ${elapsed} s"
[ $failed -eq 0 ] && [ $checked -eq $frame_count ] || fail "FAILED (work folder kept with KEEP_FARM_TEST=1)"
echo "farm-test: passed"
