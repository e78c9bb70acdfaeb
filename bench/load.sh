#!/usr/bin/env bash
# Load benchmark, everything in one run on loopback (figures from different
# runs compare nothing on a shared machine). It writes bench/RESULTS.md:
#
#  1. velmo --headless with N simulated devices (velmo-devsim) heartbeating
#     every 2 s, STEADY s of steady state, then 50 HTTP clients sending
#     /api/cmd to random devices for HTTP_SECONDS s;
#  2. Velmo and Mosquitto (a peer broker, Debian package mosquitto) under the
#     same load client, PEER_N connections pinging every 2 s: ../shared/perf's
#     loadc in its heartbeat mode against Velmo, in its MQTT mode against
#     Mosquitto (skipped when PERF_DIR does not hold loadc.c and mosquitto.sh);
#  3. the descriptor ceiling: CEILING_N devices with nothing raised but
#     `ulimit -n` (to its hard limit);
#  4. bench/wait_bench: 10 000 /api/cmd waiting at once for 1 000 silent
#     devices while /api/hello is asked every 10 ms.
#
#   bench/load.sh [N ...]          (default: 1000 5000 10000)
#   VELMO=path/to/velmo bench/load.sh ...   measures another velmo binary
# Tunables (environment): STEADY=60 HTTP_SECONDS=30 HTTP_CLIENTS=50 HEARTBEAT=2
#   PEER_N=10000 CEILING_N=19900 PERF_DIR=../shared/perf (relative to the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup plain >/dev/null

counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 5000 10000)
steady=${STEADY:-60}; http_seconds=${HTTP_SECONDS:-30}; http_clients=${HTTP_CLIENTS:-50}; heartbeat=${HEARTBEAT:-2}
peer_n=${PEER_N:-10000}; ceiling_n=${CEILING_N:-19900}
perf_dir=${PERF_DIR:-$(cd .. && pwd)/shared/perf}
ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d)
trap 'pkill -P $$ 2>/dev/null || true; rm -rf "$work"' EXIT

source bench/velmo_process.sh
kb() { echo $(( ($1 + 512) / 1024 )); }  # bytes to KB, rounded

# 1. Velmo under the simulator, with the API.
rows=()
for n in "${counts[@]}"; do
  kernel_before=$(kernel_kb)
  start_velmo "$n"
  rss_idle=$(rss_kb "$velmo")
  connect_s=$(( n / 2000 + 5 ))
  total=$(( connect_s + steady + http_seconds + 10 ))
  ./build/tools/devsim/velmo-devsim --server "127.0.0.1:$port" --devices "$n" --heartbeat "$heartbeat" \
    --duration "$total" >"$work/devsim-$n.out" 2>&1 &
  devsim=$!
  wait_connected "$n" "$n" "$connect_s"
  sleep "$heartbeat"  # every device has registered and had its first reply
  connected=$(grep -c OnSocketConnect "$work/velmo-$n.log" || true)
  hz=$(getconf CLK_TCK)
  cpu0=$(cpu_ticks "$velmo"); t0=$(date +%s.%N)
  sleep "$steady"
  cpu1=$(cpu_ticks "$velmo"); t1=$(date +%s.%N)
  rss=$(rss_kb "$velmo"); nthreads=$(threads "$velmo"); kernel_after=$(kernel_kb)
  cpu=$(awk -v a="$cpu0" -v b="$cpu1" -v t0="$t0" -v t1="$t1" -v hz="$hz" 'BEGIN {printf "%.1f", 100 * (b - a) / hz / (t1 - t0)}')
  http_line=$(./build/bench/http_load "$http" "$http_clients" "$http_seconds" "$n")
  wait "$devsim" || true
  kill -TERM "$velmo"; wait "$velmo" || true
  summary=$(tail -n1 "$work/devsim-$n.out")
  disconnects=$(echo "$summary" | sed -n 's/.* \([0-9]*\) disconnected by the server.*/\1/p')
  silent=$(echo "$summary" | sed -n 's/.* \([0-9]*\) never answered.*/\1/p')
  kernel_per=$(( (kernel_after - kernel_before) * 1024 / n ))
  rss_per=$(( rss * 1024 / n )); growth_per=$(( (rss - rss_idle) * 1024 / n ))
  rps=$(echo "$http_line" | sed -n 's/.* \([0-9.]*\) requests\/s.*/\1/p')
  p50=$(echo "$http_line" | sed -n 's/.*p50 \([0-9]*\) ms.*/\1/p')
  p99=$(echo "$http_line" | sed -n 's/.*p99 \([0-9]*\) ms.*/\1/p')
  ones=$(echo "$http_line" | sed -n 's/.*answered 1: \([0-9.]*\) %.*/\1/p')
  rows+=("| $n | $connected | $disconnects | $silent | $((rss / 1024)) MB | $(kb $growth_per) KB | $(kb $rss_per) KB | $(kb $kernel_per) KB | $(kb $((rss_per + kernel_per))) KB | $cpu % | $nthreads | $rps | $p50 ms | $p99 ms | $ones % |")
  echo "N=$n: $summary" >&2
  echo "N=$n: $http_line" >&2
done

# loadc's report, as one table row: NAME N.
loadc_row() {
  local name=$1 n=$2 out=$3
  awk -v name="$name" -v n="$n" '
    /^mode=/ { for (i = 1; i <= NF; i++) if ($i ~ /^idle_rss_kb=/) { split($i, a, "="); idle = a[2] } }
    /^connect_phase:/ { for (i = 1; i <= NF; i++) if ($i ~ /^ready=/) { split($i, a, "="); ready = a[2] } }
    /^steady:/ { for (i = 1; i <= NF; i++) if ($i ~ /^dropped_during_steady=/) { split($i, a, "="); dropped = a[2] } }
    /^server:/ { for (i = 1; i <= NF; i++) {
                   split($i, a, "=");
                   if (a[1] == "loaded_rss_kb") loaded = a[2];
                   if (a[1] == "cpu") { cpu = a[2]; sub(/%.*/, "", cpu) }
                   if (a[1] == "threads") threads = a[2] } }
    /^client:/ { match($0, /Slab \+[0-9-]+ kB/); slab = substr($0, RSTART + 6, RLENGTH - 9)
                 match($0, /KernelStack \+[0-9-]+ kB/); ks = substr($0, RSTART + 13, RLENGTH - 16)
                 match($0, /PageTables \+[0-9-]+ kB/); pt = substr($0, RSTART + 12, RLENGTH - 15) }
    END {
      k = (slab + ks + pt) / ready; g = (loaded - idle) / ready; t = loaded / ready
      printf "| %s | %d | %d | %d | %.1f MB | %.1f MB | %.1f KB | %.1f KB | %.1f KB | %.1f KB | %.1f KB | %.1f %% | %d |\n",
             name, n, ready, dropped, idle / 1024, loaded / 1024, g, t, k, g + k, t + k, cpu, threads
    }' "$out"
}

# 2. Velmo and Mosquitto under the same client.
peer_rows=()
if [ -f "$perf_dir/loadc.c" ] && [ -f "$perf_dir/mosquitto.sh" ]; then
  cc -O2 -o "$work/loadc" "$perf_dir/loadc.c"
  start_velmo peer
  "$work/loadc" -m hb33 -p "$port" -n "$peer_n" -d "$steady" -i $((heartbeat * 1000)) -s "$velmo" >"$work/loadc-velmo.out"
  kill -TERM "$velmo"; wait "$velmo" || true
  peer_rows+=("$(loadc_row Velmo "$peer_n" "$work/loadc-velmo.out")")
  bash "$perf_dir/mosquitto.sh" "$peer_n" 18830 "$steady" $((heartbeat * 1000)) >"$work/loadc-mosquitto.out" 2>&1
  mosquitto_version=$( (mosquitto -h 2>/dev/null || true) | sed -n 's/^mosquitto version \([0-9.]*\).*/\1/p' | head -n1)
  peer_rows+=("$(loadc_row "Mosquitto ${mosquitto_version}" "$peer_n" "$work/loadc-mosquitto.out")")
else
  echo "load.sh: no $perf_dir/loadc.c and mosquitto.sh: the comparison with Mosquitto is skipped" >&2
fi

# 3. The descriptor ceiling.
start_velmo ceiling
ceiling_s=$(( ceiling_n / 2000 + 10 ))
./build/tools/devsim/velmo-devsim --server "127.0.0.1:$port" --devices "$ceiling_n" --heartbeat "$heartbeat" \
  --duration $((ceiling_s + steady)) >"$work/devsim-ceiling.out" 2>&1 &
devsim=$!
wait_connected ceiling "$ceiling_n" "$ceiling_s"
ceiling_connected=$(grep -c OnSocketConnect "$work/velmo-ceiling.log" || true)
ceiling_threads=$(threads "$velmo"); ceiling_rss=$(rss_kb "$velmo")
wait "$devsim" || true
ceiling_summary=$(tail -n1 "$work/devsim-ceiling.out")
ceiling_dropped=$(echo "$ceiling_summary" | sed -n 's/.* \([0-9]*\) disconnected by the server.*/\1/p')
ceiling_refused=$(grep -c "refused a connection" "$work/velmo-ceiling.log" || true)
kill -TERM "$velmo"; wait "$velmo" || true
echo "ceiling: $ceiling_summary" >&2

# 4. Requests waiting at once.
start_velmo wait
wait_line=$(./build/bench/wait_bench "$port" "$http" 10000 1000 || true)
kill -TERM "$velmo"; wait "$velmo" || true
echo "$wait_line" >&2

{
  echo "# Load benchmark"
  echo
  echo "\`bench/load.sh\` on $(nproc) cores, $(date -u +%Y-%m-%d), everything in one run on loopback."
  echo
  echo "## Velmo with simulated devices"
  echo
  echo "velmo --headless, velmo-devsim heartbeating every ${heartbeat} s, ${steady} s of steady state, then"
  echo "${http_clients} HTTP clients sending /api/cmd to random devices for ${http_seconds} s. Memory per device:"
  echo "the growth of the server's resident memory over its idle figure, the whole resident memory, and"
  echo "the growth of KernelStack + PageTables + Slab (the whole machine, so it includes the simulator's"
  echo "sockets), each divided by N; total = whole resident memory + kernel. CPU is the server's, as % of"
  echo "one core over the steady period. \"no reply\" counts devices that never received any frame (every"
  echo "device's first heartbeat is answered with the clock)."
  echo
  echo "| devices | connected | unexpected disconnects | no reply | server RSS | RSS growth/device | RSS/device | kernel/device | total/device | CPU | threads | /api/cmd req/s | p50 | p99 | answered 1 |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  if ((${#peer_rows[@]})); then
    echo
    echo "## Velmo next to Mosquitto"
    echo
    echo "The same load client for both (../shared/perf/loadc.c): ${peer_n} connections, one ping every ${heartbeat} s"
    echo "(a -36 heartbeat to Velmo, an MQTT PINGREQ to Mosquitto), ${steady} s of steady state. Kernel memory"
    echo "is the machine's growth, so it includes the client's sockets for both."
    echo
    echo "| server | N | connected | dropped | RSS idle | RSS loaded | RSS growth/conn | RSS/conn | kernel/conn | total/conn (growth) | total/conn (whole RSS) | CPU | threads |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${peer_rows[@]}"
  fi
  echo
  echo "## The descriptor ceiling"
  echo
  echo "${ceiling_n} simulated devices with nothing raised but \`ulimit -n\` ($(ulimit -n)): ${ceiling_connected} connected,"
  echo "${ceiling_dropped} disconnected by the server, ${ceiling_refused} refused; ${ceiling_threads} threads, $((ceiling_rss / 1024)) MB resident."
  echo
  echo "## Requests waiting at once"
  echo
  echo "\`bench/wait_bench\`: 10 000 /api/cmd sent at once, each on its own connection, to 1 000 devices that"
  echo "stay silent, while /api/hello is asked every 10 ms on another connection."
  echo
  echo "    $wait_line"
  # bench/admin_bench.sh's section stays as that script last wrote it.
  if [ -f bench/RESULTS.md ] && grep -q '^## Management port' bench/RESULTS.md; then
    echo
    sed -n '/^## Management port/,$p' bench/RESULTS.md
  fi
} >"$work/RESULTS.md"
mv "$work/RESULTS.md" bench/RESULTS.md
cat bench/RESULTS.md
