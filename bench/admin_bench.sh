#!/usr/bin/env bash
# Management-port benchmark, everything in one run on loopback (figures from
# different runs compare nothing on a shared machine). It writes the
# "Management port" section of bench/RESULTS.md:
#
#  1. velmo --headless with N simulated devices (velmo-devsim) heartbeating
#     every 2 s, and bench/admin_load: churn of CHURN_RATE connects and
#     disconnects a second, /v1/devices?limit=100 and /metrics timed, /api/cmd
#     timed; first without event subscribers, then with SUBSCRIBERS of them;
#  2. the console in headless Chromium against the same velmo: the time from
#     asking for the page until the device list shows its first page, RUNS times.
#
#   bench/admin_bench.sh [N=10000]
# Tunables (environment): SECONDS_PER_PHASE=30 SUBSCRIBERS=50 CHURN_RATE=500 RUNS=5
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRA_PACKAGES="chromium chromium-driver python3-selenium" ./scripts/setup plain >/dev/null

n=${1:-10000}
phase_s=${SECONDS_PER_PHASE:-30}; subscribers=${SUBSCRIBERS:-50}; churn=${CHURN_RATE:-500}; runs=${RUNS:-5}
ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d)
trap 'pkill -P $$ 2>/dev/null || true; rm -rf "$work"' EXIT
source bench/velmo_process.sh

start_velmo admin
connect_s=$(( n / 2000 + 5 ))
total=$(( connect_s + 2 * phase_s + 60 ))
./build/tools/devsim/velmo-devsim --server "127.0.0.1:$port" --devices "$n" --heartbeat 2 --quiet \
  --duration "$total" >"$work/devsim.out" 2>&1 &
wait_connected admin "$n" "$connect_s"
sleep 2  # every device has registered
table=$(./build/bench/admin_load "$velmo" "$port" "$http" "$admin" "$phase_s" "$n" "$subscribers" "$churn")
render=$(/usr/bin/python3 bench/console_render.py "http://127.0.0.1:$admin/" "$runs")
threads_now=$(threads "$velmo")
kill -TERM "$velmo"; wait "$velmo" || true

section=$(cat <<MD
## Management port

\`bench/admin_bench.sh $n\` on $(nproc) cores, $(date +%F), one run: velmo --headless with $n simulated
devices heartbeating every 2 s and $churn connects and disconnects a second (each a fresh SN that
registers and leaves), $phase_s s per phase. Latencies on keep-alive connections; /v1/devices and
/metrics asked 20 times a second each; "/api/cmd online" waits for the device's next heartbeat (up to
2 s) by design, "/api/cmd offline SN" is the API's own path. CPU is velmo's, as % of one core. velmo
had $threads_now threads.

$table

The console in headless Chromium, against the same velmo: from asking for the page to the device
list showing its first 100 devices (of $n and more), $runs loads: $render.
MD
)
{
  # Every other section stays; this one goes to the end.
  if [ -f bench/RESULTS.md ]; then
    awk '/^## / {skip = ($0 == "## Management port")} !skip' bench/RESULTS.md | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
    echo
  fi
  echo "$section"
} >"$work/RESULTS.md"
mv "$work/RESULTS.md" bench/RESULTS.md
echo "$section"
