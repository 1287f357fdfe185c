#!/usr/bin/python3
"""The port mapper against a real router in network namespaces.

A "router" namespace masquerades its LAN behind its WAN address and runs miniupnpd (UPnP and
NAT-PMP, with nft rules written here). The probe (the program's listener and mapper) runs in a
"lan" namespace; a caller in a "wan" namespace dials the router's WAN address. Every namespace
and process is made here, named with this process's id, and removed at the end, also when a
check fails. Exit 77: skipped (not root, or no miniupnpd).
"""
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

PROBE = sys.argv[1]
ONLY = sys.argv[2] if len(sys.argv) > 2 else ""  # runs only the scenarios whose name has it
FAKE_ROUTER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_router.py")
PID = os.getpid()
NS_ROUTER, NS_LAN, NS_WAN = f"vxr{PID}", f"vxl{PID}", f"vxw{PID}"
NS_LAN2 = f"vxm{PID}"  # a second computer behind the router, on a LAN of its own
PUBLIC_WAN = ("11.22.33.1", "11.22.33.2")  # public-looking: miniupnpd refuses documentation ranges
PRIVATE_WAN = ("10.99.0.1", "10.99.0.2")

NFT_RULES = """
table inet filter {
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept;
                     jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept;
                      jump postrouting_miniupnpd; oifname "rw" masquerade; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
"""

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def sh(*args, ns=None, check_rc=True, **kw):
    cmd = (["ip", "netns", "exec", ns] if ns else []) + list(args)
    result = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if check_rc and result.returncode != 0:
        raise RuntimeError(f"{cmd}: {result.stderr.strip()}")
    return result


class Network:
    """lan <-> router <-> wan; router=None leaves the lan alone with no router at all."""

    def __init__(self, wan=PUBLIC_WAN, router=True, upnp=True, natpmp=True, fake=None,
                 secure=True):
        self.daemon = None
        self.folder = tempfile.mkdtemp(prefix=f"vox-router-{PID}-")
        self.names = [NS_LAN] + ([NS_ROUTER, NS_WAN, NS_LAN2] if router else [])
        for name in self.names:
            sh("ip", "netns", "add", name)
            sh("ip", "link", "set", "lo", "up", ns=name)
        if not router:
            sh("ip", "link", "add", "l0", "type", "veth", "peer", "name", "l1", ns=NS_LAN)
            sh("ip", "addr", "add", "192.168.77.2/24", "dev", "l0", ns=NS_LAN)
            sh("ip", "link", "set", "l0", "up", ns=NS_LAN)
            return
        sh("ip", "link", "add", "rl", "type", "veth", "peer", "name", "l0", "netns", NS_LAN,
           ns=NS_ROUTER)
        sh("ip", "link", "add", "rw", "type", "veth", "peer", "name", "w0", "netns", NS_WAN,
           ns=NS_ROUTER)
        sh("ip", "addr", "add", "192.168.77.1/24", "dev", "rl", ns=NS_ROUTER)
        sh("ip", "addr", "add", wan[0] + "/24", "dev", "rw", ns=NS_ROUTER)
        sh("ip", "addr", "add", "192.168.77.2/24", "dev", "l0", ns=NS_LAN)
        sh("ip", "addr", "add", wan[1] + "/24", "dev", "w0", ns=NS_WAN)
        for ns, dev in ((NS_ROUTER, "rl"), (NS_ROUTER, "rw"), (NS_LAN, "l0"), (NS_WAN, "w0")):
            sh("ip", "link", "set", dev, "up", ns=ns)
        sh("ip", "route", "add", "default", "via", "192.168.77.1", ns=NS_LAN)
        sh("ip", "link", "add", "rm", "type", "veth", "peer", "name", "m0", "netns", NS_LAN2,
           ns=NS_ROUTER)
        sh("ip", "addr", "add", "192.168.78.1/24", "dev", "rm", ns=NS_ROUTER)
        sh("ip", "addr", "add", "192.168.78.2/24", "dev", "m0", ns=NS_LAN2)
        sh("ip", "link", "set", "rm", "up", ns=NS_ROUTER)
        sh("ip", "link", "set", "m0", "up", ns=NS_LAN2)
        sh("ip", "route", "add", "default", "via", "192.168.78.1", ns=NS_LAN2)
        sh("sysctl", "-qw", "net.ipv4.ip_forward=1", ns=NS_ROUTER)
        sh("nft", "-f", "-", input=NFT_RULES, ns=NS_ROUTER)
        if fake is not None:
            # A router that answers garbage instead of miniupnpd.
            self.daemon = subprocess.Popen(
                ["ip", "netns", "exec", NS_ROUTER, "/usr/bin/python3", FAKE_ROUTER, fake,
                 "192.168.77.1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            ready = select.select([self.daemon.stdout], [], [], 10)[0]
            if not ready or not self.daemon.stdout.readline().startswith(b"READY"):
                raise RuntimeError("the fake router did not start")
            return
        conf = os.path.join(self.folder, "miniupnpd.conf")
        with open(conf, "w") as f:
            f.write(f"""ext_ifname=rw
listening_ip=rl
listening_ip=rm
port=0
enable_upnp={'yes' if upnp else 'no'}
enable_natpmp={'yes' if natpmp else 'no'}
secure_mode={'yes' if secure else 'no'}
system_uptime=yes
uuid=3c6f7a1e-4b1d-4a52-9b1e-{PID:012d}
allow 1024-65535 192.168.77.0/24 1024-65535
allow 1024-65535 192.168.78.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
""")
        self.daemon = subprocess.Popen(
            ["ip", "netns", "exec", NS_ROUTER, "miniupnpd", "-d", "-f", conf,
             "-P", os.path.join(self.folder, "pid")],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.folder, "log"), "w"))
        time.sleep(0.5)  # it binds its sockets

    def close(self):
        if self.daemon is not None:
            self.daemon.terminate()
            try:
                self.daemon.wait(5)
            except subprocess.TimeoutExpired:
                self.daemon.kill()
                self.daemon.wait()
        for name in self.names:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
        shutil.rmtree(self.folder, ignore_errors=True)

    def router_log(self):
        try:
            with open(os.path.join(self.folder, "log")) as f:
                return f.read()
        except OSError:
            return ""


class Probe:
    def __init__(self, ns=NS_LAN, ports=()):
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns, PROBE] + [str(p) for p in ports],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.lines = []
        self.pending = b""
        line = self.read_until("PORTS", 10)
        self.ports = [int(p) for p in line.split()[1:]]

    def read_until(self, prefix, timeout):
        # Read from the descriptor itself: lines buffered in a file object would not wake
        # select().
        end = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while True:
            while b"\n" in self.pending:
                raw, self.pending = self.pending.split(b"\n", 1)
                line = raw.decode()
                self.lines.append(line)
                if line.startswith(prefix):
                    return line
            left = end - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self.pending += chunk
        raise RuntimeError(f"no {prefix} within {timeout} s; got {self.lines}")

    def command(self, text, timeout=60):
        start = len(self.lines)
        began = time.monotonic()
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()
        ready = self.read_until("READY", timeout)
        logs = [line[4:] for line in self.lines[start:] if line.startswith("LOG ")]
        return ready.split()[1:], logs, time.monotonic() - began

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
                self.proc.wait(30)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        rest = self.pending + self.proc.stdout.read()
        self.lines += rest.decode().splitlines()


def dial(address, port):
    """True when a call from the wan namespace to address:port is answered."""
    code = (f"import socket; s = socket.socket(); s.settimeout(3); "
            f"s.connect(('{address}', {port})); print('connected')")
    result = sh("/usr/bin/python3", "-c", code, ns=NS_WAN, check_rc=False)
    return "connected" in result.stdout


def scenario(name, body, **network):
    if ONLY and ONLY not in name:
        return
    print(f"--- {name}", flush=True)
    net = Network(**network)
    probe = None
    try:
        # Fixed ports: the namespaces are this test's own, and the conflict case needs them.
        probe = Probe(ports=(40123, 40124) if network.get("router", True) else ())
        body(net, probe)
    except Exception as e:  # noqa: BLE001 - any failure is reported and cleaned up
        check(False, f"{name}: {e}")
        print(net.router_log())
    finally:
        if probe is not None:
            probe.close()
        net.close()


def mapped_and_removed(net, probe, method):
    wan = PUBLIC_WAN[0]
    conv, data = probe.ports
    check(not dial(wan, conv), "before mapping the call is refused")
    state, logs, _ = probe.command("listen")
    print("\n".join(logs))
    check(state[0] == "1" and state[1] == wan, f"both ports mapped on {wan}: {state}")
    check(sum("ルーターのポートを開きました" in line and f"{wan}:" in line and method in line
              for line in logs) == 2, f"one line per mapped port, naming {wan} and {method}")
    mapped = [line for line in logs if "開きました" in line]
    check([line[-3:] for line in mapped] == ["[1]", "[2]"],
          "each mapped port is in the state by the time its line is said")
    externals = {int(p.split(":")[0]): int(p.split(":")[1]) for p in state[2:]}
    check(dial(wan, externals.get(conv, conv)), "after mapping the call is answered")
    check(dial(wan, externals.get(data, data)), "the transfer port is reachable too")
    transfer_through_mapping(net, probe, wan, externals.get(data, data))
    state, logs, _ = probe.command("stop")
    check(state[0] == "0" and len(state) == 2, "listening off: nothing mapped")
    check(sum("を閉じました" in line for line in logs) == 2, "one line per removed port")
    check(all(line.endswith("[0]") for line in logs if "を閉じました" in line),
          "removed ports are gone from the state by the time their lines are said")
    check(not dial(wan, externals.get(conv, conv)), "after listening off the call is refused")
    # Mapped again, then the program ends: quitting removes the mappings too.
    probe.command("listen")
    check(dial(wan, externals.get(conv, conv)), "mapped again")
    probe.close()
    check(not dial(wan, externals.get(conv, conv)), "quitting removed the mapping")


def transfer_through_mapping(net, probe, wan, port):
    """A file from the wan caller to the router's public address, forwarded to the listener."""
    source, target = os.path.join(net.folder, "sent.bin"), os.path.join(net.folder, "got.bin")
    data = os.urandom(3 * 1024 * 1024 + 17)
    with open(source, "wb") as f:
        f.write(data)
    probe.proc.stdin.write(f"receive {PUBLIC_WAN[1]} {len(data)} {target}\n".encode())
    probe.proc.stdin.flush()
    probe.read_until("RECEIVING", 10)
    sent = sh(PROBE, "send", wan, str(port), source, ns=NS_WAN, check_rc=False, timeout=90)
    received = probe.read_until("RECEIVED", 60)
    probe.read_until("READY", 10)
    ok = received == "RECEIVED 1" and "SENT 1" in sent.stdout
    with open(target, "rb") as f:
        check(ok and f.read() == data, f"a file crosses the mapping to the listener ({len(data)} "
                                       f"bytes via {wan}:{port})")


def conflict(net, probe):
    wan = PUBLIC_WAN[0]
    state, _, _ = probe.command("listen")
    check(state[0] == "1", "the first computer has its ports")
    # A second computer behind the same router wants the same ports: the router refuses, and
    # the refusal is said with its code; the first computer keeps its mapping.
    other = Probe(NS_LAN2, probe.ports)
    try:
        state, logs, _ = other.command("listen")
        print("\n".join(logs))
        check(state[0] == "0", "the second computer gets no mapping")
        check(sum("拒否" in line and "718" in line for line in logs) == 2,
              "each refused port is one line with code 718")
    finally:
        other.close()
    check(dial(wan, probe.ports[0]), "the first computer is still reachable")


def double_nat(net, probe):
    _, logs, _ = probe.command("listen")
    print("\n".join(logs))
    # miniupnpd does not tell a private external address (it reports itself not connected);
    # a router that tells it gets the line with its address.
    check(any("二重 NAT" in line for line in logs), "a private WAN address gives the double-NAT line")


def no_router(net, probe):
    state, logs, seconds = probe.command("listen")
    print("\n".join(logs), f"({seconds:.2f} s)")
    check(state[0] == "0", "nothing mapped")
    check(any("ルーターが見つかりません" in line for line in logs), "the no-router line")
    check(seconds < 10, f"no router said within a few seconds ({seconds:.2f} s)")


def address_change(net, probe):
    wan = PUBLIC_WAN[0]
    conv = probe.ports[0]
    state, _, _ = probe.command("listen")
    check(state[0] == "1", "mapped before the address changes")
    # An IPv6 address coming and going changes nothing the router maps: no new mapping.
    sh("ip", "-6", "addr", "add", "2001:db8:77::9/64", "dev", "l0", "nodad", ns=NS_LAN)
    sh("ip", "-6", "addr", "del", "2001:db8:77::9/64", "dev", "l0", ns=NS_LAN)
    time.sleep(2)  # four times the probe's quiet time
    _, logs, _ = probe.command("listen")  # the same ports: nothing to do
    check(logs == [], f"an IPv6 address change leaves the mappings alone: {logs}")
    # The machine gets a new address and loses the old one, as with a new DHCP lease.
    sh("sysctl", "-qw", "net.ipv4.conf.l0.promote_secondaries=1", ns=NS_LAN)
    sh("ip", "addr", "add", "192.168.77.3/24", "dev", "l0", ns=NS_LAN)
    sh("ip", "addr", "del", "192.168.77.2/24", "dev", "l0", ns=NS_LAN)
    sh("ip", "route", "replace", "default", "via", "192.168.77.1", ns=NS_LAN)
    began = time.monotonic()
    start = len(probe.lines)
    probe.read_until("LOG このＰＣのアドレスが変わりました", 20)
    probe.read_until("LOG ルーターのポートを開きました", 30)
    probe.read_until("LOG ルーターのポートを開きました", 30)
    print("\n".join(probe.lines[start:]), f"({time.monotonic() - began:.1f} s)")
    check(dial(wan, conv), "the call reaches the machine at its new address")
    accepted = probe.read_until("ACCEPT", 5)
    check("192.168.77" not in accepted, f"the caller is the outside one: {accepted}")


def rss_peak_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0


def garbage_router(mode, reason):
    def body(net, probe):
        state, logs, seconds = probe.command("listen")
        print("\n".join(logs), f"({seconds:.1f} s, peak {rss_peak_mb(probe.proc.pid):.0f} MB)")
        check(state[0] == "0" and not any("開きました" in line for line in logs),
              f"{mode}: nothing mapped")
        check(len(logs) == 1 and ("開けません" in logs[0] or "見つかりません" in logs[0]),
              f"{mode}: one plain failure line")
        check(reason in logs[0], f"{mode}: it says why: {reason}")
        check(seconds < 45, f"{mode}: said within the attempt's bound ({seconds:.1f} s)")
        check(rss_peak_mb(probe.proc.pid) < 150, f"{mode}: memory stays bounded")
        # The program keeps working: its listener answers and it takes the next command.
        code = (f"import socket; s = socket.create_connection(('192.168.77.2', "
                f"{probe.ports[0]}), 3); print('connected')")
        check("connected" in sh("/usr/bin/python3", "-c", code, ns=NS_ROUTER,
                                check_rc=False).stdout, f"{mode}: the listener still answers")
        probe.read_until("ACCEPT", 5)
        state, _, seconds = probe.command("stop")
        check(state[0] == "0" and seconds < 10, f"{mode}: the next command is dealt with")
    return body


def shots(exe, out):
    """Pictures of the program showing a real mapping and global IPv6 addresses (not a test)."""
    net = Network()
    try:
        for address in ("2001:db8:77::2/64", "2001:db8:77:0:5054:ff:fe12:3456/64"):
            sh("ip", "-6", "addr", "add", address, "dev", "l0", "nodad", ns=NS_LAN)
        runner = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e",
                              "run_reach_shots.sh")
        return subprocess.run(["ip", "netns", "exec", NS_LAN, "bash", runner, exe, out]).returncode
    finally:
        net.close()


def main():
    if ONLY == "shots":
        return shots(sys.argv[3], sys.argv[4])
    if os.geteuid() != 0 or shutil.which("miniupnpd") is None or shutil.which("nft") is None:
        print("skipped: needs root, miniupnpd and nft")
        return 77
    scenario("UPnP", lambda n, p: mapped_and_removed(n, p, "UPnP"))
    scenario("NAT-PMP alone", lambda n, p: mapped_and_removed(n, p, "NAT-PMP"), upnp=False)
    scenario("port taken by another computer", conflict)
    scenario("double NAT", double_nat, wan=PRIVATE_WAN)
    scenario("no router", no_router, router=False)
    scenario("address change", address_change, secure=False)
    for mode, reason in (("garbage", "ポート転送の機能がありません"), ("huge", "大きすぎます"),
                         ("drip", "時間内に終わりません"), ("endless", "大きすぎます"),
                         ("flood", "ポート転送の機能がありません")):
        scenario(f"router answering garbage: {mode}", garbage_router(mode, reason), fake=mode)
    left = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    check(str(PID) not in left, "every namespace of this run is gone")
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
