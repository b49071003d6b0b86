#!/usr/bin/env bash
# Web server load on the running daemon: pages per second for a static file and for a logged-in
# template page, with CONNECTIONS concurrent keep-alive connections, and the daemon's resident
# memory per session.
#
# telmond starts in a temporary directory from share/default-config.xml, with free loopback
# ports, the accept pacing off (http_rate 0) and room for the connections (http_threads). The
# administrator of the default configuration logs in; the cookie it gets is sent with every
# request for the template page. wrk runs the load when it is installed, otherwise a small
# Python client (asyncio, one request at a time per connection, which itself limits the rate
# it can measure). Memory: VmRSS before and after SESSIONS further logins, divided by SESSIONS.
#
#   bench/http_load.sh [telmond binary]
#   environment: CONNECTIONS (50) DURATION (10 s) SESSIONS (2000) STATIC (style.css)
#                PAGE (reg_index.htm) KEEP (keep the work directory)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
telmond=$(realpath "${1:-$src/build/telmond}")
connections=${CONNECTIONS:-50}
duration=${DURATION:-10}
sessions=${SESSIONS:-2000}
static=${STATIC:-style.css}
page=${PAGE:-reg_index.htm}

dir=$(mktemp -d /tmp/telmond-http-load.XXXXXX)
pid=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  [[ -n "${KEEP:-}" ]] || rm -rf "$dir"
}
trap cleanup EXIT

# Nine distinct free loopback ports (TCP for http, https, sip tcp, sip tls, ldap; UDP for sip,
# tftp, snmp), all held open until every one is chosen.
read -r http https siptcp siptls ldap sipudp tftp snmp < <(/usr/bin/python3 -c '
import socket
held = [socket.socket() for _ in range(5)] + [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
for s in held: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')
cat > "$dir/pbx.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<pbx-config><ip_sip_udp_port>$sipudp</ip_sip_udp_port><ip_sip_tcp_port>$siptcp</ip_sip_tcp_port><ip_sip_tls_port>$siptls</ip_sip_tls_port><ip_http_port>$http</ip_http_port><ip_https_port>$https</ip_https_port><ip_tftp_port>$tftp</ip_tftp_port><ip_snmp_port>$snmp</ip_snmp_port><ip_ldap_port>$ldap</ip_ldap_port><log_level>1</log_level><http_rate>0</http_rate><http_threads>$((connections * 2))</http_threads></pbx-config>
XML
"$telmond" --no-daemon --dir "$dir" --default "$src/share/default-config.xml" \
  >"$dir/stdout.txt" 2>"$dir/stderr.txt" &
pid=$!
base=http://127.0.0.1:$http
for _ in $(seq 300); do  # the first start makes the TLS certificate
  curl -s -o /dev/null "$base/robots.txt" && break
  sleep 0.1
done
login() {
  curl -s -i --data 'login_account=admin&login_password=&login_type=auto' "$base/login.htm" |
    grep -o 'session=[^;]*' || true
}
cookie=$(login)
if [[ -z "$cookie" ]]; then
  echo "http_load: the administrator's login failed"
  tail -3 "$dir/stdout.txt"
  exit 1
fi
[[ -f "$dir/web/$static" ]] || static=robots.txt

# Prints "<responses> <seconds>" for GET path with the extra header line.
load() {
  local path=$1 header=$2
  if command -v wrk >/dev/null; then
    wrk -t2 -c"$connections" -d"${duration}s" ${header:+-H "$header"} "$base/$path" |
      awk -v d="$duration" '/requests in/ { print $1, d }'
    return
  fi
  /usr/bin/python3 - "$http" "/$path" "$duration" "$connections" "$header" <<'PY'
import asyncio, sys, time
port, path, secs, conns, header = int(sys.argv[1]), sys.argv[2], float(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
req = f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n{header + chr(13) + chr(10) if header else ''}\r\n".encode()
count = 0
async def one(stop):
    global count
    r, w = await asyncio.open_connection("127.0.0.1", port)
    while time.monotonic() < stop:
        w.write(req)
        head = await r.readuntil(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 200"):
            raise SystemExit("http_load: " + head.split(b"\r\n")[0].decode())
        n = next((int(l.split(b":")[1]) for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")), 0)
        await r.readexactly(n)
        count += 1
    w.close()
async def main():
    stop = time.monotonic() + secs
    await asyncio.gather(*(one(stop) for _ in range(conns)))
t0 = time.monotonic()
asyncio.run(main())
print(count, time.monotonic() - t0)
PY
}
report() {
  read -r n s <<<"$2"
  awk -v what="$1" -v n="$n" -v s="$s" 'BEGIN { printf "%-28s %8d responses in %.1f s: %8.0f/s\n", what, n, s, n / s }'
}
report "static $static" "$(load "$static" "")"
report "template $page" "$(load "$page" "Cookie: $cookie")"

rss() { awk '/VmRSS/ { print $2 }' "/proc/$pid/status"; }
before=$(rss)
/usr/bin/python3 - "$http" "$sessions" <<'PY'
import socket, sys
body = b"login_account=admin&login_password=&login_type=auto"
req = b"POST /login.htm HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
for _ in range(int(sys.argv[2])):
    s.sendall(req)
    data = b""
    while b"</body></html>\r\n" not in data:
        data += s.recv(65536)
PY
after=$(rss)
echo "memory: VmRSS $before KiB, after $sessions logins $after KiB: $(((after - before) * 1024 / sessions)) bytes per session"
