#!/usr/bin/env bash
# Registration load on the running daemon: sipp registers the six extensions of the default
# configuration over and over (each call: REGISTER, 401, REGISTER with credentials, 200, a
# refresh answered at once, then Expires: 0), CALLS calls at up to RATE calls per second with
# at most LIMIT calls open. Prints the completed calls, the SIP requests per second the
# registrar answered and sipp's response-time figures.
#
#   bench/register_load.sh [telmond binary] [calls] [rate] [limit]
#
# The address blocking is switched off (blacklist_attempts) and max_regs raised, since one
# sipp address opens many bindings at once; everything else is the default configuration.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
telmond=$(realpath "${1:-$src/build-bench/telmond}")
calls=${2:-3000}
rate=${3:-500}
limit=${4:-50}

dir=$(mktemp -d /tmp/telmond-register-load.XXXXXX)
pid=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  [[ -n "${KEEP:-}" ]] || rm -rf "$dir"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
tcp_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
sip=$(free_port)
cat > "$dir/pbx.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<pbx-config><ip_sip_udp_port>$sip</ip_sip_udp_port><ip_sip_tcp_port>$(tcp_port)</ip_sip_tcp_port><ip_sip_tls_port>$(tcp_port)</ip_sip_tls_port><ip_http_port>$(tcp_port)</ip_http_port><ip_https_port>$(tcp_port)</ip_https_port><ip_tftp_port>$(free_port)</ip_tftp_port><ip_snmp_port>$(free_port)</ip_snmp_port><ip_ldap_port>$(tcp_port)</ip_ldap_port><log_level>1</log_level><blacklist_attempts>100000000</blacklist_attempts><max_regs>100000</max_regs></pbx-config>
XML
cp "$src/share/default-config.xml" "$dir/"
(cd "$dir" && exec "$telmond" --dir "$dir" --no-daemon --default default-config.xml \
  > stdout.txt 2> stderr.txt) &
pid=$!
sleep 3

{
  echo SEQUENTIAL
  for n in 100 101 102 103 104 105; do echo "$n;sip$n;"; done
} > "$dir/users.csv"
head='REGISTER sip:[remote_ip]:[remote_port] SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]
To: <sip:[field0]@localhost>
Call-ID: [call_id]'
tail='Contact: <sip:[field0]-[call_number]@[local_ip]:[local_port]>
Max-Forwards: 70
Content-Length: 0
'
cat > "$dir/scenario.xml" <<XML
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="register load">
<send retrans="500"><![CDATA[
$head
CSeq: 1 REGISTER
Expires: 3600
$tail
]]></send>
<recv response="401" auth="true"/>
<send retrans="500" start_rtd="1"><![CDATA[
$head
CSeq: 2 REGISTER
[authentication username="[field0]" password="[field1]"]
Expires: 3600
$tail
]]></send>
<recv response="200" rtd="1"/>
<send retrans="500" start_rtd="2"><![CDATA[
$head
CSeq: 3 REGISTER
Expires: 3600
$tail
]]></send>
<recv response="200" rtd="2"/>
<send retrans="500"><![CDATA[
$head
CSeq: 4 REGISTER
Expires: 0
$tail
]]></send>
<recv response="200"/>
</scenario>
XML

start=$(date +%s.%N)
set +e
(cd "$dir" && timeout 600 sipp "127.0.0.1:$sip" -sf scenario.xml -inf users.csv -i 127.0.0.1 \
  -p "$(free_port)" -m "$calls" -r "$rate" -l "$limit" -nostdin -recv_timeout 10000 -timeout 300s -trace_stat -fd 1 \
  -trace_rtt -rtt_freq 1 > sipp.out 2>&1)
status=$?
set -e
end=$(date +%s.%N)
stat=$(ls "$dir"/scenario_*_.csv 2>/dev/null | head -1)
ok=$(awk -F';' 'NR==1 { for (i = 1; i <= NF; i++) if ($i == "SuccessfulCall(C)") c = i } END { print $c }' "$stat")
failed=$(awk -F';' 'NR==1 { for (i = 1; i <= NF; i++) if ($i == "FailedCall(C)") c = i } END { print $c }' "$stat")
rtt=$(ls "$dir"/scenario_*_rtt.csv 2>/dev/null | head -1)
rtd_mean() {  # mean of the round-trip measurements of rtd $1 in milliseconds
  awk -F';' -v n="$1" 'NR > 1 && $3 == n { s += $2; c++ } END { if (c) printf "%.3f ms over %d", s / c, c; else print "none" }' "$rtt"
}
rtd1=$(rtd_mean 1)
rtd2=$(rtd_mean 2)
elapsed=$(echo "$end - $start" | bc -l)
echo "sipp exit status $status; calls ok $ok, failed $failed in ${elapsed}s"
echo "requests answered per second: $(echo "$ok * 4 / $elapsed" | bc -l | cut -c1-8)"
echo "mean response time (sipp counts whole milliseconds), authenticated REGISTER: $rtd1"
echo "mean response time, refresh: $rtd2"
