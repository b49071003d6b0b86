#!/usr/bin/python3
"""TLS phones against the running daemon: connect, register, idle, restart, come back.

A configuration script with PHONES extensions (names 10000.., passwords "pw<name>") in the
default domain is generated and given to telmond with --default, as bench/register_load.sh
does. Then one asyncio client of our own (sipp has no TLS) plays PHONES TLS phones, five per
loopback source address (127.10.x.y), each on a connection of its own:

1. connect and register: TLS handshake, REGISTER, 401, REGISTER with digest credentials,
   200. Reported: TLS handshakes per second and the time until every phone is registered.
2. idle: every phone sends a CRLF CRLF keep-alive every 30 s (spread evenly) for IDLE
   seconds. Reported: telmond's resident memory per connection (VmRSS with the phones minus
   VmRSS before them) and the CPU of its connection loops (threads sip-conn-*) in per cent of
   one core.
3. restart: telmond is stopped and started again on the same directory; every phone sees its
   connection close, reconnects (after a random pause of up to a second, again while refused)
   and registers again. Reported: the time from the start of the new process until every phone
   is registered again.

Every packet stays on loopback. Bounded: each phase gives up after LIMIT seconds.

    /usr/bin/python3 bench/tls_load.py [telmond binary]
    environment: PHONES (2000; 10000 for the full run), IDLE (60), LIMIT (300),
                 PER_ADDRESS (5), IN_FLIGHT (1000), LOG (telmond's log level, 1), KEEP (keep the work directory)

The address blocking is switched off (blacklist_attempts), since every first REGISTER is
challenged, and max_expires is raised so that no binding expires during the run.
"""

import asyncio
import hashlib
import os
import random
import re
import resource
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TELMOND = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SRC, "build", "telmond"))
PHONES = int(os.environ.get("PHONES", "2000"))
IDLE = int(os.environ.get("IDLE", "60"))
LIMIT = int(os.environ.get("LIMIT", "300"))
PER_ADDRESS = int(os.environ.get("PER_ADDRESS", "5"))
# Phones between connect and registered at one time: one Python process cannot run ten
# thousand TLS handshakes at once fast enough for the daemon's first-message time-out, where
# ten thousand real phones each have a processor of their own.
IN_FLIGHT = int(os.environ.get("IN_FLIGHT", "1000"))
KEEPALIVE_S = 30


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def write_configuration(base, tls_port):
    ports = {
        "ip_sip_udp_port": free_port(socket.SOCK_DGRAM),
        "ip_sip_tcp_port": free_port(socket.SOCK_STREAM),
        "ip_sip_tls_port": tls_port,
        "ip_http_port": free_port(socket.SOCK_STREAM),
        "ip_https_port": free_port(socket.SOCK_STREAM),
        "ip_tftp_port": free_port(socket.SOCK_DGRAM),
        "ip_snmp_port": free_port(socket.SOCK_DGRAM),
        "ip_ldap_port": free_port(socket.SOCK_STREAM),
        "log_level": int(os.environ.get("LOG", "1")),
        "blacklist_attempts": 100000000,
        "max_expires": 7200,
        "sip_threads": max(10000, PHONES + 100),
    }
    with open(os.path.join(base, "pbx.xml"), "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n<pbx-config>')
        f.write("".join(f"<{k}>{v}</{k}>" for k, v in ports.items()))
        f.write("</pbx-config>\n")
    head = []
    with open(os.path.join(SRC, "share", "default-config.xml"), encoding="utf-8") as f:
        for line in f:
            if line.startswith('<DeleteTable table="users"/>'):
                break
            head.append(line)
    with open(os.path.join(base, "bench-config.xml"), "w", encoding="utf-8") as f:
        f.writelines(head)
        f.write('<DeleteTable table="users"/>\n<DeleteTable table="user_alias"/>\n'
                '<DeleteTable table="extensions"/>\n')
        for i in range(1, PHONES + 1):
            name = 9999 + i
            f.write(f'<SetEntry table="extensions" row="{i}"><Column name="display_name">{name}'
                    f'</Column><Column name="password">pw{name}</Column></SetEntry>\n'
                    f'<SetEntry table="users" row="{i}"><Column name="alias">{i}</Column>'
                    f'<Column name="domain">1</Column><Column name="id">{i}</Column>'
                    f'<Column name="type">extensions</Column></SetEntry>\n'
                    f'<SetEntry table="user_alias" row="{i}"><Column name="domain">1</Column>'
                    f'<Column name="name">{name}</Column><Column name="user">{i}</Column>'
                    f'</SetEntry>\n')
        f.write("</Config>\n")


class daemon:
    def __init__(self, directory):
        self.dir = directory
        self.proc = None

    def start(self, *args):
        out = open(os.path.join(self.dir, "stderr.txt"), "ab")
        self.proc = subprocess.Popen([TELMOND, "--dir", self.dir, "--no-daemon", *args],
                                     cwd=self.dir, stdout=out, stderr=out)
        self.started = time.monotonic()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def rss_kb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def cpu_s(self):
        """CPU seconds (user + system) of the whole process."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def loop_ticks(self):
        """CPU ticks (user + system) of the connection loop threads."""
        total = 0
        task = f"/proc/{self.proc.pid}/task"
        for tid in os.listdir(task):
            try:
                with open(f"{task}/{tid}/comm") as f:
                    if not f.read().startswith("sip-conn"):
                        continue
                with open(f"{task}/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            except OSError:
                pass
        return total


class phone:
    """One TLS phone: registers with digest authentication, keeps its connection alive with
    CRLF CRLF, and reconnects and registers again when the connection closes."""

    def __init__(self, index, port, context, stats, gate):
        self.gate = gate
        self.index = index
        self.user = str(10000 + index)
        k = index // PER_ADDRESS
        self.ip = f"127.10.{k // 250}.{k % 250 + 1}"
        self.port = port
        self.context = context
        self.stats = stats
        self.writer = None
        self.registered = asyncio.Event()
        self.cseq = 0

    def request(self, auth):
        self.cseq += 1
        return (f"REGISTER sip:localhost SIP/2.0\r\n"
                f"Via: SIP/2.0/TLS {self.ip}:5061;branch=z9hG4bK-{self.user}-{self.cseq}\r\n"
                f"From: <sip:{self.user}@localhost>;tag=t{self.user}\r\n"
                f"To: <sip:{self.user}@localhost>\r\nCall-ID: tls-{self.user}@{self.ip}\r\n"
                f"CSeq: {self.cseq} REGISTER\r\n"
                f"Contact: <sip:{self.user}@{self.ip}:5061;transport=tls>\r\n"
                f"Expires: 3600\r\nMax-Forwards: 70\r\n{auth}Content-Length: 0\r\n\r\n").encode()

    async def response(self, reader):
        head = await reader.readuntil(b"\r\n\r\n")
        m = re.search(rb"\r\nContent-Length:\s*(\d+)", head, re.I)
        if m and int(m.group(1)):
            await reader.readexactly(int(m.group(1)))
        return head.decode(errors="replace")

    def credentials(self, challenge):
        fields = dict(re.findall(r'(\w+)="?([^",]*)"?', challenge.split("Digest", 1)[1]))
        realm, nonce = fields.get("realm", ""), fields.get("nonce", "")
        ha1 = md5(f"{self.user}:{realm}:pw{self.user}")
        ha2 = md5("REGISTER:sip:localhost")
        extra = ""
        if "auth" in fields.get("qop", ""):
            cnonce = f"{random.getrandbits(64):016x}"
            response = md5(f"{ha1}:{nonce}:00000001:{cnonce}:auth:{ha2}")
            extra = f",qop=auth,nc=00000001,cnonce=\"{cnonce}\""
        else:
            response = md5(f"{ha1}:{nonce}:{ha2}")
        return (f'Authorization: Digest username="{self.user}",realm="{realm}",nonce="{nonce}",'
                f'uri="sip:localhost",response="{response}",algorithm=MD5{extra}\r\n')

    async def session(self):
        """One connection: connect, register, keep alive until it closes."""
        async with self.gate:
            reader, writer = await self.register()
        keepalive = asyncio.ensure_future(self.keep_alive(writer))
        try:
            while await reader.read(4096):
                pass
        finally:
            keepalive.cancel()
            writer.close()

    async def register(self):
        began = time.monotonic()
        reader, writer = await asyncio.open_connection(
            "127.0.0.1", self.port, ssl=self.context, local_addr=(self.ip, 0))
        self.stats["handshakes"].append(time.monotonic() - began)
        self.writer = writer
        writer.write(self.request(""))
        answer = await self.response(reader)
        m = re.search(r"\r\nWWW-Authenticate:([^\r]*)", answer, re.I)
        if not answer.startswith("SIP/2.0 401") or not m:
            raise ConnectionError(answer.split("\r\n", 1)[0])
        writer.write(self.request(self.credentials(m.group(1))))
        answer = await self.response(reader)
        if not answer.startswith("SIP/2.0 200"):
            raise ConnectionError(answer.split("\r\n", 1)[0])
        self.registered.set()
        self.stats["registered"] += 1
        return reader, writer

    async def keep_alive(self, writer):
        await asyncio.sleep(random.uniform(0, KEEPALIVE_S))
        while True:
            writer.write(b"\r\n\r\n")
            await asyncio.sleep(KEEPALIVE_S)

    async def run(self):
        while True:
            self.registered.clear()
            try:
                await self.session()
            except (OSError, asyncio.IncompleteReadError, ConnectionError, ssl.SSLError) as e:
                self.stats["errors"][type(e).__name__] = self.stats["errors"].get(
                    type(e).__name__, 0) + 1
            await asyncio.sleep(random.uniform(0.05, 1.0))


def own_cpu_s():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


async def wait_registered(phones, stats, started, label, d):
    cpu, own = d.cpu_s(), own_cpu_s()
    deadline = started + LIMIT
    while stats["registered"] < len(phones) and time.monotonic() < deadline:
        await asyncio.sleep(0.05)
    took = time.monotonic() - started
    print(f"{label}: {stats['registered']} of {len(phones)} registered in {took:.1f} s"
          f" (CPU: telmond {d.cpu_s() - cpu:.1f} s, this client {own_cpu_s() - own:.1f} s)"
          f"  errors {stats['errors']}", flush=True)
    return took


async def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    work = tempfile.mkdtemp(prefix="telmond-tls-load.")
    base = os.path.join(work, "run")
    os.mkdir(base, 0o700)
    tls_port = free_port(socket.SOCK_STREAM)
    write_configuration(base, tls_port)
    d = daemon(base)
    try:
        # The import, then a clean start on the imported directory.
        d.start("--default", "bench-config.xml")
        last = os.path.join(base, "user_alias", f"{PHONES}.xml")
        for _ in range(3000):
            if os.path.exists(last) and f"<name>{9999 + PHONES}</name>" in open(last).read():
                break
            await asyncio.sleep(0.1)
        await asyncio.sleep(2)
        d.stop()
        d.start()
        for _ in range(300):
            try:
                socket.create_connection(("127.0.0.1", tls_port), 1).close()
                break
            except OSError:
                await asyncio.sleep(0.1)
        await asyncio.sleep(1)
        if d.proc.poll() is not None:
            sys.exit("telmond did not start: " + open(os.path.join(base, "stderr.txt")).read()[-500:])
        rss_before = d.rss_kb()

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        stats = {"handshakes": [], "registered": 0, "errors": {}}
        gate = asyncio.Semaphore(IN_FLIGHT)
        phones = [phone(i, tls_port, context, stats, gate) for i in range(PHONES)]
        print(f"{PHONES} TLS phones, {PER_ADDRESS} per address, telmond {TELMOND}", flush=True)

        started = time.monotonic()
        tasks = [asyncio.ensure_future(p.run()) for p in phones]
        took = await wait_registered(phones, stats, started, "first registration", d)
        hs = stats["handshakes"]
        print(f"TLS handshakes: {len(hs)} in {took:.1f} s = {len(hs) / took:.0f}/s", flush=True)

        await asyncio.sleep(2)
        rss = d.rss_kb()
        print(f"resident memory: {rss_before} kB before, {rss} kB with {PHONES} connections = "
              f"{(rss - rss_before) / PHONES:.1f} kB per idle TLS connection", flush=True)
        ticks = d.loop_ticks()
        t0 = time.monotonic()
        await asyncio.sleep(IDLE)
        cpu = (d.loop_ticks() - ticks) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - t0)
        print(f"connection loops with CRLF keep-alives every {KEEPALIVE_S} s: {cpu * 100:.2f}% "
              f"of a core over {IDLE} s", flush=True)

        d.stop()
        stats["registered"] = 0
        stats["errors"] = {}
        stats["handshakes"] = []
        d.start()
        await wait_registered(phones, stats, d.started, "after restart", d)
        for t in tasks:
            t.cancel()
    finally:
        d.stop()
        if os.environ.get("KEEP"):
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    asyncio.run(main())
