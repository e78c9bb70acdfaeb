#!/usr/bin/env bash
# The Debian package as an operator gets it: its metadata and contents, its
# maintainer scripts, and the unpacked velmo started with the unit's own
# command line (ports changed) serving /api/hello. Nothing is installed on
# this machine: the package is only unpacked into a scratch directory.
#   tests/package_test.sh PACKAGE.deb VERSION
set -u
deb=$1
version=$2
work=$(mktemp -d)
pid=
cleanup() { [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }
field() { dpkg-deb --field "$deb" "$1"; }

# Metadata.
[ "$(field Package)" = velmo ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), want $version"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
[ "$(basename "$deb")" = "velmo_${version}_amd64.deb" ] || fail "file name $(basename "$deb")"
depends=$(field Depends)
for lib in libc6 libstdc++6 libsystemd0 libhiredis zlib1g; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
if grep -Eq -- '-dev( |,|$)|cmake|ninja|g\+\+|libgtest|libbenchmark' <<<"$depends"; then
  fail "a build-only package in Depends: $depends"
fi

# Contents.
dpkg-deb --contents "$deb" | awk '{print $1, $2, $6}' >"$work/contents.out"
for f in ./usr/bin/velmo ./usr/bin/velmo-devsim ./usr/lib/velmo/libvelmo-window.so \
         ./usr/lib/systemd/system/velmo.service ./etc/default/velmo ./etc/logrotate.d/velmo \
         ./usr/share/man/man1/velmo.1; do
  grep -q " $f$" "$work/contents.out" || fail "the package lacks $f"
done
grep -q "^-rwxr-xr-x root/root ./usr/bin/velmo$" "$work/contents.out" || fail "velmo is not an executable owned by root"
if grep -Eq "/(tests?|bench|include)/|\.a$" "$work/contents.out"; then fail "tests, benchmarks or headers in the package"; fi
mkdir "$work/control"
dpkg-deb --control "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -q "useradd --system" "$work/control/postinst" || fail "postinst creates no system user"
grep -q "/var/lib/velmo" "$work/control/postinst" || fail "postinst makes no file directory"
grep -q "deb-systemd-helper enable velmo.service" "$work/control/postinst" || fail "postinst does not enable the unit"
if grep -Eq "systemctl (start|restart)" "$work/control/postinst"; then fail "postinst starts the service"; fi
[ "$(cat "$work/control/conffiles")" = "$(printf '/etc/default/velmo\n/etc/logrotate.d/velmo')" ] \
  || fail "conffiles: $(cat "$work/control/conffiles")"

# The unpacked program, run the way the unit runs it.
dpkg-deb -x "$deb" "$work/root"
unit="$work/root/usr/lib/systemd/system/velmo.service"
[ "$("$work/root/usr/bin/velmo" --version)" = "velmo $version" ] || fail "velmo --version"
[ "$("$work/root/usr/bin/velmo-devsim" --version)" = "velmo-devsim $version" ] || fail "velmo-devsim --version"
for line in "Type=notify" "User=velmo" "EnvironmentFile=-/etc/default/velmo" "Restart=on-failure" \
            "NoNewPrivileges=yes" "ProtectSystem=strict" "StateDirectory=velmo" "ProtectHome=yes" \
            "PrivateTmp=yes" "KillSignal=SIGTERM"; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
nofile=$(sed -n 's/^LimitNOFILE=//p' "$unit")
[ "${nofile:-0}" -gt 100000 ] || fail "LimitNOFILE=$nofile is too low for 100 000 devices"
grep -q '^VELMO_OPTS=""$' "$work/root/etc/default/velmo" || fail "the settings file sets VELMO_OPTS"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
port=$((20000 + RANDOM % 12000))
mkdir "$work/state"
opts="--bind 127.0.0.1 --device-port $port --http-port $((port + 1)) --admin-port $((port + 2))"
command=${exec_start//\/usr\/bin\//$work/root/usr/bin/}
command=${command//\/var\/lib\/velmo/$work/state}
command=${command//\$VELMO_OPTS/$opts}
[[ "$command" == "$work/root/usr/bin/velmo --headless --file-dir $work/state "* ]] || fail "ExecStart: $exec_start"
$command >"$work/velmo.out" 2>"$work/velmo.err" &
pid=$!
for _ in $(seq 100); do { exec 4<>"/dev/tcp/127.0.0.1/$((port + 1))"; } 2>/dev/null && break; sleep 0.05; done
printf 'GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n' >&4 || fail "the unpacked velmo does not listen on $((port + 1))"
timeout 5 head -c 75 <&4 >"$work/hello.reply"
exec 4>&-
printf 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n11\r\nwelcome to tarnel\r\n0\r\n\r\n' >"$work/hello.want"
cmp -s "$work/hello.reply" "$work/hello.want" || fail "/api/hello answered: $(od -c "$work/hello.reply")"
kill -TERM "$pid"; wait "$pid"; rc=$?; pid=
[ $rc -eq 0 ] || fail "SIGTERM: exit $rc, want 0"

# With a display, the installed velmo finds its window in ../lib/velmo (Qt's
# offscreen platform stands in for the screen).
DISPLAY=:99 QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" "$work/root/usr/bin/velmo" --bind 127.0.0.1 \
  --device-port "$port" --http-port $((port + 1)) --admin-port off --file-dir "$work/state" \
  --log-file "$work/window.log" >"$work/window.out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q "Tcp Server Start" "$work/window.log" 2>/dev/null && break; sleep 0.05; done
grep -q "$work/root/usr/lib/velmo/libvelmo-window.so" "/proc/$pid/maps" \
  || fail "the window module was not loaded from usr/lib/velmo: $(cat "$work/window.out")"
kill -TERM "$pid"; wait "$pid"; rc=$?; pid=
[ $rc -eq 0 ] || fail "window: SIGTERM: exit $rc, want 0"

# systemd's own check of the unit, where the tool is present (the unit's
# program pointed at the unpacked one).
if command -v systemd-analyze >/dev/null 2>&1; then
  sed "s|/usr/bin/velmo|$work/root/usr/bin/velmo|" "$unit" >"$work/velmo.service"
  MANPATH="$work/root/usr/share/man" SYSTEMD_LOG_LEVEL=warning systemd-analyze verify "$work/velmo.service" \
    >"$work/verify.out" 2>&1 || fail "systemd-analyze verify failed: $(cat "$work/verify.out")"
  # What only a machine without the velmo user or the network target says is not the unit's fault.
  if grep -v -E "velmo\.service:.*(User|Group)=|Failed to look up|not found\.|Unit network-online" "$work/verify.out" \
       | grep -q .; then
    fail "systemd-analyze verify: $(cat "$work/verify.out")"
  fi
fi
echo "package_test: passed"
