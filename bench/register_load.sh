#!/usr/bin/env bash
# Registration load on the running daemon, with Kamailio as a reference in the same run.
#
# A configuration script with EXTENSIONS extensions (names 10000.., passwords "pw<name>") in the
# default domain is generated and given to telmond with --default. PROCS sipp processes, each
# sending from its own address 127.0.0.(11..) and port with its own slice of the users, play
# one phone per extension: it registers with authentication (REGISTER, 401, REGISTER with
# credentials, 200), waits until all phones have registered, then refreshes ROUNDS times, one
# refresh period apart. Phones start at the offered rate per second in all, so the
# authenticated registrations and later the refreshes come at that rate.
#
# For each offered rate of RATES, the same scenario, users and sipp processes run first against
# telmond (started on a copy of the directory the import wrote, so every run starts without
# bindings) and then against Kamailio (one worker, bindings in memory only, MD5 digest with
# qop=auth against the same users, loaded from a db_text table; UDP on a free loopback port
# only). Kamailio is skipped when it is not installed or REFERENCE=none.
# Reported per run: phones ok/failed, retransmissions, and per kind of answer (401, 200 to the
# authenticated REGISTER, 200 to a refresh) the count, the rate and p50/p99 response times
# (sipp measures whole milliseconds); then per rate the offered rate against the achieved rate
# of authenticated registrations of both servers and their ratio. telmond's resident memory
# (VmRSS) is reported after the import, after a restart on the imported directory, and with
# all bindings, divided by the number of extensions or bindings.
#
#   bench/register_load.sh [telmond binary]
#   environment: EXTENSIONS (30000) PROCS (2) RATES (RATE, else "8000 10000 12000") ROUNDS (0)
#                REFERENCE (kamailio, or none) KEEP (keep the work directory)
#
# The address blocking is switched off (blacklist_attempts), since each sipp address fails
# authentication thousands of times a second by design (every first REGISTER is challenged),
# and max_expires is raised so that no binding expires during the run.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
telmond=$(realpath "${1:-$src/build-bench/telmond}")
extensions=${EXTENSIONS:-30000}
procs=${PROCS:-2}
rates=${RATES:-${RATE:-8000 10000 12000}}
rounds=${ROUNDS:-0}
reference=${REFERENCE:-kamailio}
command -v kamailio >/dev/null || reference=none

dir=$(mktemp -d /tmp/telmond-register-load.XXXXXX)
pid=
kam=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  [[ -n "$kam" ]] && kill "$kam" 2>/dev/null && wait "$kam" 2>/dev/null || true
  [[ -n "${KEEP:-}" ]] || rm -rf "$dir"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
tcp_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
sip=$(free_port)
mkdir "$dir/base"
cat > "$dir/base/pbx.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<pbx-config><ip_sip_udp_port>$sip</ip_sip_udp_port><ip_sip_tcp_port>$(tcp_port)</ip_sip_tcp_port><ip_sip_tls_port>$(tcp_port)</ip_sip_tls_port><ip_http_port>$(tcp_port)</ip_http_port><ip_https_port>$(tcp_port)</ip_https_port><ip_tftp_port>$(free_port)</ip_tftp_port><ip_snmp_port>$(free_port)</ip_snmp_port><ip_ldap_port>$(tcp_port)</ip_ldap_port><log_level>1</log_level><blacklist_attempts>100000000</blacklist_attempts><max_expires>7200</max_expires></pbx-config>
XML
# The configuration: the default domain and its alias, then the extensions, each with its
# users and user_alias rows, as in share/default-config.xml. Users CSVs: one slice per sipp.
# The same users for Kamailio.
mkdir "$dir/kamailio-db"
/usr/bin/python3 - "$src/share/default-config.xml" "$dir" "$extensions" "$procs" <<'PY'
import sys
default, out, count, procs = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
head = []
for line in open(default, encoding="utf-8"):
    if line.startswith('<DeleteTable table="users"/>'):
        break
    head.append(line)
with open(f"{out}/base/bench-config.xml", "w", encoding="utf-8") as f:
    f.writelines(head)
    f.write('<DeleteTable table="users"/>\n<DeleteTable table="user_alias"/>\n'
            '<DeleteTable table="extensions"/>\n')
    for i in range(1, count + 1):
        name = 9999 + i
        f.write(f'<SetEntry table="extensions" row="{i}"><Column name="display_name">{name}'
                f'</Column><Column name="first_name">Extension</Column><Column name="password">'
                f'pw{name}</Column><Column name="web_pass">web{name}</Column></SetEntry>\n'
                f'<SetEntry table="users" row="{i}"><Column name="alias">{i}</Column>'
                f'<Column name="domain">1</Column><Column name="id">{i}</Column>'
                f'<Column name="type">extensions</Column></SetEntry>\n'
                f'<SetEntry table="user_alias" row="{i}"><Column name="display">Extension {name}'
                f'</Column><Column name="domain">1</Column><Column name="name">{name}</Column>'
                f'<Column name="user">{i}</Column></SetEntry>\n')
    f.write("</Config>\n")
for p in range(procs):
    with open(f"{out}/users{p}.csv", "w") as f:
        f.write("SEQUENTIAL\n")
        for i in range(p, count, procs):
            f.write(f"{10000 + i};pw{10000 + i};\n")
# Kamailio's users: a db_text table that its htable module loads into a hash table at start
# (user name -> password).
with open(f"{out}/kamailio-db/passwords", "w") as f:
    f.write("id(int,auto) key_name(string) key_type(int) value_type(int) key_value(string) "
            "expires(int)\n")
    for i in range(1, count + 1):
        f.write(f"{i}:{9999 + i}:0:0:pw{9999 + i}:0\n")
with open(f"{out}/kamailio-db/version", "w") as f:
    f.write("table_name(string) table_version(int)\npasswords:2\n")
PY

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }

# Starts telmond in directory $1 (more arguments are passed on) and waits until it answers
# on its SIP port (an OPTIONS from a loopback address of its own).
start_telmond() {
  local d=$1
  shift
  (cd "$d" && exec "$telmond" --dir "$d" --no-daemon "$@" > stdout.txt 2> stderr.txt) &
  pid=$!
}
stop_telmond() {
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
}

# The import: started once the last extension's alias row is written and the memory stops
# growing. Stopped, the directory is the starting point of every run.
start_telmond "$dir/base" --default bench-config.xml
for _ in $(seq 1 600); do
  grep -qs "<name>$((9999 + extensions))</name>" "$dir/base/user_alias/$extensions.xml" && break
  sleep 0.1
done
sleep 2
rss_import=$(rss_kb)
stop_telmond
cp -a "$dir/base" "$dir/restart"
start_telmond "$dir/restart"
sleep 3
rss_restart=$(rss_kb)
stop_telmond

# The sipp scenario for offered rate $1, written to $2.
write_scenario() {
local rate=$1
period_ms=$(( (extensions * 1000 + rate - 1) / rate + 5000 ))
# One sipp call is one phone: it registers (REGISTER, 401, REGISTER with credentials, 200; the
# 401 timed as rtd 1, the 200 as rtd 2), waits until every phone has registered, and refreshes
# ROUNDS times, one refresh period apart (rtd 3; the registrar re-challenges a binding only now
# and then, and such a refresh is answered with credentials). All its requests carry the same
# Call-ID, From tag and Contact and come from the same address and port, as a phone's would.
# Calls start at RATE per second in all, so the refreshes come at that rate, too. A challenge
# that arrives after the phone has already answered one (a REGISTER retransmitted after its
# 401 was sent gets that 401 again), and likewise a repeated 200, is ignored, as a phone
# ignores a response to a finished transaction; the wait for the refresh is a receive with a
# time-out for that reason.
head='REGISTER sip:localhost SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: <sip:[field0]@localhost>;tag=[pid]-[call_number]
To: <sip:[field0]@localhost>
Call-ID: [call_id]'
tail='Contact: <sip:[field0]@[local_ip]:[local_port]>
Expires: 3600
Max-Forwards: 70
Content-Length: 0
'
{
  cat <<XML
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="register">
<send retrans="500" start_rtd="1"><![CDATA[
$head
CSeq: 1 REGISTER
$tail
]]></send>
<recv response="401" auth="true" rtd="1"/>
<send retrans="500" start_rtd="2"><![CDATA[
$head
CSeq: 2 REGISTER
[authentication username="[field0]" password="[field1]"]
$tail
]]></send>
<label id="wait"/>
<recv response="401" optional="true" next="wait"/>
<recv response="200" rtd="2"/>
XML
  for r in $(seq 1 "$rounds"); do
    rtd=$((r < 3 ? r + 2 : 5))  # sipp times each rtd once per call and keeps five
    cat <<XML
<label id="idle$r"/>
<recv response="401" optional="true" timeout="$period_ms" ontimeout="go$r" next="idle$r"/>
<recv response="200" timeout="$period_ms" ontimeout="go$r" next="idle$r"/>
<label id="go$r"/>
<send retrans="500" start_rtd="$rtd"><![CDATA[
$head
CSeq: $((2 * r + 1)) REGISTER
$tail
]]></send>
<recv response="401" auth="true" optional="true" next="auth$r"/>
<recv response="200" rtd="$rtd" next="done$r"/>
<label id="auth$r"/>
<send retrans="500"><![CDATA[
$head
CSeq: $((2 * r + 2)) REGISTER
[authentication username="[field0]" password="[field1]"]
$tail
]]></send>
<label id="wait$r"/>
<recv response="401" optional="true" next="wait$r"/>
<recv response="200" rtd="$rtd"/>
<label id="done$r"/>
XML
  done
  echo "</scenario>"
} > "$2"

}

# Runs the PROCS sipp processes at offered rate $1 against 127.0.0.1:$2 in directory $3
# (which holds register.xml). With $4 set, the VmRSS of telmond is sampled a little before the
# first refresh would be due, when every binding exists.
run_sipp() {
  local rate=$1 port=$2 d=$3 p n pids=()
  for p in $(seq 0 $((procs - 1))); do
    n=$(($(wc -l < "$dir/users$p.csv") - 1))
    (cd "$d" && exec timeout 1200 sipp "127.0.0.1:$port" -sf register.xml -inf "$dir/users$p.csv" \
      -i "127.0.0.$((11 + p))" -p $((15060 + p)) -m "$n" -l "$n" \
      -r "$(echo "$rate / $procs" | bc -l | cut -d. -f1)" -nostdin \
      -recv_timeout 10000 -timeout 1200s -trace_stat -fd 1 -trace_rtt -rtt_freq 1 \
      -stf "stat$p.csv" -trace_err -error_file "errors$p.log" > "sipp$p.out" 2>&1) &
    pids+=($!)
  done
  if [[ -n "${4:-}" ]]; then
    sleep "$(echo "($period_ms - 1500) / 1000" | bc -l)"
    rss_bound=$(rss_kb)
  fi
  status=0
  for p in "${pids[@]}"; do wait "$p" || status=$?; done
}

# Sum of a column of the last line of the sipp statistics files of directory $2.
stat_sum() {
  local f total=0
  for f in "$2"/stat[0-9]*.csv; do
    total=$((total + $(awk -F';' -v col="$1" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == col) c = i }
      END { print $c + 0 }' "$f")))
  done
  echo "$total"
}

# For rtd $1 over all rtt files of directory $2 (date in ms; response time in ms; rtd number):
# the count, the rate (count over the time from first to last answer) and p50/p99 of the
# response time. With $3 set, only the rate.
rtd_figures() {
  cat "$2"/register_*_rtt.csv 2>/dev/null | awk -F';' -v n="$1" '$3 == n { print $2, $1 }' |
    sort -g | awk -v short="${3:-}" '{ v[NR] = $1; if (NR == 1 || $2 < t0) t0 = $2; if ($2 > t1) t1 = $2 } END {
      if (!NR) { print short ? 0 : "none"; exit }
      p50 = v[int((NR - 1) * 0.50) + 1]; p99 = v[int((NR - 1) * 0.99) + 1]
      span = (t1 - t0) / 1000
      per_second = 0
      if (span > 0) per_second = NR / span
      if (short) { printf "%.0f", per_second; exit }
      printf "%d answers, %.0f/s over %.2f s; response time p50 %.3f ms, p99 %.3f ms",
        NR, per_second, span, p50, p99 }'
}

# The figures of the run in directory $1, each line headed by $2.
report() {
  local d=$1 h=$2
  echo "$h: sipp exit status $status; phones ok $(stat_sum "SuccessfulCall(C)" "$d"), failed $(stat_sum "FailedCall(C)" "$d") (a phone fails when any of its requests does; $(stat_sum "FailedUnexpectedMessage(C)" "$d") of them on an unexpected answer, such as a 503 refusing it under overload); retransmissions $(stat_sum "Retransmissions(C)" "$d")"
  echo "$h: challenges (401 to the first REGISTER): $(rtd_figures 1 "$d")"
  echo "$h: authenticated REGISTER (200): $(rtd_figures 2 "$d")"
  [[ $rounds -ge 1 ]] && echo "$h: refresh REGISTER (200), round 1: $(rtd_figures 3 "$d")"
  [[ $rounds -ge 2 ]] && echo "$h: refresh REGISTER (200), round 2: $(rtd_figures 4 "$d")"
  [[ $rounds -ge 3 ]] && echo "$h: refresh REGISTER (200), rounds 3..: $(rtd_figures 5 "$d")"
  true
}

# Kamailio's configuration: one worker, UDP on a free loopback port only, bindings in memory
# (usrloc db_mode 0), digest with qop=auth against the passwords of the same users, held in a
# hash table (htable, loaded from db_text at start; db_text's own lookups scan the whole
# table per request). An unknown user gets 404. www_challenge flag 1: the challenge offers
# qop="auth".
kport=$(free_port)
cat > "$dir/kamailio.cfg" <<CFG
#!KAMAILIO
debug=0
log_stderror=yes
children=1
listen=udp:127.0.0.1:$kport
disable_tcp=yes
auto_aliases=no
alias="localhost"
loadmodule "sl.so"
loadmodule "pv.so"
loadmodule "db_text.so"
loadmodule "auth.so"
loadmodule "htable.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
modparam("usrloc", "db_mode", 0)
modparam("htable", "db_url", "text://$dir/kamailio-db")
modparam("htable", "htable", "pw=>size=16;dbtable=passwords;")
modparam("registrar", "max_expires", 7200)
request_route {
  if (\$rm != "REGISTER") { sl_send_reply("405", "Method Not Allowed"); exit; }
  if (\$sht(pw=>\$fU) == \$null) { sl_send_reply("404", "Not Found"); exit; }
  if (!pv_www_authenticate("localhost", "\$sht(pw=>\$fU)", "0")) {
    www_challenge("localhost", "1");
    exit;
  }
  if (!save("location")) sl_reply_error();
}
CFG

echo "extensions $extensions, $procs sipp processes, $rounds refresh rounds, offered rates: $rates"
echo "telmond VmRSS: $rss_import kB after the import ($(echo "$rss_import * 1024 / $extensions" | bc) bytes per extension), $rss_restart kB after a restart ($(echo "$rss_restart * 1024 / $extensions" | bc) bytes per extension)"
summary=()
for rate in $rates; do
  d=$dir/telmond-$rate
  cp -a "$dir/base" "$d"
  write_scenario "$rate" "$d/register.xml"
  start_telmond "$d"
  sleep 3
  rss_start=$(rss_kb)
  run_sipp "$rate" "$sip" "$d" bound
  rss_end=$(rss_kb)
  stop_telmond
  echo "== offered $rate/s, refresh period ${period_ms} ms"
  report "$d" "telmond"
  echo "telmond: VmRSS $rss_start kB after start, $rss_bound kB with the bindings, $rss_end kB at the end; per binding: $(echo "($rss_bound - $rss_start) * 1024 / $extensions" | bc) bytes"
  ours=$(rtd_figures 2 "$d" short)
  line="offered $rate/s: telmond $ours/s"
  if [[ $reference == kamailio ]]; then
    k=$dir/kamailio-$rate
    mkdir "$k"
    cp "$d/register.xml" "$k/"
    (cd "$k" && exec kamailio -f "$dir/kamailio.cfg" -DD -E -m 256 -M 16 -Y "$k" \
      -L /usr/lib/x86_64-linux-gnu/kamailio/modules > kamailio.log 2>&1) &
    kam=$!
    sleep 2
    run_sipp "$rate" "$kport" "$k"
    kill "$kam" 2>/dev/null || true
    wait "$kam" 2>/dev/null || true
    kam=
    report "$k" "kamailio"
    theirs=$(rtd_figures 2 "$k" short)
    line+=", kamailio $theirs/s, ratio $(echo "scale=2; $ours / ($theirs + ($theirs == 0))" | bc)"
  fi
  summary+=("$line")
done
echo "== authenticated registrations per second (200 to the REGISTER with credentials)"
printf '%s\n' "${summary[@]}"
