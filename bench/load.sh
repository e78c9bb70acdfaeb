#!/usr/bin/env bash
# Load benchmark: velmo --headless with N simulated devices heartbeating every
# 2 s, 60 s of steady state, then 50 HTTP clients sending /api/cmd to random
# devices for 30 s. Loopback only; everything stops by itself.
#   bench/load.sh [N ...]          (default: 1000 5000 10000)
# Prints one table at the end and writes it to bench/RESULTS.md.
# Tunables (environment): STEADY=60 HTTP_SECONDS=30 HTTP_CLIENTS=50 HEARTBEAT=2
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup plain >/dev/null

counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 5000 10000)
steady=${STEADY:-60}; http_seconds=${HTTP_SECONDS:-30}; http_clients=${HTTP_CLIENTS:-50}; heartbeat=${HEARTBEAT:-2}
work=$(mktemp -d)
trap 'pkill -P $$ 2>/dev/null || true; rm -rf "$work"' EXIT

source bench/velmo_process.sh

rows=()
for n in "${counts[@]}"; do
  kernel_before=$(kernel_kb)
  start_velmo "$n"
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
  rss_per=$(( rss * 1024 / n ))
  rps=$(echo "$http_line" | sed -n 's/.* \([0-9.]*\) requests\/s.*/\1/p')
  p50=$(echo "$http_line" | sed -n 's/.*p50 \([0-9]*\) ms.*/\1/p')
  p99=$(echo "$http_line" | sed -n 's/.*p99 \([0-9]*\) ms.*/\1/p')
  ones=$(echo "$http_line" | sed -n 's/.*answered 1: \([0-9.]*\) %.*/\1/p')
  rows+=("| $n | $connected | $disconnects | $silent | $((rss / 1024)) MB | $((rss_per / 1024)) KB | $((kernel_per / 1024)) KB | $(((rss_per + kernel_per) / 1024)) KB | $cpu % | $nthreads | $rps | $p50 ms | $p99 ms | $ones % |")
  echo "N=$n: $summary" >&2
  echo "N=$n: $http_line" >&2
done

{
  echo "# Load benchmark"
  echo
  echo "\`bench/load.sh\` on $(nproc) cores, $(date -u +%Y-%m-%d): velmo --headless, velmo-devsim heartbeating every ${heartbeat} s,"
  echo "${steady} s of steady state, then ${http_clients} HTTP clients sending /api/cmd to random devices for ${http_seconds} s."
  echo "Memory per device: server resident memory, and the growth of KernelStack + PageTables + Slab"
  echo "(the whole machine, so it includes the simulator's sockets) during the run, each divided by N."
  echo "CPU is the server's, as % of one core over the steady period. \"no reply\" counts devices that"
  echo "never received any frame (every device's first heartbeat is answered with the clock)."
  echo
  echo "| devices | connected | unexpected disconnects | no reply | server RSS | RSS/device | kernel/device | total/device | CPU | threads | /api/cmd req/s | p50 | p99 | answered 1 |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
} >bench/RESULTS.md
cat bench/RESULTS.md
