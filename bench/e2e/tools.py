"""The three synchronisers the end-to-end benchmark drives on loopback.

Each tool gives its side A and side B folder for a data set, `kick` (what
a user would do after writing: nothing for the two that watch, push then
pull for rsync), `settle` (wait until it has nothing left to do), and the
bytes it put on the wire, counted by e2e_forwarder processes that every
connection goes through.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import time
import urllib.request
import xml.etree.ElementTree as ET


def now():
    return time.monotonic()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def await_true(what, pred, deadline_s, poll=0.05):
    """Polls `pred` until it is true; raises TimeoutError naming `what`."""
    end = now() + deadline_s
    while True:
        if pred():
            return
        if now() > end:
            raise TimeoutError("gave up after %.0f s waiting for %s" % (deadline_s, what))
        time.sleep(poll)


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class Forwarder:
    """An e2e_forwarder process in front of 127.0.0.1:`target`."""

    def __init__(self, binary, target):
        self.proc = subprocess.Popen([binary, str(target)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "port":
            raise RuntimeError("e2e_forwarder did not start: %r" % line)
        self.port = int(line[1])

    def _ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().split()

    def count(self):
        """(bytes towards the target, bytes back) since the last reset."""
        reply = self._ask("count")
        return int(reply[0]), int(reply[1])

    def reset(self):
        self._ask("reset")

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def stop_process(proc, sig=signal.SIGTERM, wait_s=20):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(sig)
    try:
        proc.wait(wait_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class Rsync:
    """An rsync daemon on loopback behind a counting forwarder; A pushes,
    then B pulls (two runs of the rsync client, no watching)."""

    name = "rsync"

    def __init__(self, work, forwarder_bin):
        self.root = os.path.join(work, "rsync")
        self.server = os.path.join(self.root, "server")
        os.makedirs(self.server)
        port = free_port()
        conf = os.path.join(self.root, "rsyncd.conf")
        with open(conf, "w") as f:
            f.write("pid file = %s/rsyncd.pid\nuse chroot = false\n[bench]\n  path = %s\n  read only = false\n"
                    "  uid = %d\n  gid = %d\n" % (self.root, self.server, os.getuid(), os.getgid()))
        self.daemon = subprocess.Popen(["rsync", "--daemon", "--no-detach", "--config=" + conf, "--port=%d" % port,
                                        "--address=127.0.0.1", "--log-file=" + os.path.join(self.root, "rsyncd.log")])
        await_true("the rsync daemon to listen", lambda: port_open(port), 30)
        self.fwd = Forwarder(forwarder_bin, port)

    def a(self, s):
        return os.path.join(self.root, "a", s)

    def b(self, s):
        return os.path.join(self.root, "b", s)

    def prepare(self, s):
        os.makedirs(self.a(s), exist_ok=True)
        os.makedirs(self.b(s), exist_ok=True)

    def kick(self, s):
        url = "rsync://127.0.0.1:%d/bench/%s/" % (self.fwd.port, s)
        subprocess.run(["rsync", "-a", "--delete", self.a(s) + "/", url], check=True)
        subprocess.run(["rsync", "-a", "--delete", url, self.b(s) + "/"], check=True)

    def settle(self, s):
        pass

    def reset_bytes(self):
        self.fwd.reset()

    def wire_bytes(self):
        return self.fwd.count()

    def close(self):
        self.fwd.close()
        stop_process(self.daemon)


class Syncthing:
    """Two Syncthing instances on loopback, each told the other's static
    address (through a counting forwarder), with global and local
    discovery, relays, NAT traversal, usage reporting, crash reporting and
    upgrades off, file-watcher delay 1 s, homes under the work folder."""

    name = "Syncthing"

    def __init__(self, work, forwarder_bin, sets):
        self.root = os.path.join(work, "syncthing")
        self.sets = sets
        self.procs = {}
        self.ids = {}
        self.gui = {}
        self.key = "tidewell-bench-key"
        listen = {}
        for side in "ab":
            home = self.home(side)
            subprocess.run(["syncthing", "generate", "--home=" + home, "--no-default-folder"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.ids[side] = subprocess.run(["syncthing", "serve", "--home=" + home, "--device-id"], check=True,
                                            capture_output=True, text=True).stdout.strip()
            listen[side] = free_port()
            self.gui[side] = free_port()
        # Each side reaches the other through a forwarder, so that whichever
        # connection wins, its bytes are counted.
        self.fwd = {side: Forwarder(forwarder_bin, listen[side]) for side in "ab"}
        for side in "ab":
            other = "b" if side == "a" else "a"
            self._configure(side, other, listen[side], self.fwd[other].port)
        for side in "ab":
            env = dict(os.environ, STNOUPGRADE="1", STNORESTART="1", HOME=self.home(side))
            log = open(os.path.join(self.root, "%s.log" % side), "w")
            self.procs[side] = subprocess.Popen(
                ["syncthing", "serve", "--home=" + self.home(side), "--no-browser", "--no-restart", "--no-upgrade",
                 "--no-default-folder"], stdout=log, stderr=subprocess.STDOUT, env=env)
        await_true("both Syncthing instances to answer", lambda: all(self._ping(s) for s in "ab"), 120, 0.2)
        await_true("the Syncthing instances to connect", self._connected, 120, 0.2)
        for s in sets:
            self.settle(s)

    def home(self, side):
        return os.path.join(self.root, side, "home")

    def a(self, s):
        return os.path.join(self.root, "a", "data", s)

    def b(self, s):
        return os.path.join(self.root, "b", "data", s)

    def _configure(self, side, other, listen_port, other_address_port):
        path = os.path.join(self.home(side), "config.xml")
        tree = ET.parse(path)
        cfg = tree.getroot()
        for f in cfg.findall("folder"):
            cfg.remove(f)
        other_dev = ET.SubElement(cfg, "device", {"id": self.ids[other], "name": other, "compression": "metadata",
                                                  "introducer": "false", "skipIntroductionRemovals": "false",
                                                  "introducedBy": ""})
        ET.SubElement(other_dev, "address").text = "tcp://127.0.0.1:%d" % other_address_port
        ET.SubElement(other_dev, "paused").text = "false"
        ET.SubElement(other_dev, "autoAcceptFolders").text = "false"
        for s in self.sets:
            folder_path = self.a(s) if side == "a" else self.b(s)
            os.makedirs(os.path.join(folder_path, ".stfolder"), exist_ok=True)
            f = ET.SubElement(cfg, "folder", {"id": s, "label": s, "path": folder_path, "type": "sendreceive",
                                              "rescanIntervalS": "3600", "fsWatcherEnabled": "true",
                                              "fsWatcherDelayS": "1", "ignorePerms": "false",
                                              "autoNormalize": "true"})
            ET.SubElement(f, "filesystemType").text = "basic"
            for d in "ab":
                ET.SubElement(f, "device", {"id": self.ids[d], "introducedBy": ""})
        gui = cfg.find("gui")
        gui.set("tls", "false")
        gui.find("address").text = "127.0.0.1:%d" % self.gui[side]
        gui.find("apikey").text = self.key
        opts = cfg.find("options")
        settings = {
            "listenAddress": "tcp://127.0.0.1:%d" % listen_port,
            "globalAnnounceEnabled": "false",
            "localAnnounceEnabled": "false",
            "relaysEnabled": "false",
            "natEnabled": "false",
            "urAccepted": "-1",
            "crashReportingEnabled": "false",
            "autoUpgradeIntervalH": "0",
            "startBrowser": "false",
            # Left at its default, Syncthing lowers its own CPU priority; on a
            # shared machine that would handicap it against the others.
            "setLowPriority": "false",
        }
        for k, v in settings.items():
            el = opts.find(k)
            if el is None:
                el = ET.SubElement(opts, k)
            el.text = v
        tree.write(path)

    def _rest(self, side, path):
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.gui[side], path),
                                     headers={"X-API-Key": self.key})
        with urllib.request.urlopen(req, timeout=10) as r:
            return json.load(r)

    def _ping(self, side):
        try:
            return self._rest(side, "/rest/system/ping").get("ping") == "pong"
        except OSError:
            return False

    def _connected(self):
        conns = self._rest("a", "/rest/system/connections")["connections"]
        return conns.get(self.ids["b"], {}).get("connected", False)

    def _idle(self, s):
        for side in "ab":
            st = self._rest(side, "/rest/db/status?folder=" + s)
            if st.get("state") != "idle" or st.get("needTotalItems", 0) != 0:
                return False
        for side, other in (("a", "b"), ("b", "a")):
            c = self._rest(side, "/rest/db/completion?folder=%s&device=%s" % (s, self.ids[other]))
            if c.get("completion", 0) < 100 or c.get("needItems", 0) != 0:
                return False
        return True

    def prepare(self, s):
        pass

    def kick(self, s):
        pass

    def settle(self, s):
        await_true("Syncthing to be idle on " + s, lambda: self._idle(s), 600, 0.2)

    def reset_bytes(self):
        for f in self.fwd.values():
            f.reset()

    def wire_bytes(self):
        """(bytes A sent, bytes B sent), whichever side dialled."""
        a_sent = b_sent = 0
        # fwd["b"] carries A's dial to B: towards the target is A's side.
        to_target, back = self.fwd["b"].count()
        a_sent += to_target
        b_sent += back
        to_target, back = self.fwd["a"].count()
        b_sent += to_target
        a_sent += back
        return a_sent, b_sent

    def pids(self):
        return {side: p.pid for side, p in self.procs.items()}

    def close(self):
        for p in self.procs.values():
            stop_process(p)
        for f in self.fwd.values():
            f.close()


class Tidewell:
    """tidewell-server on loopback behind a counting forwarder, and two
    clients, each a `tidewell` instance (and so a tidewell-daemon) with a
    home, configuration, state and runtime folder of its own."""

    name = "Tidewell"

    def __init__(self, work, forwarder_bin, bin_dir, sets):
        self.root = os.path.join(work, "tidewell")
        self.bin = bin_dir
        os.makedirs(self.root)
        data = os.path.join(self.root, "server")
        init = subprocess.run([self.prog("tidewell-server"), "init", "--data", data], check=True,
                              capture_output=True, text=True).stdout
        fields = dict(line.split("=", 1) for line in init.splitlines() if "=" in line)
        self.server_log = os.path.join(self.root, "server.log")
        self.server = subprocess.Popen([self.prog("tidewell-server"), "serve", "--data", data, "--listen",
                                        "127.0.0.1:0"], stdout=open(self.server_log, "w"), stderr=subprocess.STDOUT)
        self.port = None

        def listening():
            for line in open(self.server_log):
                if line.startswith("listening 127.0.0.1:"):
                    self.port = int(line.strip().rsplit(":", 1)[1])
                    return True
            return False

        await_true("tidewell-server to listen", listening, 60, 0.1)
        self.fwd = Forwarder(forwarder_bin, self.port)
        self.ca = os.path.join(data, "server.crt")
        for side in "ab":
            os.makedirs(self.folder(side))
            args = ["login", "127.0.0.1:%d" % self.fwd.port, "--token", fields["session"], "--view",
                    fields["view_id"], "--name", side]
            if os.path.exists(self.ca):
                args += ["--ca-file", self.ca]
            self.cli(side, *args)
            self.cli(side, "add", self.folder(side))
        for side in "ab":
            self.cli(side, "start")
        for s in sets:
            self.prepare(s)
        self.settle(None)

    def prog(self, name):
        return os.path.join(self.bin, name)

    def env(self, side):
        home = os.path.join(self.root, side)
        return dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/config", XDG_STATE_HOME=home + "/state",
                    XDG_RUNTIME_DIR=home + "/run")

    def cli(self, side, *args, check=True):
        os.makedirs(os.path.join(self.root, side, "run"), mode=0o700, exist_ok=True)
        r = subprocess.run([self.prog("tidewell")] + list(args), env=self.env(side), capture_output=True, text=True,
                           timeout=300)
        if check and r.returncode != 0:
            raise RuntimeError("tidewell %s (%s) failed: %s%s" % (" ".join(args), side, r.stdout, r.stderr))
        return r

    def folder(self, side):
        return os.path.join(self.root, side, "Sync")

    def a(self, s):
        return os.path.join(self.folder("a"), s)

    def b(self, s):
        return os.path.join(self.folder("b"), s)

    def prepare(self, s):
        pass

    def kick(self, s):
        pass

    def status(self, side):
        r = self.cli(side, "status", "--json", check=False)
        try:
            return json.loads(r.stdout)
        except ValueError:
            return None

    def _idle(self):
        for side in "ab":
            st = self.status(side)
            if not st or not st.get("running") or st.get("transfers"):
                return False
            for sess in st.get("sessions", []):
                if sess.get("pending", 1) != 0 or sess.get("state") != "up to date":
                    return False
        return True

    def settle(self, s):
        await_true("both Tidewell clients to be idle", self._idle, 900, 0.5)

    def daemon_pid(self, side):
        """The running tidewell-daemon of `side`: the one whose command line
        or environment names this side's folders (the front end starts it)."""
        mine = os.path.join(self.root, side).encode()
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                if not os.readlink("/proc/%s/exe" % pid).endswith("/tidewell-daemon"):
                    continue
                seen = b""
                for part in ("cmdline", "environ"):
                    with open("/proc/%s/%s" % (pid, part), "rb") as f:
                        seen += f.read()
                if mine + b"/" in seen:
                    return int(pid)
            except OSError:
                continue
        raise RuntimeError("no tidewell-daemon of side %s is running" % side)

    def reset_bytes(self):
        self.fwd.reset()

    def wire_bytes(self):
        """(bytes clients sent to the server, bytes the server sent)."""
        return self.fwd.count()

    def close(self):
        for side in "ab":
            try:
                self.cli(side, "stop", check=False)
            except subprocess.TimeoutExpired:
                pass
        self.fwd.close()
        stop_process(self.server)
