# Sourced by the benchmark scripts: start a headless velmo on loopback and
# read its figures from /proc. Expects $work (a scratch directory).

# start_velmo NAME: starts velmo ($VELMO, default ./build/app/velmo) on free-looking ports below the ephemeral range
# (32768-60999, which the simulator's connections fill) and waits until both
# services listen. Sets velmo (its PID), port, http and admin (the management
# port). Extra arguments go to velmo. Exits with the logs on failure.
start_velmo() {
  local name=$1; shift
  port=$((21000 + RANDOM % 10000)); http=$((port + 1)); admin=$((port + 2))
  "${VELMO:-./build/app/velmo}" --headless --bind 127.0.0.1 --device-port "$port" --http-port "$http" --admin-port "$admin" \
    --file-dir "$work" "$@" \
    >"$work/velmo-$name.log" 2>"$work/velmo-$name.err" &
  velmo=$!
  for _ in $(seq 50); do grep -q "Tcp Server Start" "$work/velmo-$name.log" 2>/dev/null && break; sleep 0.1; done
  if ! grep -q "Tcp Server Start$" "$work/velmo-$name.log"; then
    echo "velmo did not start on port $port:" >&2; cat "$work/velmo-$name.log" "$work/velmo-$name.err" >&2; exit 1
  fi
  for _ in $(seq 50); do grep -q "http server listenning" "$work/velmo-$name.err" 2>/dev/null && break; sleep 0.1; done
  if ! grep -q "http server listenning" "$work/velmo-$name.err"; then
    echo "the HTTP API did not start on port $http:" >&2; cat "$work/velmo-$name.err" >&2; exit 1
  fi
}

# wait_connected NAME N SECONDS: waits until velmo has logged N device connections.
wait_connected() {
  for _ in $(seq $(($3 * 10))); do
    [ "$(grep -c OnSocketConnect "$work/velmo-$1.log" || true)" -ge "$2" ] && break
    sleep 0.1
  done
}

kernel_kb() { awk '/^(KernelStack|PageTables|Slab):/ {s += $2} END {print s}' /proc/meminfo; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
threads() { awk '/^Threads:/ {print $2}' "/proc/$1/status"; }
