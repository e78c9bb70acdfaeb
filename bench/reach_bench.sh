#!/usr/bin/env bash
# Reaching a device as the fleet grows, and what one flooding connection does
# to everyone else. Every measurement runs for each velmo binary in turn, in
# ONE run of this script (figures from different runs compare nothing on a
# shared machine), on loopback:
#
#  a. velmo --headless with SMALL and with LARGE simulated devices (velmo-devsim,
#     its own process, heartbeating every 2 s): /api/cmd for an SN that is not
#     connected (answered { "device_online_status": 0 } at once) and a -46 relay
#     to such an SN on the device port (answered -470000000002), COUNT of each
#     after WARMUP, sequential, on kept-alive connections, each in turn with an
#     /api/hello (no device look-up: the yardstick); p50, p99 and the ratios
#     LARGE/SMALL; velmo's RSS, threads and idle CPU at each size. ROUNDS
#     rounds, the binaries' order turned round every round; the medians.
#  b. with FLOOD_DEVICES simulated devices: one connection sends -88 (or -46 to
#     an unknown SN) as fast as the socket takes them for FLOOD_SECONDS, reading
#     and discarding the answers or never reading them. Meanwhile: registered
#     devices' -88 -> -89 round trip, /api/cmd for an SN that is not connected;
#     velmo's CPU idle before, during, and over the 1 s that starts 1 s after the
#     flood stops; the simulated devices that velmo disconnected.
#
# A fresh velmo (and simulator) for every measurement; the binaries take turns
# measurement by measurement. The load client is bench/reach_load.cpp, built
# here with the system compiler (plain sockets only, no Velmo code).
#
#   VELMO_BEFORE=path/to/velmo VELMO_AFTER=path/to/velmo bench/reach_bench.sh
#   bench/reach_bench.sh                       (./build/app/velmo alone)
# Tunables (environment): VELMO_DEVSIM (default: next to the first binary, else
#   ./build/tools/devsim/velmo-devsim) SMALL=100 LARGE=19900 COUNT=2000 WARMUP=200 ROUNDS=3
#   FLOOD_DEVICES=10000 FLOOD_SECONDS=10 FLOODS="list:read list:noread relay:read relay:noread"
#   REACH_LOAD (a prebuilt bench/reach_load) KEEP_WORK=1 (keep the logs)
#   NO_RESULTS=1 (print the section, leave bench/RESULTS.md alone)
# Writes the section "## Reaching a device as the fleet grows" of bench/RESULTS.md.
set -euo pipefail
cd "$(dirname "$0")/.."
command_line="$(for v in VELMO_BEFORE VELMO_AFTER SMALL LARGE COUNT WARMUP ROUNDS FLOOD_DEVICES FLOOD_SECONDS FLOODS; do
  if [ -n "${!v:-}" ]; then printf "%s=%q " "$v" "${!v}"; fi; done)bench/reach_bench.sh"

# ---- the binaries ----
labels=(); bins=()
if [ -n "${VELMO_BEFORE:-}" ]; then
  labels+=(before after); bins+=("$VELMO_BEFORE" "${VELMO_AFTER:-./build/app/velmo}")
else
  labels+=(velmo); bins+=("${VELMO_AFTER:-./build/app/velmo}")
fi
for b in "${bins[@]}"; do
  [ -x "$b" ] || { echo "reach_bench: no velmo binary at $b" >&2; exit 1; }
done
devsim=${VELMO_DEVSIM:-}
if [ -z "$devsim" ]; then
  for b in "${bins[@]}" ./build/app/velmo; do
    c="$(dirname "$b")/../tools/devsim/velmo-devsim"
    if [ -x "$c" ]; then devsim=$c; break; fi
  done
fi
[ -n "$devsim" ] && [ -x "$devsim" ] || { echo "reach_bench: no velmo-devsim (set VELMO_DEVSIM)" >&2; exit 1; }
devsim=$(realpath "$devsim")

small=${SMALL:-100}; large=${LARGE:-19900}; count=${COUNT:-2000}; warmup=${WARMUP:-200}; rounds=${ROUNDS:-3}
flood_n=${FLOOD_DEVICES:-10000}; flood_s=${FLOOD_SECONDS:-10}
read -r -a floods <<<"${FLOODS:-list:read list:noread relay:read relay:noread}"

ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d /tmp/reach-bench.XXXXXX)
velmo_pid=""; devsim_pid=""; load_pid=""

# Every child this script started, by its PID, on any exit.
cleanup() {
  local p
  for p in $load_pid $devsim_pid $velmo_pid; do kill -TERM "$p" 2>/dev/null || true; done
  for p in $load_pid $devsim_pid $velmo_pid; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
  done
  if [ -n "${KEEP_WORK:-}" ]; then echo "reach_bench: logs kept in $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

source bench/velmo_process.sh  # cpu_ticks, rss_kb, threads

# ---- the load client ----
if [ -n "${REACH_LOAD:-}" ]; then
  reach_load=$REACH_LOAD
else
  reach_load=$work/reach_load
  c++ -O2 -std=c++20 -Wall -pthread -I. bench/reach_load.cpp -o "$reach_load"
fi

listening() { [ -n "$(ss -Hltn "( sport = :$1 )" 2>/dev/null)" ]; }
established() { ss -Htn state established "( sport = :$1 )" 2>/dev/null | wc -l; }

# start_velmo BINARY NAME: a headless velmo on free ports below the ephemeral
# range; waits until its device and HTTP ports listen. Sets velmo_pid, port,
# http, admin. Exits with its logs when it does not come up.
start_velmo() {
  local bin=$1 name=$2
  for _ in $(seq 20); do
    port=$((21000 + RANDOM % 10000)); http=$((port + 1)); admin=$((port + 2))
    listening "$port" || listening "$http" || listening "$admin" || break
  done
  log=$work/velmo-$name.log; err=$work/velmo-$name.err
  "$bin" --headless --bind 127.0.0.1 --device-port "$port" --http-port "$http" --admin-port "$admin" \
    --file-dir "$work" >"$log" 2>"$err" &
  velmo_pid=$!
  for _ in $(seq 100); do
    if ! kill -0 "$velmo_pid" 2>/dev/null; then break; fi
    listening "$port" && listening "$http" && return 0
    sleep 0.1
  done
  echo "reach_bench: $bin did not come up (device port $port, HTTP port $http):" >&2
  echo "--- standard output:" >&2; tail -n 50 "$log" >&2
  echo "--- standard error:" >&2; tail -n 50 "$err" >&2
  exit 1
}

stop_velmo() {
  kill -TERM "$velmo_pid" 2>/dev/null || true
  for _ in $(seq 200); do kill -0 "$velmo_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$velmo_pid" 2>/dev/null; then
    echo "reach_bench: velmo $velmo_pid did not stop within 20 s of SIGTERM; killed" >&2
    kill -KILL "$velmo_pid" 2>/dev/null || true
  fi
  wait "$velmo_pid" 2>/dev/null || true
  velmo_pid=""
  [ -n "${KEEP_WORK:-}" ] || rm -f "$log" "$err"
}

# devices_now: velmo's own count of registered devices (management port), or "".
devices_now() { curl -s -m 2 "http://127.0.0.1:$admin/v1/stats" 2>/dev/null | sed -n 's/.*"devices":\([0-9]*\).*/\1/p'; }

# start_devsim N NAME: N simulated devices heartbeating every 2 s (one that
# velmo drops connects again a second later: the fleet stays whole, the drops
# are counted); waits until velmo has them all registered (by its own count,
# or else by the connections it holds). Sets devsim_pid and registered
# (velmo's own count, "-" if unknown).
start_devsim() {
  local n=$1 name=$2 limit got
  devsim_out=$work/devsim-$name.out
  "$devsim" --server "127.0.0.1:$port" --devices "$n" --heartbeat 2 --quiet --reconnect --duration 3600 \
    >"$devsim_out" 2>&1 &
  devsim_pid=$!
  limit=$(( (n / 2000 + 30) * 2 ))
  for _ in $(seq "$limit"); do
    got=$(devices_now); [ -n "$got" ] || got=$(established "$port")
    [ "$got" -ge "$n" ] && break
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.5
  done
  if [ "$got" -lt "$n" ]; then
    echo "reach_bench: only $got of $n simulated devices registered:" >&2; tail -n 20 "$devsim_out" >&2; exit 1
  fi
  sleep 2  # every device has had its first answer
  registered=$(devices_now)
  registered=${registered:--}
}

# stop_devsim: ends the simulator; sets dropped (devices velmo disconnected).
stop_devsim() {
  kill -TERM "$devsim_pid" 2>/dev/null || true
  wait "$devsim_pid" 2>/dev/null || true
  devsim_pid=""
  dropped=$(sed -n 's/.* \([0-9]*\) disconnected by the server.*/\1/p' "$devsim_out" | tail -n1)
  dropped=${dropped:-?}
}

# run_load OUTFILE ARGS...: the load client in the background (so that the trap
# can end it), waited for.
run_load() {
  local out=$1; shift
  "$reach_load" "$@" >"$out" 2>"$out.err" &
  load_pid=$!
  if ! wait "$load_pid"; then
    load_pid=""
    echo "reach_bench: reach_load $* failed:" >&2; cat "$out.err" >&2; exit 1
  fi
  load_pid=""
}

# val FILE KEY: the value of KEY=... in FILE.
val() { tr ' ' '\n' <"$1" | sed -n "s/^$2=//p" | head -n1; }

cpu_over() {  # cpu_over SECONDS: velmo's CPU over that long, % of one core
  local hz t0 t1 c0 c1
  hz=$(getconf CLK_TCK); c0=$(cpu_ticks "$velmo_pid"); t0=$(date +%s.%N)
  sleep "$1"
  c1=$(cpu_ticks "$velmo_pid"); t1=$(date +%s.%N)
  awk -v a="$c0" -v b="$c1" -v t0="$t0" -v t1="$t1" -v hz="$hz" 'BEGIN {printf "%.1f", 100 * (b - a) / hz / (t1 - t0)}'
}

started=$(date +%s)
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
if awk '{exit !($1 > 1.0)}' /proc/loadavg; then
  echo "reach_bench: the machine is busy (load average $load_start): the figures will be noisy, and starved" \
       "heartbeats may make velmo drop simulated devices (counted, and connected again)" >&2
fi

# ---- a. the SN that is not connected, small and large fleets ----
# ROUNDS rounds; the binaries' order turns round every round.
for r in $(seq "$rounds"); do
  order=("${!bins[@]}")
  if [ $((r % 2)) -eq 0 ]; then order=(); for ((k = ${#bins[@]} - 1; k >= 0; k--)); do order+=("$k"); done; fi
  for n in "$small" "$large"; do
    for i in "${order[@]}"; do
      l=${labels[$i]}
      echo "reach_bench: round $r, $l, $n devices: /api/cmd and -46 for an SN that is not connected" >&2
      start_velmo "${bins[$i]}" "$l-$n-$r"
      start_devsim "$n" "$l-$n-$r"
      idle=$(cpu_over 2)
      out=$work/latency-$l-$n-$r.txt
      run_load "$out" latency "$port" "$http" "$count" "$warmup" "$velmo_pid"
      echo "idle_cpu=$idle registered=$registered" >>"$out"
      stop_devsim
      echo "dropped=$dropped" >>"$out"
      stop_velmo
      sleep 1
    done
  done
done

# ---- b. one flooding connection ----
for f in "${floods[@]}"; do
  kind=${f%%:*}; reader=${f##*:}
  for i in "${!bins[@]}"; do
    l=${labels[$i]}
    echo "reach_bench: $l, $flood_n devices: $kind flood ($reader) for $flood_s s" >&2
    start_velmo "${bins[$i]}" "$l-$kind-$reader"
    start_devsim "$flood_n" "$l-$kind-$reader"
    log_before=$(stat -c %s "$log")
    out=$work/flood-$l-$kind-$reader.txt
    run_load "$out" flood "$kind" "$reader" "$flood_s" "$port" "$http" "$velmo_pid"
    log_after=$(stat -c %s "$log")
    echo "log_kib=$(( (log_after - log_before) / 1024 )) registered=$registered" >>"$out"
    stop_devsim
    echo "dropped=$dropped" >>"$out"
    stop_velmo
    sleep 1
  done
done

# ---- the section ----
ms() {  # a latency in ms, to a sensible precision; "-" for none
  awk -v v="$1" 'BEGIN { if (v == "" || v < 0) print "-"; else if (v >= 5000) print "≥5000"; else if (v < 1) printf "%.3f", v; else if (v < 100) printf "%.2f", v; else printf "%.0f", v }'
}
wait_cell() {  # the longest wait for a -89, late ones included; never answered by the end
  awk -v w="$(val "$1" list_longest_wait)" -v u="$(val "$1" list_unanswered)" 'BEGIN {
    if (w == "") { print "-"; exit }
    if (w >= 1000) printf "%.1f s", w / 1000; else printf "%.1f ms", w
    if (u > 0) printf " (%d still unanswered at the end)", u }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a <= 0 || b <= 0) print "-"; else printf "%.2f\n", a / b }'; }
mb() { awk -v k="$1" 'BEGIN { if (k == "" || k < 0) print "-"; else printf "%.1f MB", k / 1024 }'; }

# med L N KEY: the median of KEY over the rounds of binary L with N devices;
# sum L N KEY: its sum; rratio L KEY: median of LARGE over median of SMALL,
# with the range of the rounds' own ratios.
med() {
  for f in "$work"/latency-"$1"-"$2"-*.txt; do val "$f" "$3"; done | awk '$1 != "" && $1 >= 0' | sort -g |
    awk '{v[NR] = $1} END { if (NR == 0) print -1; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
sum() { for f in "$work"/latency-"$1"-"$2"-*.txt; do val "$f" "$3"; done | awk '{s += $1} END {print s + 0}'; }
rratio() {
  local main range
  main=$(ratio "$(med "$1" "$large" "$2")" "$(med "$1" "$small" "$2")")
  range=$(for r in $(seq "$rounds"); do
      ratio "$(val "$work/latency-$1-$large-$r.txt" "$2")" "$(val "$work/latency-$1-$small-$r.txt" "$2")"
    done | sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END { if (NR > 1) printf " (%s-%s)", lo, hi }')
  echo "$main$range"
}

table_a="| velmo | devices | registered | dropped | RSS | threads | idle CPU | /api/cmd p50 | p99 | max | not 0 / failed | -46 p50 | p99 | max | not -470000000002 / failed | /api/hello p50 | p99 |
|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for n in "$small" "$large"; do
  for l in "${labels[@]}"; do
    table_a+="
| $l | $n | $(med "$l" "$n" registered) | $(sum "$l" "$n" dropped) | $(mb "$(med "$l" "$n" rss_kb)") | $(med "$l" "$n" threads) | $(med "$l" "$n" idle_cpu) % | $(ms "$(med "$l" "$n" api_p50)") ms | $(ms "$(med "$l" "$n" api_p99)") ms | $(ms "$(med "$l" "$n" api_max)") ms | $(sum "$l" "$n" api_unexpected) / $(sum "$l" "$n" api_failed) | $(ms "$(med "$l" "$n" relay_p50)") ms | $(ms "$(med "$l" "$n" relay_p99)") ms | $(ms "$(med "$l" "$n" relay_max)") ms | $(sum "$l" "$n" relay_unexpected) / $(sum "$l" "$n" relay_failed) | $(ms "$(med "$l" "$n" hello_p50)") ms | $(ms "$(med "$l" "$n" hello_p99)") ms |"
  done
done

table_r="| velmo | /api/cmd p50 | /api/cmd p99 | -46 p50 | -46 p99 | /api/hello p50 | /api/hello p99 | /api/cmd p50 over /api/hello's |
|---|---|---|---|---|---|---|---|"
for l in "${labels[@]}"; do
  over=$(awk -v a="$(ratio "$(med "$l" "$large" api_p50)" "$(med "$l" "$small" api_p50)")" \
             -v h="$(ratio "$(med "$l" "$large" hello_p50)" "$(med "$l" "$small" hello_p50)")" \
             'BEGIN { if (a == "-" || h == "-" || h <= 0) print "-"; else printf "%.2f", a / h }')
  table_r+="
| $l | $(rratio "$l" api_p50) | $(rratio "$l" api_p99) | $(rratio "$l" relay_p50) | $(rratio "$l" relay_p99) | $(rratio "$l" hello_p50) | $(rratio "$l" hello_p99) | $over |"
done

table_b="| flood | reads its answers | velmo | frames sent | answers read | closed by velmo | -88 -> -89 n | p50 | p99 | max | timed out | longest wait for a -89 | least served device's round trips | /api/cmd p50 | p99 | max | not 0 / failed | CPU idle | CPU during | CPU 1-2 s after | RSS before -> after | threads | log written | devices dropped |
|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for f in "${floods[@]}"; do
  kind=${f%%:*}; reader=${f##*:}
  what=$([ "$kind" = list ] && echo "-88" || echo "-46 unknown SN")
  reads=$([ "$reader" = read ] && echo yes || echo no)
  for l in "${labels[@]}"; do
    o=$work/flood-$l-$kind-$reader.txt
    closed=$(val "$o" flood_closed_after)
    closed=$(awk -v c="$closed" 'BEGIN { if (c < 0) print "no"; else printf "after %.1f s", c }')
    answers=$([ "$reader" = read ] && val "$o" flood_answers || echo "-")
    table_b+="
| $what | $reads | $l | $(val "$o" flood_frames) | $answers | $closed | $(val "$o" list_n) | $(ms "$(val "$o" list_p50)") ms | $(ms "$(val "$o" list_p99)") ms | $(ms "$(val "$o" list_max)") ms | $(val "$o" list_failed) | $(wait_cell "$o") | $(val "$o" list_least_n) | $(ms "$(val "$o" api_p50)") ms | $(ms "$(val "$o" api_p99)") ms | $(ms "$(val "$o" api_max)") ms | $(val "$o" api_unexpected) / $(val "$o" api_failed) | $(val "$o" cpu_idle) % | $(val "$o" cpu_flood) % | $(val "$o" cpu_after) % | $(mb "$(val "$o" rss_before_kb)") -> $(mb "$(val "$o" rss_after_kb)") | $(val "$o" threads) | $(mb "$(val "$o" log_kib)") | $(val "$o" dropped) |"
  done
done

binaries=""
for i in "${!bins[@]}"; do binaries+="${labels[$i]}: \`${bins[$i]}\`; "; done
elapsed=$(( $(date +%s) - started ))
section=$(cat <<MD
## Reaching a device as the fleet grows

\`$command_line\`

On $(nproc) cores ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n1)), $(date +%F), one run of $elapsed s; load
average $load_start at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end (the machine is shared). ${binaries}the
simulator: \`$devsim\`. Every measurement had a fresh velmo --headless (\`ulimit -n\` $(ulimit -n)) and its own
velmo-devsim process (devices heartbeating every 2 s); the binaries took turns measurement by measurement.
CPU is velmo's, as % of one core, from /proc/PID/stat.

**An SN that is not connected.** $rounds rounds, the binaries' order turned round every round; every figure
is the median of the rounds', the answers that were not 0 or failed are summed. In each round, $count
sequential /api/cmd on a kept-alive connection (answer \`{ "device_online_status": 0 }\`) and $count
sequential -46 relays on one device-port connection (answer -470000000002), one of each in turn with an
/api/hello (the HTTP path without any device look-up: what the machine and the fleet's heartbeats alone
cost), after $warmup of each. "registered" is velmo's own count (/v1/stats), "dropped" the simulated
devices velmo disconnected (summed; each connected again a second later), idle CPU the 2 s before the
requests.

$table_a

Ratios of the latencies with $large devices to those with $small (the medians'; in brackets, the range of the
rounds' own ratios). /api/hello looks no device up: its ratio is what the larger fleet's heartbeats cost
every request on this machine; the last column divides it out of /api/cmd's.

$table_r

**One flooding connection**, $flood_n simulated devices. For $flood_s s one connection (no SN) sends -88, or -46
to an SN that is not connected, as fast as the socket takes them, reading and discarding the answers or
never reading them; then it stops sending and stays open (still reading, if it read) until the after
window has passed. Meanwhile 4 registered devices of the load client (heartbeating every 2 s) each send
-88 and wait for the -89, one after the other, every 20 ms (each waited for up to 5 s: "timed out",
counted at 5 s in the percentiles; a late -89 is waited for before the next -88), and /api/cmd for an SN
that is not connected is asked every 10 ms on a kept-alive connection (up to 5 s each).

"frames sent" is what the sockets took from the flooding connection (much of it still unread by velmo,
in the buffers, when the flood stops); "answers read" the frames it read back; "-88 -> -89 n" how many
round trips the 4 devices made (timed out included); "longest wait" the longest a device waited for its
-89, a late one included (one still unanswered when the run ended counts up to then, 2 s after the
flood); "least served device" the one of the 4 that made the fewest round trips. CPU idle is the 1 s
before the flood, "during" its $flood_s s, "after" the 1 s that starts 1 s after it stopped sending. "log
written" is velmo's standard output meanwhile; "devices dropped" the simulated devices that velmo
disconnected (each connected again a second later).

$table_b
MD
)

if [ -z "${NO_RESULTS:-}" ]; then
  # The section replaces its old self in place (or goes to the end); every other section stays.
  printf '%s\n' "$section" >"$work/section.md"
  touch bench/RESULTS.md
  awk -v title="## Reaching a device as the fleet grows" -v file="$work/section.md" '
    function emit(  line) { while ((getline line < file) > 0) print line; print ""; done = 1 }
    /^## / { if ($0 == title) { if (!done) emit(); skip = 1; next } skip = 0 }
    !skip { print }
    END { if (!done) { print ""; emit() } }
  ' bench/RESULTS.md | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$work/RESULTS.md"
  cp "$work/RESULTS.md" bench/RESULTS.md
fi
echo "$section"
