#!/usr/bin/env bash
# Fleet benchmark, everything in one run on loopback (figures from different
# runs compare nothing on a shared machine). It writes the "Fleet of nodes"
# section of bench/RESULTS.md:
#
#  a redis-server of its own (no persistence), NODES velmo --headless nodes
#  sharing their device registry in it, and one velmo-devsim spreading N
#  devices over them round-robin (device i on node i mod NODES), heartbeating
#  every 2 s. Once every device is in the registry under its node:
#  1. IDLE_SECONDS with the heartbeats only: registry commands and round trips
#     per node (their /metrics), Redis's own count of commands, CPU;
#  2. LOAD_SECONDS of bench/cluster_load: /api/cmd to random devices through random
#     nodes (RATE a second), PAIRS pairs of the same /api/cmd sent at the same
#     moment through the holding node and through another one, and as many
#     GET /v1/devices/{sn} through either; the same figures per node again.
#
#   bench/cluster_bench.sh [N=9000]
# Tunables (environment): NODES=3 LOAD_SECONDS=30 IDLE_SECONDS=15 RATE=50 PAIRS=300
#   KEEP=1 keeps the scratch directory (the logs) and says where it is
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup packages >/dev/null
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build --quiet velmo velmo-devsim cluster_load

n=${1:-9000}
nodes=${NODES:-3}; seconds=${LOAD_SECONDS:-30}; idle_s=${IDLE_SECONDS:-15}
rate=${RATE:-50}; pairs=${PAIRS:-300}
ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d)
pids=()
cleanup() {
  pids+=(${velmo:-})  # a node that did not start
  # Last started first: the simulator, the nodes (which clear their entries), Redis.
  for ((k = ${#pids[@]} - 1; k >= 0; k--)); do
    kill -TERM "${pids[$k]}" 2>/dev/null || true
    wait "${pids[$k]}" 2>/dev/null || true
  done
  if [ -n "${KEEP:-}" ]; then echo "logs kept in $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
source bench/velmo_process.sh
hz=$(getconf CLK_TCK)

# Redis, on a port nothing listens on.
for _ in $(seq 20); do
  rport=$((11000 + RANDOM % 9000))
  (exec 3<>"/dev/tcp/127.0.0.1/$rport") 2>/dev/null || break
done
redis-server --port "$rport" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" >"$work/redis.log" 2>&1 &
redis=$!; pids+=("$redis")
rcli() { redis-cli -p "$rport" "$@"; }
for _ in $(seq 50); do [ "$(rcli ping 2>/dev/null)" = PONG ] && break; sleep 0.1; done
if [ "$(rcli ping 2>/dev/null)" != PONG ]; then echo "redis-server did not start on port $rport:" >&2; cat "$work/redis.log" >&2; exit 1; fi

echo "fleet-bench-$$-$RANDOM$RANDOM" >"$work/token"; chmod 600 "$work/token"

# The nodes: n1, n2, ...
ids=(); vpids=(); dports=(); hports=(); aports=()
for i in $(seq "$nodes"); do
  start_velmo "n$i" --cluster "redis://127.0.0.1:$rport" --node-id "n$i" --cluster-token-file "$work/token" \
    --io-threads 1
  pids+=("$velmo"); ids+=("n$i"); vpids+=("$velmo"); dports+=("$port"); hports+=("$http"); aports+=("$admin")
done
join() { local IFS=,; echo "$*"; }
servers=(); for p in "${dports[@]}"; do servers+=("127.0.0.1:$p"); done

connect_s=$(( n / 2000 + 5 ))
./build/tools/devsim/velmo-devsim --server "$(join "${servers[@]}")" --devices "$n" --heartbeat 2 --quiet \
  >"$work/devsim.out" 2>&1 &
devsim=$!; pids+=("$devsim")
for i in "${!ids[@]}"; do
  wait_connected "${ids[$i]}" $(( (n - i + nodes - 1) / nodes )) "$connect_s"
done

# Every device in the registry, under the node it connected to: [present, elsewhere or missing].
registry_check() {
  rcli EVAL "local present, wrong = 0, 0
    for i = 0, tonumber(ARGV[2]) - 1 do
      local v = redis.call('GET', 'velmo:sn:' .. ARGV[1] .. string.format('%0' .. (24 - #ARGV[1]) .. 'd', i))
      if v then present = present + 1 end
      if v ~= 'n' .. (i % tonumber(ARGV[3]) + 1) then wrong = wrong + 1 end
    end
    return {present, wrong}" 0 2023 "$n" "$nodes" | tr '\n' ' '
}
for _ in $(seq 300); do
  read -r present wrong <<<"$(registry_check)"
  [ "$wrong" = 0 ] && break
  sleep 0.1
done
if [ "$wrong" != 0 ]; then
  echo "the registry holds $present of $n devices, $wrong not under their node" >&2
  for i in "${!ids[@]}"; do tail -n 5 "$work/velmo-${ids[$i]}.err" >&2; done
  exit 1
fi
held=(); for i in "${!ids[@]}"; do held+=("$(grep -c OnSocketConnect "$work/velmo-${ids[$i]}.log" || true)"); done
sleep 2  # every device has had its first reply

metric() { curl -s "http://127.0.0.1:$1/metrics" | awk -v m="$2" '$1 == m {printf "%d", $2}'; }
redis_commands() { rcli INFO stats | tr -d '\r' | awk -F: '$1 == "total_commands_processed" {print $2}'; }
# snapshot NAME: every counter now, into NAME_*.
snapshot() {
  local -n cmd=$1_cmd rt=$1_rt cpu=$1_cpu
  cmd=(); rt=(); cpu=()
  for i in "${!ids[@]}"; do
    cmd+=("$(metric "${aports[$i]}" velmo_cluster_registry_commands_total)")
    rt+=("$(metric "${aports[$i]}" velmo_cluster_registry_round_trips_total)")
    cpu+=("$(cpu_ticks "${vpids[$i]}")")
  done
  cpu+=("$(cpu_ticks "$redis")" "$(cpu_ticks "$devsim")")
  printf -v "$1_redis" %s "$(redis_commands)"
  printf -v "$1_t" %s "$(date +%s.%N)"
}
per_s() { awk -v a="$1" -v b="$2" -v t0="$3" -v t1="$4" 'BEGIN {printf "%.1f", (b - a) / (t1 - t0)}'; }
cpu_pct() { awk -v a="$1" -v b="$2" -v t0="$3" -v t1="$4" -v hz="$hz" 'BEGIN {printf "%.1f", 100 * (b - a) / hz / (t1 - t0)}'; }

snapshot s0
sleep "$idle_s"
snapshot s1
load_table=$(./build/bench/cluster_load "$seconds" "$n" "$rate" "$pairs" "$(join "${hports[@]}")" \
  "$(join "${aports[@]}")" 2>"$work/load.err")
snapshot s2
load_line=$(cat "$work/load.err")
rss=(); for i in "${!ids[@]}"; do rss+=("$(rss_kb "${vpids[$i]}")"); done
redis_rss=$(rss_kb "$redis"); devsim_rss=$(rss_kb "$devsim")
vthreads=$(threads "${vpids[0]}")
read -r present_after wrong_after <<<"$(registry_check)"
kill -TERM "$devsim"; wait "$devsim" || true
devsim_summary=$(tail -n1 "$work/devsim.out")

rows=()
for i in "${!ids[@]}"; do
  rows+=("| velmo ${ids[$i]} | ${held[$i]} | $(per_s "${s0_cmd[$i]}" "${s1_cmd[$i]}" "$s0_t" "$s1_t") / $(per_s "${s0_rt[$i]}" "${s1_rt[$i]}" "$s0_t" "$s1_t") | $(per_s "${s1_cmd[$i]}" "${s2_cmd[$i]}" "$s1_t" "$s2_t") / $(per_s "${s1_rt[$i]}" "${s2_rt[$i]}" "$s1_t" "$s2_t") | $(cpu_pct "${s0_cpu[$i]}" "${s1_cpu[$i]}" "$s0_t" "$s1_t") % | $(cpu_pct "${s1_cpu[$i]}" "${s2_cpu[$i]}" "$s1_t" "$s2_t") % | $((rss[i] / 1024)) MB |")
done
r=${#ids[@]}; d=$((r + 1))
rows+=("| redis-server | $present_after keys | $(per_s "$s0_redis" "$s1_redis" "$s0_t" "$s1_t") | $(per_s "$s1_redis" "$s2_redis" "$s1_t" "$s2_t") | $(cpu_pct "${s0_cpu[$r]}" "${s1_cpu[$r]}" "$s0_t" "$s1_t") % | $(cpu_pct "${s1_cpu[$r]}" "${s2_cpu[$r]}" "$s1_t" "$s2_t") % | $((redis_rss / 1024)) MB |")
rows+=("| velmo-devsim | $n | - | - | $(cpu_pct "${s0_cpu[$d]}" "${s1_cpu[$d]}" "$s0_t" "$s1_t") % | $(cpu_pct "${s1_cpu[$d]}" "${s2_cpu[$d]}" "$s1_t" "$s2_t") % | $((devsim_rss / 1024)) MB |")
echo "$load_line" >&2
echo "$devsim_summary" >&2
[ "$wrong_after" = 0 ] || echo "after the load, $wrong_after devices were not in the registry under their node" >&2

per_node=$(( (n + nodes - 1) / nodes )); chunks=$(( (per_node + 999) / 1000 ))
expected=$(awk -v c="$chunks" 'BEGIN {printf "%.1f", c / 5 + 4 / 3}')
devsim_note=$(echo "$devsim_summary" | sed -n 's/^velmo-devsim: [0-9]* devices: \([^;]*\);.*, \([0-9]* never answered\)$/\1, \2/p')
section=$(cat <<MD
## Fleet of nodes

\`bench/cluster_bench.sh $n\` on $(nproc) cores, $(date -u +%F), one run; redis-server $(redis-server --version | sed -n 's/.*v=\([0-9.]*\).*/\1/p'),
$nodes velmo --headless nodes (\`--cluster redis://127.0.0.1:PORT --node-id nK --cluster-token-file FILE
--io-threads 1\`), one \`velmo-devsim --server A,B,C --devices $n --heartbeat 2 --quiet\` (device i on node
i mod $nodes); the load generator, Redis and the simulator share the two cores with the nodes. Measured once
every device was in the registry under its node: $idle_s s of heartbeats only, then $seconds s of
\`bench/cluster_load\`, all at once: /api/cmd to random devices through random nodes ($rate a second, on
a fixed schedule, kept-alive connections), $pairs pairs of the same /api/cmd sent at the same moment
through the holding node and through another node, and $pairs GET /v1/devices/{sn} through either.

$load_table

The two halves of a pair wait for the same heartbeat, so their difference is what the other node's
hop adds after the device took the text: the holder's answer to the forwarding node and that node's
own answer. The way there (a registry look-up, then the request to the holder's management port) is
hidden in the wait unless the heartbeat comes in between, which is what the pairs left out are.
GET /v1/devices/{sn} answers at once, so its difference is the whole hop: look-up and both ways.
A look-up that comes while its node's registry thread is in a refresh round trip waits for it (a
refresh call for 1000 SNs takes about 1.2 ms in Redis, unloaded), one reason for the longer tail
through another node on a machine this busy.

| process | devices | registry commands / round trips per s, heartbeats only | the same, under load | CPU, heartbeats only | CPU, under load | RSS |
|---|---|---|---|---|---|---|
$(printf '%s\n' "${rows[@]}")

$n devices heartbeat $(( n / 2 )) times a second, yet a node's registry traffic does not follow the
heartbeats: a device costs one SET when it registers (and one call when it leaves), and the refresh
that keeps the entries alive is batched, one Lua call per 1000 SNs every 5 s ($chunks for the $per_node
devices of a node), next to the node's own record every 3 s (SET, SADD, SMEMBERS, then an MGET of the
nodes' records): about $expected commands a second per node, whatever the heartbeat. Under load each
request for a device held elsewhere adds one GET on the node that got it (pipelined with whatever else
is queued). Redis's own count (INFO total_commands_processed, which counts the INFO reading too) also
counts the GET and PEXPIRE each refresh script runs per SN: about 2 × $n / 5 a second on top of the
nodes' own counts (a window holds a whole number of each node's refreshes, hence its ups and downs).
CPU as % of one core; velmo had $vthreads threads. velmo-devsim (load, not Velmo) sends a heartbeat every
$(awk -v n="$n" 'BEGIN {printf "%.2f", 2000 / n}') ms. At the end it had: $devsim_note.
MD
)
{
  # The other sections stay as their scripts last wrote them.
  if [ -f bench/RESULTS.md ]; then
    awk '/^## / {skip = ($0 == "## Fleet of nodes")} !skip' bench/RESULTS.md | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
    echo
  fi
  echo "$section"
} >"$work/RESULTS.md"
mv "$work/RESULTS.md" bench/RESULTS.md
echo "$section"
