#!/usr/bin/env bash
# Velmo nodes behind HAProxy, run with docs/haproxy.cfg itself: only the
# addresses and ports of its example nodes, its device port and its stats
# socket are changed, and the balancer is given its own source address
# (127.0.0.9) so that a node can tell the balancer from the devices (127.0.0.1).
# Devices must spread over the nodes, each node must show every device's own
# address and port, the management-port health checks must pass with the token,
# and when a node dies its devices must come back on the other one.
# Skipped (77) when haproxy is not installed.
set -euo pipefail
velmo=$1
devsim=$2
doc="$(cd "$(dirname "$0")/.." && pwd)/docs/haproxy.cfg"
haproxy=$(PATH="$PATH:/usr/sbin:/sbin" command -v haproxy) || { echo "SKIP: haproxy is not installed"; exit 77; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out "$work"/*.err "$work/haproxy.cfg"; do [ -f "$f" ] && { echo "--- $f"; tail -n 40 "$f"; }; done
  exit 1
}

# poll TENTHS COMMAND...: runs COMMAND every 0.1 s until it succeeds, at most TENTHS times.
poll() {
  local n=$1; shift
  for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

# free_ports N: the first of N consecutive TCP ports on which nothing listens
# (below the ephemeral range, so no connection takes them meanwhile).
free_ports() {
  local base p
  for _ in $(seq 50); do
    base=$((20000 + RANDOM % 12000))
    for ((p = base; p < base + $1; p++)); do
      [ -z "$(ss -Htln "sport = :$p")" ] || continue 2
    done
    echo "$base"; return 0
  done
  return 1
}

token=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
printf '%s\n' "$token" >"$work/token"
chmod 600 "$work/token"

# admin_get PORT PATH: the body of a 200 answer to GET PATH on a management port.
admin_get() {
  local reply
  reply=$(timeout 5 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    printf "GET %s HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer %s\r\nConnection: close\r\n\r\n" "$2" "$3" >&3
    cat <&3' _ "$1" "$2" "$token" 2>/dev/null) || return 1
  [[ $reply == "HTTP/1.1 200 "* ]] || return 1
  printf '%s\n' "${reply#*$'\r\n\r\n'}"
}
# device_count PORT: how many devices the node with that management port lists.
device_count() { admin_get "$1" /v1/devices | sed -n 's/.*"total":\([0-9]*\).*/\1/p'; }
# device_addresses PORT: the address:port of every device the node lists, sorted.
device_addresses() {
  admin_get "$1" "/v1/devices?limit=1000" | sed 's/},{/}\n{/g' \
    | sed -n 's/.*"ip":"\([^"]*\)".*"port":\([0-9]*\).*/\1:\2/p' | sort
}
# accepted NAME...: the addresses of the OnAccept lines of those nodes' logs, sorted.
accepted() {
  local name
  for name in "$@"; do sed -n 's/.* OnAccept-[0-9]* \([0-9.]*:[0-9]*\)$/\1/p' "$work/$name.out"; done | sort
}
# local_ends PORT: the local address:port of every established connection to PORT, sorted.
local_ends() { ss -Htn state established "( dport = :$1 )" | awk '{print $3}' | sort; }

# start_node NAME: a headless Velmo with --proxy-protocol and the token on
# three free ports; sets ${NAME}_dev and ${NAME}_admin.
start_node() {
  local name=$1 base pid
  for _ in 1 2 3 4 5; do
    base=$(free_ports 3) || fail "no free ports"
    mkdir -p "$work/$name-files"
    "$velmo" --headless --proxy-protocol --bind 127.0.0.1 --device-port "$base" --http-port $((base + 1)) \
      --admin-port $((base + 2)) --admin-token-file "$work/token" --file-dir "$work/$name-files" \
      >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!; pids+=("$pid")
    if poll 100 grep -q "Tcp Server Start" "$work/$name.out" && ! grep -q "Start fail" "$work/$name.out" \
       && poll 50 admin_get $((base + 2)) /v1/stats >/dev/null; then
      printf -v "${name}_dev" '%s' "$base"
      printf -v "${name}_admin" '%s' $((base + 2))
      printf -v "${name}_pid" '%s' "$pid"
      return 0
    fi
    kill -9 "$pid" 2>/dev/null || true
  done
  fail "$name did not start"
}
start_node a
start_node b

# The balancer's ports: its device port, its stats socket, and a third node
# that never runs (device and management port).
ports=$(free_ports 4) || fail "no free ports"
front=$ports stats=$((ports + 1)) dead_dev=$((ports + 2)) dead_admin=$((ports + 3))

# The configuration: docs/haproxy.cfg with the example addresses replaced.
# HAProxy needs root for chroot, user and group; without it, they go.
sed -e "s/^\(    bind \):8899\$/\1127.0.0.1:$front/" \
    -e "s#^\(    stats socket \)/run/haproxy/admin\.sock #\1ipv4@127.0.0.1:$stats #" \
    -e "s/^\(    server node1 \)10\.0\.0\.11:8899\(.* port \)8004 /\1127.0.0.1:$a_dev\2$a_admin /" \
    -e "s/^\(    server node2 \)10\.0\.0\.12:8899\(.* port \)8004 /\1127.0.0.1:$b_dev\2$b_admin /" \
    -e "s/^\(    server node3 \)10\.0\.0\.13:8899\(.* port \)8004 /\1127.0.0.1:$dead_dev\2$dead_admin /" \
    -e 's/^backend velmo_nodes$/&\n    source 127.0.0.9/' \
    "$doc" >"$work/haproxy.cfg"
changed=5
if [ "$(id -u)" != 0 ]; then
  sed -i -E '/^    (chroot|user|group) /d' "$work/haproxy.cfg"
  changed=8
fi
# Exactly those lines changed (one added): the tested file is the documented one.
[ "$(diff "$doc" "$work/haproxy.cfg" | grep -c '^<')" = "$changed" ] \
  && [ "$(diff "$doc" "$work/haproxy.cfg" | grep -c '^>')" = 6 ] \
  || fail "docs/haproxy.cfg no longer has the lines this test adapts: $(diff "$doc" "$work/haproxy.cfg")"

# The file's maxconn needs more descriptors than a test machine may allow: -n lowers it.
VELMO_ADMIN_TOKEN=$token "$haproxy" -db -n 1000 -f "$work/haproxy.cfg" >"$work/haproxy.out" 2>&1 &
pids+=("$!")

# server_states: "name status check" for each server, from the stats socket.
server_states() {
  timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1; echo "show stat" >&3; cat <&3' _ "$stats" \
    2>/dev/null | awk -F, '
      /^# / { sub(/^# /, ""); for (i = 1; i <= NF; i++) col[$i] = i; next }
      $1 == "velmo_nodes" && $2 ~ /^node/ { print $2, $col["status"], $col["check_status"] }'
}
states_are() { [ "$(server_states | tr '\n' ';')" = "$1" ]; }
# Both nodes pass the documented check (GET /v1/stats with the token: L7OK);
# the node that does not run is DOWN.
poll 150 states_are "node1 UP L7OK;node2 UP L7OK;node3 DOWN L4CON;" \
  || fail "servers never became node1 and node2 UP, node3 DOWN: $(server_states | tr '\n' ';')"

# 20 devices through the balancer.
"$devsim" --server "127.0.0.1:$front" --devices 20 --heartbeat 0.5 --reconnect --duration 120 \
  >"$work/devsim.out" 2>&1 &
pids+=("$!")
total_is() {
  local na nb
  na=$(device_count "$a_admin") && nb=$(device_count "$b_admin") && [ -n "$na" ] && [ -n "$nb" ] \
    && [ $((na + nb)) = "$1" ]
}
poll 150 total_is 20 || fail "the nodes do not list 20 devices between them"
na=$(device_count "$a_admin") && nb=$(device_count "$b_admin") || fail "device counts"
[ "$na" -ge 5 ] && [ "$nb" -ge 5 ] || fail "devices not spread over the nodes: $na and $nb"

# Every device shows its own address and port: those of devsim's connections to
# the balancer, not the balancer's connections to the nodes (127.0.0.9).
devices=$(local_ends "$front")
[ "$(grep -c . <<<"$devices")" = 20 ] || fail "devsim has not 20 connections to the balancer: $devices"
to_nodes=$(ss -Htn state established "( dport = :$a_dev or dport = :$b_dev )" | awk '{print $3}')
[ "$(grep -c '^127\.0\.0\.9:' <<<"$to_nodes")" = 20 ] || fail "the balancer does not connect from 127.0.0.9: $to_nodes"
listed=$( (device_addresses "$a_admin" && device_addresses "$b_admin") | sort) || fail "device lists"
[ "$listed" = "$devices" ] || fail "listed devices $(echo $listed) are not devsim's $(echo $devices)"
[ "$(accepted a b)" = "$devices" ] || fail "OnAccept lines $(accepted a b | tr '\n' ' ') are not devsim's $(echo $devices)"

# Node b dies: its devices reconnect through the balancer and all end up on
# node a; the health check marks node b DOWN.
{ kill -9 "$b_pid" && wait "$b_pid"; } 2>/dev/null || true  # (no "Killed" notice)
poll 200 states_are "node1 UP L7OK;node2 DOWN L4CON;node3 DOWN L4CON;" \
  || fail "node2 not marked DOWN: $(server_states | tr '\n' ';')"
a_has_all() { [ "$(device_count "$a_admin" || true)" = 20 ]; }
poll 200 a_has_all || fail "node a does not have all 20 devices"
[ "$(device_addresses "$a_admin")" = "$(local_ends "$front")" ] \
  || fail "after the move, node a's devices are not devsim's connections"
echo "haproxy_test: all passed (devices spread $na and $nb over the nodes)"
