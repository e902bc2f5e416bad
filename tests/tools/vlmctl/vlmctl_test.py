"""vlmctl against simulated printers on several links.

Run inside scripts/netns-run: the test's namespace has only loopback; each
printer that sits behind a "second card" gets a namespace of its own,
joined to the test's by a veth pair (192.0.2.0/24 and 198.51.100.0/24,
documentation ranges that route nowhere).

    netns-run python3 vlmctl_test.py [TestCase.test_name]

The programs come from the environment: VLMCTL, VLMPRINTER, VLMHOST,
TOOL_SEARCH (the configuration tool's own search).
"""
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
VLMCTL = os.environ.get("VLMCTL", "vlmctl")
VLMPRINTER = os.environ.get("VLMPRINTER", "vlmprinter")
VLMHOST = os.environ.get("VLMHOST", "vlmhost")
TOOL_SEARCH = os.environ.get("TOOL_SEARCH", "tool_search")
LIMIT_S = 20  # every wait for a process's line is bounded by this
TRANSCRIPT = os.environ.get("VLMCTL_TRANSCRIPT")  # a file the road appends its commands and outputs to


def links():
    with open("/proc/self/net/dev") as dev:
        return [line.split(":")[0].strip() for line in dev if ":" in line]


class Process:
    """A child whose standard output is read line by line, bounded."""

    def __init__(self, args, **kwargs):
        self.args = args
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
        os.set_blocking(self.proc.stdout.fileno(), False)
        self.buffer = ""
        self.lines = []

    def wait_for(self, pattern):
        deadline = time.monotonic() + LIMIT_S
        while time.monotonic() < deadline:
            for line in self.lines:
                if re.search(pattern, line):
                    return line
            try:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
            except BlockingIOError:
                chunk = None
            if chunk:
                self.buffer += chunk.decode("utf-8", "replace")
                *done, self.buffer = self.buffer.split("\n")
                self.lines.extend(done)
                continue
            if self.proc.poll() is not None and chunk is not None:
                break
            time.sleep(0.01)
        raise AssertionError("%s never said %r; it said:\n%s" % (self.args[0], pattern,
                                                                  "\n".join(self.lines + [self.buffer])))

    def text(self):
        """What it said so far, for a failure's message."""
        try:
            self.wait_for(r"(?!)") if self.proc.poll() is not None else None
        except AssertionError:
            pass
        return "\n%s said:\n%s\n" % (os.path.basename(self.args[0]), "\n".join(self.lines + [self.buffer]))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


class Link:
    """A namespace of its own behind a veth pair: `host` on our side,
    the device's addresses on its eth0, `command` run in it."""

    def __init__(self, name, host_address, addresses, command):
        self.name = name
        self.process = Process(["unshare", "--net", "--", os.path.join(HERE, "in_namespace.sh")] + addresses +
                               ["--"] + command)
        pid = self.process.wait_for(r"^namespace pid \d+").split()[-1]
        subprocess.run(["ip", "link", "add", name, "type", "veth", "peer", "name", "eth0", "netns", pid], check=True)
        subprocess.run(["ip", "addr", "add", host_address, "dev", name], check=True)
        subprocess.run(["ip", "link", "set", name, "up"], check=True)

    def stop(self):
        self.process.stop()
        # The pair goes with the namespace; what is left is ours to delete.
        if self.name in links():
            subprocess.run(["ip", "link", "del", self.name], check=False, stderr=subprocess.DEVNULL)


def printer_command(mac, address, jobs, *extra):
    return [VLMPRINTER, "--udp", "--any-network", "--any-address", "--listen", address + ":9100", "--mac", mac,
            "--mask", "255.255.255.0", "--jobs", jobs] + list(extra)


def run(*args, root=None):
    command = [VLMCTL] + (["--root", root] if root else []) + list(args)
    result = subprocess.run(command, capture_output=True, text=True, timeout=60)
    if TRANSCRIPT:
        with open(TRANSCRIPT, "a") as out:
            out.write("$ vlmctl %s\n%s%s[exit %d]\n\n" % (" ".join(args), result.stdout, result.stderr,
                                                         result.returncode))
    return result


def registry_dword(root, port, name):
    """The REG_DWORD as stored: its 4 bytes, read with vlmreg."""
    result = subprocess.run([os.environ["VLMREG"], "QUERY", "HKLM\\SOFTWARE\\VELMORA\\KORDIA\\" + port, "/v", name],
                            capture_output=True, text=True, env=dict(os.environ, VLM_SYSTEM_ROOT=root))
    if result.returncode != 0:
        return None
    value = int(re.search(r"REG_DWORD\s+0x([0-9a-fA-F]+)", result.stdout).group(1), 16)
    return struct.pack("<I", value)


class Network(unittest.TestCase):
    """Printers on loopback and behind two veth pairs."""

    def setUp(self):
        self.assertEqual(links(), ["lo"], "run this through scripts/netns-run")
        self.work = tempfile.mkdtemp(prefix="vlmctl-test-")
        self.root = os.path.join(self.work, "root")
        os.mkdir(self.root)
        self.cleanups = []

    def tearDown(self):
        for stop in reversed(self.cleanups):
            stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def jobs(self, name):
        path = os.path.join(self.work, name)
        os.makedirs(path, exist_ok=True)
        return path

    def local_printer(self, mac, *extra):
        process = Process([VLMPRINTER, "--udp", "--listen", "127.0.0.1:0", "--mac", mac, "--jobs",
                           self.jobs("lo-" + mac[-2:])] + list(extra))
        self.cleanups.append(process.stop)
        process.wait_for(r"^udp on")
        return process

    def link(self, name, host_address, addresses, command, ready=r"^udp on"):
        link = Link(name, host_address, addresses, command)
        self.cleanups.append(link.stop)
        link.process.wait_for(ready)
        return link

    def two_links(self, first_extra=()):
        """Printer B behind vlmb (192.0.2.2), printer C behind vlmc
        (198.51.100.2)."""
        self.b = self.link("vlmb", "192.0.2.1/24", ["192.0.2.2/24"],
                           printer_command("02:00:00:00:0b:01", "192.0.2.2", self.jobs("b"), *first_extra))
        self.c = self.link("vlmc", "198.51.100.1/24", ["198.51.100.2/24"],
                           printer_command("02:00:00:00:0c:01", "198.51.100.2", self.jobs("c")))

    def search(self, *args):
        result = run("search", "--json", "--timeout", "1500", *args, root=self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        return {p["mac"]: p for p in json.loads(result.stdout)}

    def host(self, *ports):
        args = [VLMHOST, "--root", self.root]
        for port in ports:
            args += ["--create-port", port]
        host = Process(args)
        self.cleanups.append(host.stop)
        host.wait_for("serving")
        return host

    def add_ports(self, *ports):
        """Virtual ports as an installer adds them (vlmdevcon: COM3 up)."""
        for port in ports:
            made = subprocess.run([os.environ["VLMDEVCON"], "--root", self.root, "install", os.environ["VLM_INF"],
                                   "Mirka\\kordia"], capture_output=True, text=True, timeout=60)
            self.assertEqual(made.returncode, 0, made.stderr)
            self.assertTrue(made.stdout.startswith(port + " "), made.stdout)


class SearchTest(Network):
    def test_finds_printers_on_every_interface_each_with_its_interface(self):
        self.local_printer("02:00:00:00:0a:01")
        self.two_links()
        found = self.search()
        self.assertEqual(sorted(found), ["02:00:00:00:0a:01", "02:00:00:00:0b:01", "02:00:00:00:0c:01"])
        self.assertEqual(found["02:00:00:00:0b:01"]["interfaces"], ["vlmb"])
        self.assertEqual(found["02:00:00:00:0c:01"]["interfaces"], ["vlmc"])
        self.assertEqual(found["02:00:00:00:0a:01"]["interfaces"], ["lo"])
        b = found["02:00:00:00:0b:01"]
        self.assertEqual((b["ip"], b["mask"], b["gateway"], b["port"]), ("192.0.2.2", "255.255.255.0", "0.0.0.0", 9100))
        self.assertEqual((b["baud"], b["baud_code"], b["firmware"], b["dhcp"], b["inactivity"]),
                         (9600, 0xF4, "1.0", False, 0))
        self.assertIsNone(b["assigned"])
        self.assertEqual(b["conflicts"], [])
        # The table names every printer with its interface.
        table = run("search", "--timeout", "1500", root=self.root)
        self.assertEqual(table.returncode, 0)
        self.assertRegex(table.stdout, r"02:00:00:00:0c:01\s+198\.51\.100\.2\s.*\svlmc\s")

    def test_the_tools_own_search_misses_the_second_card_that_vlmctl_finds(self):
        self.local_printer("02:00:00:00:0a:01")
        self.two_links()
        tool = subprocess.run([TOOL_SEARCH, "1500"], capture_output=True, text=True, timeout=30)
        self.assertEqual(tool.returncode, 0, tool.stderr)
        self.assertEqual(tool.stdout.split(), ["02:00:00:00:0a:01"])
        self.assertIn("02:00:00:00:0c:01", self.search())

    def test_interface_option_limits_the_subnet_broadcasts(self):
        self.two_links()
        found = self.search("--interface", "vlmc")
        self.assertEqual(list(found), ["02:00:00:00:0c:01"])
        unknown = run("search", "--interface", "nosuch0", root=self.root)
        self.assertEqual(unknown.returncode, 2)
        self.assertIn("nosuch0", unknown.stderr)

    def test_conflicts_two_macs_one_address_and_an_address_off_its_subnet(self):
        # The loopback printer tells B's address.
        self.local_printer("02:00:00:00:0a:01", "--ip", "192.0.2.2", "--any-address")
        self.two_links()
        found = self.search()
        a, b = found["02:00:00:00:0a:01"], found["02:00:00:00:0b:01"]
        self.assertIn("address 192.0.2.2 also claimed by 02:00:00:00:0b:01", a["conflicts"])
        self.assertIn("address 192.0.2.2 is not in the subnet of lo (127.0.0.0/8)", a["conflicts"])
        self.assertEqual(b["conflicts"], ["address 192.0.2.2 also claimed by 02:00:00:00:0a:01"])
        self.assertEqual(found["02:00:00:00:0c:01"]["conflicts"], [])
        table = run("search", "--timeout", "1500", root=self.root)
        self.assertIn("conflict: 02:00:00:00:0b:01: address 192.0.2.2 also claimed by 02:00:00:00:0a:01", table.stdout)


class ConfigureTest(Network):
    def test_configure_verified_then_assigned(self):
        self.add_ports("COM3")
        self.two_links()
        result = run("configure", "02:00:00:00:0c:01", "--port", "9101", "--baud", "19200", "--inactivity", "30",
                     "--assign", "COM3", root=self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("02:00:00:00:0c:01: verified", result.stdout)
        c = self.search()["02:00:00:00:0c:01"]
        self.assertEqual((c["port"], c["baud"], c["inactivity"], c["ip"]), (9101, 19200, 30, "198.51.100.2"))
        self.assertEqual(c["assigned"], "COM3")
        self.assertEqual(registry_dword(self.root, "COM3", "IPAddress"), bytes([198, 51, 100, 2]))
        self.assertEqual(registry_dword(self.root, "COM3", "Port"), bytes([0x23, 0x8D, 0, 0]))

    def test_configure_without_setc_fails_and_assigns_nothing(self):
        self.add_ports("COM3")
        self.two_links(first_extra=("--no-setc",))
        result = run("configure", "02:00:00:00:0b:01", "--port", "9101", "--assign", "COM3", "--timeout", "800",
                     root=self.root)
        self.assertEqual(result.returncode, 1)
        self.assertIn('no "SETC"', result.stderr)
        self.assertIsNone(registry_dword(self.root, "COM3", "IPAddress"))

    def test_a_forged_setc_does_not_pass_for_a_save(self):
        self.add_ports("COM3")
        record = bytes([2, 0, 0, 0, 0x0b, 0x02, 192, 0, 2, 7, 255, 255, 255, 0, 0, 0, 0, 0, 0x23, 0x8C, 0xF4, 1, 0,
                        0, 0, 0])
        # A printer that takes no settings, and another device on its link
        # that confirms every save.
        link = self.link("vlmb", "192.0.2.1/24", ["192.0.2.7/24"],
                         ["python3", os.path.join(HERE, "udp_device.py"), "imin", record.hex()], ready="udp ready")
        forger = Process(["nsenter", "--net=/proc/%d/ns/net" % link.process.proc.pid, "python3",
                          os.path.join(HERE, "udp_device.py"), "setc"])
        self.cleanups.append(forger.stop)
        forger.wait_for("udp ready")
        result = run("configure", "02:00:00:00:0b:02", "--port", "9101", "--assign", "COM3", "--timeout", "800",
                     root=self.root)
        forger.wait_for("forged SETC")
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("not verified", result.stderr)
        self.assertIsNone(registry_dword(self.root, "COM3", "IPAddress"))

    def test_bad_input_is_refused_before_anything_is_sent(self):
        self.add_ports("COM3")
        for args in (["configure", "02:00:00:00:0b"], ["configure", "02:00:00:00:0b:01", "--ip", "192.0.2.300"],
                     ["configure", "02:00:00:00:0b:01", "--baud", "14400"],
                     ["configure", "02:00:00:00:0b:01", "--port", "70000"],
                     ["configure", "02:00:00:00:0b:01", "--assign", "COM9"],
                     ["configure", "02:00:00:00:0b:01", "--dhcp", "maybe"]):
            result = run(*args, root=self.root)
            self.assertEqual(result.returncode, 2, args)
            self.assertTrue(result.stderr.startswith("vlmctl: "), result.stderr)


class AssignTest(Network):
    def test_assign_writes_the_tools_bytes_and_moves_only_when_told(self):
        self.add_ports("COM3", "COM4")
        result = run("assign", "COM3", "192.0.2.2:9100", root=self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(registry_dword(self.root, "COM3", "IPAddress"), bytes([192, 0, 2, 2]))
        self.assertEqual(registry_dword(self.root, "COM3", "Port"), bytes([0x23, 0x8C, 0, 0]))
        self.assertEqual(registry_dword(self.root, "COM3", "Port_"), struct.pack("<I", 9100))
        # The same printer on another port: reported, not written.
        again = run("assign", "COM4", "192.0.2.2:9100", root=self.root)
        self.assertEqual(again.returncode, 1)
        self.assertIn("assigned to COM3 already", again.stderr)
        self.assertIsNone(registry_dword(self.root, "COM4", "IPAddress"))
        moved = run("assign", "COM4", "192.0.2.2:9100", "--move", root=self.root)
        self.assertEqual(moved.returncode, 0, moved.stderr)
        self.assertIsNone(registry_dword(self.root, "COM3", "IPAddress"))
        self.assertEqual(registry_dword(self.root, "COM4", "IPAddress"), bytes([192, 0, 2, 2]))
        self.assertEqual(run("detach", "COM4", root=self.root).returncode, 0)
        self.assertIsNone(registry_dword(self.root, "COM4", "IPAddress"))
        self.assertEqual(run("detach", "COM4", root=self.root).returncode, 1)

    def test_assign_by_mac_finds_the_printer_on_its_link(self):
        self.add_ports("COM3")
        self.two_links()
        result = run("assign", "COM3", "02:00:00:00:0c:01", root=self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(registry_dword(self.root, "COM3", "IPAddress"), bytes([198, 51, 100, 2]))

    def test_bad_input_writes_nothing(self):
        self.add_ports("COM3")
        for args in (["assign", "COM7", "192.0.2.2:9100"], ["assign", "COM3", "192.0.2.2:0"],
                     ["assign", "COM3", "192.0.2:9100"], ["assign", "COM3", "02:00:00:00:0c"],
                     ["assign", "LPT1", "192.0.2.2:9100"], ["detach", "com3"], ["ports", "extra"], ["frobnicate"]):
            result = run(*args, root=self.root)
            self.assertEqual(result.returncode, 2, (args, result.stderr))
        self.assertIsNone(registry_dword(self.root, "COM3", "IPAddress"))


class RoadTest(Network):
    def test_the_headless_road(self):
        """Search, configure with verification and assignment, test print,
        ports: against printers on two links, through a running vlmhost."""
        host = self.host("COM3")
        self.two_links()
        self.assertEqual(run("search", "--timeout", "1500", root=self.root).returncode, 0)
        configured = run("configure", "02:00:00:00:0b:01", "--port", "9101", "--baud", "115200", "--assign", "COM3",
                         root=self.root)
        self.assertEqual(configured.returncode, 0, configured.stderr)
        assigned = run("assign", "COM3", "02:00:00:00:0b:01", root=self.root)
        self.assertEqual(assigned.returncode, 0, assigned.stderr)
        printed = run("test-print", "COM3", root=self.root)
        self.assertEqual(printed.returncode, 0, printed.stderr + host.text() + self.b.process.text())
        self.b.process.wait_for(r"job 1: 193 bytes")
        with open(os.path.join(self.work, "b", "job-0001.prn"), "rb") as job:
            page = job.read()
        self.assertIn(b"Assinged Port :COM3", page)
        ports = run("ports", root=self.root)
        self.assertEqual(ports.returncode, 0, ports.stderr)
        self.assertRegex(ports.stdout, r"COM3\s+192\.0\.2\.2:9101\s+02:00:00:00:0b:01\s+no\s")
        listed = json.loads(run("ports", "--json", root=self.root).stdout)
        self.assertEqual(listed[0]["port"], "COM3")
        self.assertEqual(listed[0]["printer"], {"ip": "192.0.2.2", "port": 9101, "mac": "02:00:00:00:0b:01"})
        self.assertIs(listed[0]["open"], False)
        self.assertRegex(listed[0]["last_session"], r"session ended")


if __name__ == "__main__":
    unittest.main()
