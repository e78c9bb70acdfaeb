#!/usr/bin/env bash
# Soak run: velmo --headless with steady simulated devices heartbeating every
# 2 s while bench/soak mixes in connection churn, hostile input on both ports
# and /api/cmd traffic for a bounded time. Loopback only; stops by itself.
#   bench/soak.sh [SECONDS=3600] [STEADY-DEVICES=1000]
# Tunables (environment): CHURN_CLIENTS=20 CHURN_RATE=500 API_CLIENTS=10 HEARTBEAT=2
# Prints the figures and writes them to bench/SOAK.md; exits 1 when a steady
# device was disconnected or the soak lost anything.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup plain >/dev/null

seconds=${1:-3600}; n=${2:-1000}
churn_clients=${CHURN_CLIENTS:-20}; churn_rate=${CHURN_RATE:-500}; api_clients=${API_CLIENTS:-10}
heartbeat=${HEARTBEAT:-2}
work=$(mktemp -d)
trap 'pkill -P $$ 2>/dev/null || true; rm -rf "$work"' EXIT
source bench/velmo_process.sh

start_velmo soak
connect_s=$(( n / 2000 + 5 ))
./build/tools/devsim/velmo-devsim --server "127.0.0.1:$port" --devices "$n" --heartbeat "$heartbeat" \
  --duration "$(( connect_s + seconds + 120 ))" >"$work/devsim.out" 2>&1 &
devsim=$!
wait_connected soak "$n" "$connect_s"
sleep "$heartbeat"  # every device has registered and had its first reply
hz=$(getconf CLK_TCK); cpu0=$(cpu_ticks "$velmo"); t0=$(date +%s.%N)

verdict=0
./build/bench/soak "$velmo" "$port" "$http" "$seconds" "$n" "$churn_clients" "$churn_rate" "$api_clients" \
  | tee "$work/soak.out" || verdict=1
cpu1=$(cpu_ticks "$velmo"); t1=$(date +%s.%N)
cpu=$(awk -v a="$cpu0" -v b="$cpu1" -v t0="$t0" -v t1="$t1" -v hz="$hz" 'BEGIN {printf "%.1f", 100 * (b - a) / hz / (t1 - t0)}')
# The steady devices stay until here; then velmo-devsim is stopped and reports.
kill -INT "$devsim"; wait "$devsim" || true
summary=$(tail -n1 "$work/devsim.out")
disconnects=$(echo "$summary" | sed -n 's/.* \([0-9]*\) disconnected by the server.*/\1/p')
[ "$disconnects" = 0 ] || verdict=1
refusals=$(grep -c "refused a connection" "$work/velmo-soak.log" || true)
kill -TERM "$velmo"; status=0; wait "$velmo" || status=$?
[ "$status" = 0 ] || verdict=1

{
  echo "# Soak run"
  echo
  echo "\`bench/soak.sh $seconds $n\` on $(nproc) cores, $(date -u +%Y-%m-%d): velmo --headless with $n devices"
  echo "heartbeating every ${heartbeat} s (velmo-devsim), while bench/soak runs churn, hostile rounds and /api/cmd traffic."
  echo "The server's descriptors, threads and resident memory, minute by minute:"
  echo
  cat "$work/soak.out"
  echo "- steady devices: $summary"
  echo "- server CPU over the soak: $cpu % of one core; connections refused: $refusals; exit status on SIGTERM: $status"
} >bench/SOAK.md
echo; tail -n 2 bench/SOAK.md
exit "$verdict"
