#!/usr/bin/env bash
# The velmo program as a user runs it: options, exit codes, headless log lines
# on standard output, signals, a taken device port, the log file.
set -u
velmo=$1
devsim=$2
version=$3  # the project's version, as CMakeLists.txt sets it
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out; do echo "--- $f"; cat "$f"; done; exit 1; }

# wait_for FILE PATTERN: up to 5 s for an extended regex to appear in FILE.
wait_for() { for _ in $(seq 100); do grep -Eq "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done; return 1; }

# Options.
"$velmo" --bogus >"$work/bogus.out" 2>&1; rc=$?
[ $rc -eq 2 ] || fail "--bogus exited $rc, want 2"
grep -q "unknown option '--bogus'" "$work/bogus.out" || fail "--bogus: no clear message"
"$velmo" --device-port 70000 >"$work/port.out" 2>&1; [ $? -eq 2 ] || fail "--device-port 70000 must exit 2"
"$velmo" --help >"$work/help.out" 2>&1; [ $? -eq 0 ] || fail "--help must exit 0"
grep -q -- "--device-port PORT" "$work/help.out" || fail "--help lists no options"
[ "$("$velmo" --version)" = "velmo $version" ] || fail "velmo --version: $("$velmo" --version)"
[ "$("$devsim" --version)" = "velmo-devsim $version" ] || fail "velmo-devsim --version: $("$devsim" --version)"
for option in --device-port --http-port --bind --file-dir --led-file --log-file --download-root --io-threads \
              --admin-port --admin-bind --admin-token-file --event-webhook; do
  grep -- "$option" "$work/help.out" | grep -q "default" || fail "--help gives no default for $option"
done
"$velmo" --headless --log-file "$work/no/such/dir/log" >"$work/logdir.out" 2>&1; [ $? -eq 2 ] || fail "unwritable log file must exit 2"

"$devsim" --bogus >"$work/devsim-bogus.out" 2>&1; [ $? -eq 2 ] || fail "velmo-devsim --bogus must exit 2"
"$devsim" --server 127.0.0.1:1 --duration 0.5 >"$work/devsim-refused.out" 2>&1; [ $? -eq 1 ] \
  || fail "velmo-devsim without a server must exit 1"
grep -q "connect: Connection refused" "$work/devsim-refused.out" || fail "velmo-devsim does not say why"

# start_velmo NAME ARGS...: starts velmo headless on a free device port, sets $port and $pid.
start_velmo() {
  local name=$1; shift
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 12000))  # below the ephemeral range (32768-60999)
    rm -f "$work/velmo.log"            # a failed attempt's lines must not stay in the log file
    "$velmo" --headless --bind 127.0.0.1 --device-port "$port" --http-port $((port + 1)) --admin-port $((port + 2)) \
      --file-dir "$work" "$@" \
      >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!; pids+=("$pid")
    wait_for "$work/$name.out" "Tcp Server Start" || fail "$name: no start line"
    grep -q "Tcp Server Start fail" "$work/$name.out" || return 0
    kill -9 "$pid"; wait "$pid" 2>/dev/null
  done
  fail "$name: no free port found"
}

stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}： '

# A device connects and leaves; SIGTERM ends the program with 0.
start_velmo main --log-file "$work/velmo.log"
grep -Eq "${stamp}Tcp Server Start$" "$work/main.out" || fail "no start line"
wait_for "$work/main.out" "${stamp}Http Start$" || fail "no Http Start line"
wait_for "$work/main.err" "http server listenning" || fail "no HTTP diagnostics on standard error"

# The HTTP API answers.
for _ in $(seq 50); do exec 4<>"/dev/tcp/127.0.0.1/$((port + 1))" 2>/dev/null && break; sleep 0.1; done
printf 'GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n' >&4
timeout 5 head -c 75 <&4 >"$work/hello.reply"
exec 4>&-
printf 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n11\r\nwelcome to tarnel\r\n0\r\n\r\n' >"$work/hello.want"
cmp -s "$work/hello.reply" "$work/hello.want" || fail "/api/hello answered: $(od -c "$work/hello.reply")"
exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "cannot connect to the device port"
wait_for "$work/main.out" "${stamp}OnSocketConnect-[0-9]+$" || fail "no OnSocketConnect line"
grep -Eq "${stamp}OnAccept-[0-9]+ 127\.0\.0\.1:[0-9]+$" "$work/main.out" || fail "no OnAccept line"
exec 3>&-
wait_for "$work/main.out" "${stamp}OnSocketDisconnect-[0-9]+, SocketCloseReason=0$" || fail "no disconnect line"
# Simulated devices register and get their clock command.
"$devsim" --server "127.0.0.1:$port" --devices 2 --heartbeat 0.2 --duration 1 >"$work/devsim.out" 2>&1 \
  || fail "velmo-devsim failed"
grep -q "^202300000000000000000001: Set time " "$work/devsim.out" || fail "no clock command reached the simulator"
grep -q "2 devices: 2 connected, 0 could not connect, 0 disconnected by the server" "$work/devsim.out" \
  || fail "simulator summary"
# A requester relays a command to a simulated device.
"$devsim" --server "127.0.0.1:$port" --sn 202300000000000000000042 --heartbeat 0.2 --duration 2 >"$work/target.out" 2>&1 &
target=$!; pids+=("$target")
wait_for "$work/target.out" "^202300000000000000000042: Set time" || fail "the relay target did not register"
"$devsim" --server "127.0.0.1:$port" --relay 202300000000000000000042 "led on" >"$work/relay.out" 2>&1 \
  || fail "relay: $(cat "$work/relay.out")"
grep -q "^-470000000000: the device took the text$" "$work/relay.out" || fail "relay answer"
wait "$target"
grep -q "^202300000000000000000042: led on$" "$work/target.out" || fail "the relayed command did not arrive"

# A file goes up and comes back down whole.
head -c 100000 /dev/urandom >"$work/up.bin"
"$devsim" --server "127.0.0.1:$port" --upload "$work/up.bin" --name sent.bin >"$work/upload.out" 2>&1 \
  || fail "upload: $(cat "$work/upload.out")"
cmp -s "$work/up.bin" "$work/sent.bin" || fail "the uploaded file differs"
wait_for "$work/main.out" "${stamp}OnRecvFileSucc$" || fail "no OnRecvFileSucc line"
"$devsim" --server "127.0.0.1:$port" --download sent.bin --block 3072 --output "$work/back.bin" >"$work/download.out" 2>&1 \
  || fail "download: $(cat "$work/download.out")"
grep -q "CRC-32 [0-9a-f]* matches" "$work/download.out" || fail "download CRC"
cmp -s "$work/up.bin" "$work/back.bin" || fail "the downloaded file differs"

kill -TERM "$pid"; wait "$pid"; rc=$?
[ $rc -eq 0 ] || fail "SIGTERM: exit $rc, want 0"
cmp -s "$work/main.out" "$work/velmo.log" || fail "the log file differs from standard output"

# SIGHUP after the log file was renamed (what logrotate does): from then on
# the lines land in a fresh file at the old path, and none is lost.
start_velmo rotate --log-file "$work/rotate.log"
wait_for "$work/rotate.log" "Http Start$" || fail "rotate: no start lines in the log file"
mv "$work/rotate.log" "$work/rotate.log.1"
exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "rotate: cannot connect"
wait_for "$work/rotate.log.1" "OnSocketConnect-" || fail "before SIGHUP the lines go on in the renamed file"
kill -HUP "$pid"
for _ in $(seq 100); do [ -f "$work/rotate.log" ] && break; sleep 0.05; done
[ -f "$work/rotate.log" ] || fail "SIGHUP: no new log file at the old path"
exec 3>&-
wait_for "$work/rotate.log" "OnSocketDisconnect-" || fail "after SIGHUP the lines go to the new file"
kill -TERM "$pid"; wait "$pid"; rc=$?
[ $rc -eq 0 ] || fail "rotate: SIGTERM exit $rc, want 0"
cat "$work/rotate.log.1" "$work/rotate.log" | cmp -s - "$work/rotate.out" \
  || fail "the two log files together differ from standard output"

# Under systemd (Type=notify) velmo says READY=1 once both ports listen and
# STOPPING=1 when SIGTERM begins the shutdown; a socket of our own stands in.
python3 - "$work/notify.sock" >"$work/notify.msgs" 2>&1 <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
s.settimeout(10)
for _ in range(2):
    print(s.recv(4096).decode().replace("\n", "|"), flush=True)
PY
listener=$!; pids+=("$listener")
for _ in $(seq 100); do [ -S "$work/notify.sock" ] && break; sleep 0.05; done
NOTIFY_SOCKET="$work/notify.sock" start_velmo notify
wait_for "$work/notify.msgs" "READY=1" || fail "no READY=1 to systemd"
grep -qx "READY=1|STATUS=serving" "$work/notify.msgs" || fail "readiness: $(cat "$work/notify.msgs")"
kill -TERM "$pid"; wait "$pid"
wait "$listener"
grep -qx "STOPPING=1" "$work/notify.msgs" || fail "no STOPPING=1: $(cat "$work/notify.msgs")"

# The device port is taken: the start fails, the program keeps running, SIGINT ends it with 0.
taken=$port
start_velmo holder
taken=$port
"$velmo" --headless --bind 127.0.0.1 --device-port "$taken" --http-port $((taken + 1)) >"$work/second.out" 2>"$work/second.err" &
second=$!; pids+=("$second")
wait_for "$work/second.out" "${stamp}Tcp Server Start fail$" || fail "no start-fail line"
grep -q "device port $taken: bind: Address already in use" "$work/second.err" \
  || fail "standard error does not say why the start failed"
wait_for "$work/second.err" "HTTP port $((taken + 1)): bind: .*not available" || fail "no word on the taken HTTP port"
sleep 0.3
kill -0 "$second" 2>/dev/null || fail "velmo ended after a failed start"
kill -INT "$second"; wait "$second"; rc=$?
[ $rc -eq 0 ] || fail "SIGINT: exit $rc, want 0"
kill -INT "$pid"; wait "$pid"

# With a display the window runs, from its module next to velmo (Qt's
# offscreen platform stands in for the screen); SIGTERM closes it with 0.
wport=$((20000 + RANDOM % 12000))
DISPLAY=:99 QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" "$velmo" --bind 127.0.0.1 --device-port "$wport" \
  --http-port $((wport + 1)) --file-dir "$work" --log-file "$work/window.log" >"$work/window.out" 2>"$work/window.err" &
wpid=$!; pids+=("$wpid")
wait_for "$work/window.log" "${stamp}Tcp Server Start" || fail "window: no start line"
grep -q "libQt6Widgets" "/proc/$wpid/maps" || fail "window: Qt was not loaded"
grep -Eq "$stamp" "$work/window.out" && fail "window: log lines went to standard output"
kill -TERM "$wpid"; wait "$wpid"; rc=$?
[ $rc -eq 0 ] || fail "window: SIGTERM: exit $rc, want 0"
# Without its module, velmo says why and runs headless.
mkdir -p "$work/alone" && cp "$velmo" "$work/alone/velmo"
DISPLAY=:99 "$work/alone/velmo" --bind 127.0.0.1 --device-port "$wport" --http-port $((wport + 1)) --file-dir "$work" \
  >"$work/alone.out" 2>"$work/alone.err" &
apid=$!; pids+=("$apid")
wait_for "$work/alone.out" "${stamp}Tcp Server Start" || fail "no module: not headless"
grep -q "velmo: the window cannot be shown (.*libvelmo-window.so.*); running headless" "$work/alone.err" \
  || fail "no module: no reason given: $(cat "$work/alone.err")"
kill -TERM "$apid"; wait "$apid"

# A FIFO offered for download and as the LED file: opening either to read
# would wait for a writer for ever. Both are refused with a log line, and
# Velmo goes on serving.
mkfifo "$work/pipe" "$work/ledpipe"
start_velmo fifo --led-file "$work/ledpipe"
exec 5<>"/dev/tcp/127.0.0.1/$port" || fail "fifo: cannot connect"
printf '@00027-3620210807001e00383436470a' >&5  # the LED device registers
printf '@00017-260000003072pipe' >&5            # and asks for the FIFO
wait_for "$work/fifo.out" "${stamp}LED file $work/ledpipe refused: it is not a regular file$" \
  || fail "fifo: no line for the LED file"
wait_for "$work/fifo.out" "${stamp}download refused: pipe is a FIFO$" || fail "fifo: no line for the download"
"$devsim" --server "127.0.0.1:$port" --devices 1 --heartbeat 0.2 --duration 0.5 >"$work/fifo-devsim.out" 2>&1 \
  || fail "fifo: a new device was not served"
grep -q "1 devices: 1 connected" "$work/fifo-devsim.out" || fail "fifo: simulator summary"
[ "$(timeout 1 head -c 6 <&5 | wc -c)" -eq 0 ] || fail "fifo: the LED device got an answer"
exec 5>&-

# SIGTERM while a relay waits for a device that never heartbeats: Velmo ends
# at once, not when the wait would have ended (10 s for a query).
exec 6<>"/dev/tcp/127.0.0.1/$port" || fail "relay: cannot connect"
printf '@00027-36202300000000000000000077' >&6  # registers, then stays silent
exec 7<>"/dev/tcp/127.0.0.1/$port" || fail "relay: cannot connect the requester"
printf '@00042-56202300000000000000000077query dev_infos' >&7
sleep 0.5
t0=$(date +%s%N)
kill -TERM "$pid"; wait "$pid"; rc=$?
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
[ $rc -eq 0 ] || fail "SIGTERM during a relay: exit $rc, want 0"
[ "$ms" -lt 2000 ] || fail "SIGTERM during a relay took $ms ms"
exec 6>&- 7>&-

# SIGTERM with an upload and a download open: each device gets "-22" before
# its connection closes.
start_velmo transfers
exec 8<>"/dev/tcp/127.0.0.1/$port" || fail "transfers: cannot connect the uploader"
exec 9<>"/dev/tcp/127.0.0.1/$port" || fail "transfers: cannot connect the downloader"
printf '@00018-160000000100x.bin' >&8
[ "$(timeout 2 head -c 19 <&8)" = "@00013-170000000000" ] || fail "transfers: the upload was not accepted"
printf '@00019-260000003072up.bin' >&9
timeout 2 head -c 33 <&9 | grep -q '^@00027-270000100000[0-9a-f]\{8\}up\.bin$' || fail "transfers: no download header"
kill -TERM "$pid"; wait "$pid"; rc=$?
[ $rc -eq 0 ] || fail "SIGTERM with transfers open: exit $rc, want 0"
for fd in 8 9; do
  got=$(timeout 2 cat <&$fd)
  [ "$got" = "@00003-22" ] || fail "transfers: descriptor $fd got '$got' at SIGTERM, want @00003-22"
done
exec 8>&- 9>&-

echo "1 passed, 0 failed"
