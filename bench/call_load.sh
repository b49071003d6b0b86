#!/usr/bin/env bash
# Call load between registered extensions through the running daemon.
#
# A sipp phone registered as extension 102 (digest REGISTER, then a sipp UAS on the same
# address and port) takes every call: 180 at once, 200 at once, then it waits for the BYE.
# A sipp phone of extension 100 calls 102 at the offered rate: INVITE, 401, INVITE with
# credentials, 180, 200, ACK, HOLD_MS of talk, BYE. Each call therefore is two legs, two
# dialogs and one call object in the daemon. The offered rate is stepped through CALL_RATES,
# each step for STEP_SECONDS, once with signalling only and once with RTP (MEDIA): then the caller
# plays sipp's G.711 A-law capture after the ACK and the callee echoes every packet it gets
# (sipp -rtp_echo), so the daemon relays media in both directions of both legs. The relay mode
# (MEDIA=relay) measures the media path itself: the callee's SDP names a sink
# (bench/rtp_sink.py) instead of sipp, which counts per call the packets of the capture that
# arrived and the jitter the relay added; with it the RTP thread's CPU load over the step is
# reported. 200 calls sending at once: MEDIA=relay CALL_RATES=50 STEP_SECONDS=4 HOLD_MS=9000.
#
# Reported per step: calls attempted, successful and failed, the achieved rate of successful
# calls, the post-dial delay (authenticated INVITE to 180, sipp's response-time measurement 1)
# and the set-up time (first INVITE to 200, challenge included, measurement 2) at p50/p99, the
# daemon's CPU time (user + system from /proc) per call, and its resident memory (VmRSS) per
# live call, sampled in the middle of the step when about rate x hold calls are up, over the
# idle figure of the step's fresh daemon. At the end: the highest step whose failures stayed
# below 1% with the achieved rate at least 95% of the offered one (the sustained set-up rate).
#
# The daemon has 512 call ports (sip/call_port.h), two for each call here: beyond about 250
# calls up at a time (rate x hold) new INVITEs are refused with 501. A short HOLD_MS therefore
# measures the set-up rate itself, a long one the number of calls the daemon holds.
#
#   bench/call_load.sh [telmond binary]
#   environment: CALL_RATES ("20 50 100 200 400") STEP_SECONDS (10) HOLD_MS (2000)
#                MEDIA ("none rtp", or "relay") PERFORMANCE_LIMIT (0) KEEP (keep the work
#                directory)
#
# Everything runs on loopback: telmond on 127.0.0.1, the callee on 127.0.0.41, the caller on
# 127.0.0.42, media included. Every sipp run is bounded by timeout(1) and by its call count
# (rate x STEP_SECONDS). The address blocking is switched off (every first INVITE is
# challenged by design), so is the limit of new INVITEs per second (max_udp_invite), and the
# logging is kept to faults. The refusal of new calls (501) while the daemon's CPU load is above
# performance_limit percent is off too (PERFORMANCE_LIMIT=0), so that a step shows what the
# daemon can do; with the default of 50 the sustained rate is where that limit is reached.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
telmond=$(realpath "${1:-$src/build/telmond}")
rates=${CALL_RATES:-20 50 100 200 400}
step_seconds=${STEP_SECONDS:-10}
hold_ms=${HOLD_MS:-2000}
media_modes=${MEDIA:-none rtp}
performance_limit=${PERFORMANCE_LIMIT:-0}
pcap=/usr/share/sip-tester/g711a.pcap
command -v sipp >/dev/null || { echo "sipp is not installed"; exit 1; }
[[ -x "$telmond" ]] || { echo "no telmond at $telmond (build it first)"; exit 1; }

dir=$(mktemp -d "${WORK_ROOT:-/tmp}/telmond-call-load.XXXXXX")
pid=
uas=
sink=
cleanup() {
  [[ -n "$uas" ]] && kill "$uas" 2>/dev/null && wait "$uas" 2>/dev/null || true
  [[ -n "$sink" ]] && kill "$sink" 2>/dev/null && wait "$sink" 2>/dev/null || true
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  [[ -n "${KEEP:-}" ]] || rm -rf "$dir"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
tcp_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
sip=$(free_port)
cat > "$dir/pbx.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<pbx-config><ip_sip_udp_port>$sip</ip_sip_udp_port><ip_sip_tcp_port>$(tcp_port)</ip_sip_tcp_port><ip_sip_tls_port>$(tcp_port)</ip_sip_tls_port><ip_http_port>$(tcp_port)</ip_http_port><ip_https_port>$(tcp_port)</ip_https_port><ip_tftp_port>$(free_port)</ip_tftp_port><ip_snmp_port>$(free_port)</ip_snmp_port><ip_ldap_port>$(tcp_port)</ip_ldap_port><log_level>1</log_level><blacklist_attempts>100000000</blacklist_attempts><max_udp_invite>0</max_udp_invite><performance_limit>$performance_limit</performance_limit><max_expires>7200</max_expires></pbx-config>
XML
cp "$src/share/default-config.xml" "$dir/"
# A fresh daemon for each step (its directory copied from the first start's), so that the
# memory figures of a step are not those another step left behind.
mkdir "$dir/base"
mv "$dir/pbx.xml" "$dir/default-config.xml" "$dir/base/"
start_telmond() {
  rm -rf "$dir/run"
  cp -a "$dir/base" "$dir/run"
  (cd "$dir/run" && exec "$telmond" --dir "$dir/run" --no-daemon --default default-config.xml \
    > stdout.txt 2> stderr.txt) &
  pid=$!
  for _ in $(seq 1 100); do
    grep -qs "<name>105</name>" "$dir/run/user_alias/6.xml" && break
    sleep 0.1
  done
  sleep 1
}
stop_telmond() {
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
}
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
# The CPU ticks of the daemon's thread named "rtp" (the media engine's thread).
rtp_ticks() {
  local t
  for t in /proc/"$pid"/task/*; do
    [[ $(cat "$t/comm" 2>/dev/null) == rtp ]] && awk '{ print $14 + $15 }' "$t/stat" && return
  done
  echo 0
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }

uas_port=$(free_port)
printf 'SEQUENTIAL\n102;sip102;\n100;sip100;\n' > "$dir/users.csv"
printf 'SEQUENTIAL\n100;sip100;\n' > "$dir/caller.csv"
cat > "$dir/register.xml" <<'XML'
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="register">
<send retrans="500"><![CDATA[
REGISTER sip:localhost SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: <sip:[field0]@localhost>;tag=[pid]
To: <sip:[field0]@localhost>
Call-ID: [call_id]
CSeq: 1 REGISTER
Contact: <sip:[field0]@[local_ip]:[local_port]>
Expires: 7200
Max-Forwards: 70
Content-Length: 0

]]></send>
<recv response="401" auth="true"/>
<send retrans="500"><![CDATA[
REGISTER sip:localhost SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: <sip:[field0]@localhost>;tag=[pid]
To: <sip:[field0]@localhost>
Call-ID: [call_id]
CSeq: 2 REGISTER
[authentication username="[field0]" password="[field1]"]
Contact: <sip:[field0]@[local_ip]:[local_port]>
Expires: 7200
Max-Forwards: 70
Content-Length: 0

]]></send>
<recv response="200"/>
</scenario>
XML
# The callee registers as 102 from 127.0.0.41:$uas_port.
register_callee() {
  (cd "$dir" && timeout 20 sipp "127.0.0.1:$sip" -sf register.xml -inf users.csv -i 127.0.0.41 \
    -p "$uas_port" -m 1 -nostdin -recv_timeout 5000 > register.out 2>&1) ||
    { echo "the callee could not register:"; cat "$dir/register.out"; exit 1; }
}

# The callee's scenario ($1: codec payload type and name of its answer; $2: its media port,
# sipp's own by default).
write_uas() {
  cat > "$dir/uas.xml" <<XML
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="callee">
<recv request="INVITE"/>
<send><![CDATA[
SIP/2.0 180 Ringing
[last_Via:]
[last_From:]
[last_To:];tag=[pid]SIPpTag01[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
<send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]SIPpTag01[call_number]
[last_Call-ID:]
[last_CSeq:]
Contact: <sip:[local_ip]:[local_port]>
Content-Type: application/sdp
Content-Length: [len]

v=0
o=- 1 1 IN IP4 [local_ip]
s=-
c=IN IP4 [media_ip]
t=0 0
m=audio ${3:-[media_port]} RTP/AVP $1
a=rtpmap:$2
]]></send>
<recv request="ACK"/>
<recv request="BYE"/>
<send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
</scenario>
XML
}

# The caller's scenario ($1, $2: codec as above; $3: the steps after the ACK). Post-dial delay
# is response time 1 (INVITE with credentials to 180), the set-up time response time 2 (first
# INVITE to 200, the challenge included). No <nop> between the sends and the receives: sipp
# takes a message that arrives while it is at one as unexpected.
write_uac() {
  local invite sdp
  sdp="v=0
o=- 1 1 IN IP4 [local_ip]
s=-
c=IN IP4 [media_ip]
t=0 0
m=audio [media_port] RTP/AVP $1
a=rtpmap:$2"
  invite() {
    cat <<XML
<send retrans="500"$3><![CDATA[
INVITE sip:[service]@[remote_ip]:[remote_port] SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]
To: <sip:[service]@localhost>
Call-ID: [call_id]
CSeq: $1 INVITE
Contact: <sip:[field0]@[local_ip]:[local_port]>
Max-Forwards: 70
$2Content-Type: application/sdp
Content-Length: [len]

$sdp
]]></send>
XML
  }
  {
    echo '<?xml version="1.0" encoding="ISO-8859-1" ?>'
    echo '<scenario name="caller">'
    invite 1 "" ' start_rtd="2"'
    cat <<'XML'
<recv response="100" optional="true"/>
<recv response="401" auth="true"/>
<send><![CDATA[
ACK sip:[service]@[remote_ip]:[remote_port] SIP/2.0
[last_Via:]
From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]
[last_To:]
Call-ID: [call_id]
CSeq: 1 ACK
Max-Forwards: 70
Content-Length: 0

]]></send>
XML
    invite 2 '[authentication username="[field0]" password="[field1]"]
' ' start_rtd="1"'
    cat <<XML
<recv response="100" optional="true"/>
<recv response="180" rtd="1"/>
<recv response="200" rrs="true" rtd="2"/>
<send><![CDATA[
ACK [next_url] SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]
[last_To:]
Call-ID: [call_id]
CSeq: 2 ACK
Max-Forwards: 70
Content-Length: 0

]]></send>
$3
<pause milliseconds="$hold_ms"/>
<send retrans="500"><![CDATA[
BYE [next_url] SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]
[last_To:]
Call-ID: [call_id]
CSeq: 3 BYE
Max-Forwards: 70
Content-Length: 0

]]></send>
<recv response="200"/>
</scenario>
XML
  } > "$dir/uac.xml"
}

# A column of the last line of a sipp statistics file.
stat_col() {
  awk -F';' -v col="$1" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == col) c = i }
    END { print $c + 0 }' "$2"
}
# p50 and p99 (ms) of response time $1 in the rtt file(s) of $2.
percentiles() {
  cat "$2"/*_rtt.csv 2>/dev/null | awk -F';' -v n="$1" '$3 == n { print $2 }' | sort -g |
    awk '{ v[NR] = $1 } END { if (!NR) { print "none"; exit }
      printf "p50 %.1f ms, p99 %.1f ms", v[int((NR - 1) * 0.50) + 1], v[int((NR - 1) * 0.99) + 1] }'
}

echo "telmond $telmond; steps of $step_seconds s, calls held $hold_ms ms, offered rates: $rates"
summary=()
for mode in $media_modes; do
  if [[ $mode == rtp || $mode == relay ]]; then
    [[ -r $pcap ]] || { echo "no $pcap: RTP steps skipped"; continue; }
    sink_port=$(free_port)
    write_uas 8 "8 PCMA/8000" "$([[ $mode == relay ]] && echo "$sink_port")"
    write_uac 8 "8 PCMA/8000" "<nop><action><exec play_pcap_audio=\"$pcap\"/></action></nop>"
    echo_arg=
    [[ $mode == rtp ]] && echo_arg=-rtp_echo
  else
    write_uas 0 "0 PCMU/8000"
    write_uac 0 "0 PCMU/8000" ""
    echo_arg=
  fi
  sustained=none
  for rate in $rates; do
    d=$dir/$mode-$rate
    mkdir -p "$d"
    start_telmond
    register_callee
    calls=$((rate * step_seconds))
    live=$((rate * hold_ms / 1000))
    ((live <= calls)) || live=$calls
    limit=$((step_seconds + hold_ms / 1000 + 30))
    (cd "$d" && exec timeout $((limit + 10)) sipp "127.0.0.1:$sip" -sf ../uas.xml -i 127.0.0.41 \
      -p "$uas_port" -mi 127.0.0.41 -mp "$(free_port)" $echo_arg -m "$calls" -nostdin \
      -recv_timeout 10000 -trace_err > uas.out 2>&1) &
    uas=$!
    if [[ $mode == relay ]]; then
      /usr/bin/python3 "$src/bench/rtp_sink.py" 127.0.0.41 "$sink_port" "$pcap" "$limit" "$calls" \
        > "$d/sink.out" 2>&1 &
      sink=$!
    fi
    sleep 0.3
    rss_idle=$(rss_kb)
    cpu_start=$(cpu_ticks)
    rtp_start=$(rtp_ticks)
    wall_start=$(date +%s%N)
    (cd "$d" && exec timeout "$limit" sipp "127.0.0.1:$sip" -sf ../uac.xml -inf ../caller.csv \
      -s 102 -i 127.0.0.42 -p "$(free_port)" -mi 127.0.0.42 -mp "$(free_port)" -r "$rate" \
      -m "$calls" -l $((live * 2 + 100)) -nostdin -recv_timeout 10000 -timeout "${limit}s" \
      -trace_stat -fd 1 -stf stat.csv -trace_rtt -rtt_freq 1 -trace_err > uac.out 2>&1) &
    uac=$!
    sleep $((step_seconds / 2))
    rss_mid=$(rss_kb)
    wait "$uac" || true
    cpu_end=$(cpu_ticks)
    rtp_end=$(rtp_ticks)
    wall_ms=$((($(date +%s%N) - wall_start) / 1000000))
    sleep 1  # the last BYEs reach the callee
    rss_after=$(rss_kb)
    kill "$uas" 2>/dev/null || true
    wait "$uas" 2>/dev/null || true
    uas=
    stop_telmond
    ok=$(stat_col "SuccessfulCall(C)" "$d/stat.csv")
    failed=$(stat_col "FailedCall(C)" "$d/stat.csv")
    cpu_ms=$(( (cpu_end - cpu_start) * 1000 / ticks ))
    achieved=$(echo "scale=1; $ok / $step_seconds" | bc)
    fail_pct=$(echo "scale=2; 100 * $failed / ($ok + $failed + (($ok + $failed) == 0))" | bc)
    echo "== $mode, offered $rate/s: $ok ok, $failed failed ($fail_pct%)," \
      "${achieved}/s over the step;" \
      "post-dial delay $(percentiles 1 "$d"); set-up $(percentiles 2 "$d");" \
      "CPU $(echo "scale=3; $cpu_ms / ($ok + ($ok == 0))" | bc) ms per call;" \
      "VmRSS $rss_idle kB idle, $rss_mid kB with ~$live live calls:" \
      "$(echo "($rss_mid - $rss_idle) * 1024 / ($live + ($live == 0))" | bc) bytes per live call;" \
      "$rss_after kB 1 s after the last call"
    if [[ $mode == relay ]]; then
      wait "$sink" || true
      sink=
      echo "   RTP thread: $(echo "scale=1; 100000 * ($rtp_end - $rtp_start) / $ticks / $wall_ms" |
        bc)% of a core over the $wall_ms ms of the step (the whole daemon:" \
        "$(echo "scale=1; 100000 * ($cpu_end - $cpu_start) / $ticks / $wall_ms" | bc)%);" \
        "$(cat "$d/sink.out")"
    fi
    if (( $(echo "$fail_pct < 1 && $achieved >= $rate * 0.95" | bc) )); then sustained=$rate; fi
  done
  summary+=("$mode: sustained set-up rate (failures below 1%): $sustained calls/s")
done
printf '%s\n' "${summary[@]}"
