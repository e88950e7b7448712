"""The Wine rig: runs the real Discmend.exe under Wine on an X server of its
own and drives it from outside through robot.exe (tools/robot). The scenario
tests, the main job and the benchmarks all run on it.

One Rig per session (Xvfb, a Wine prefix template); one Scenario per test: a
copy of the template with its own wineserver, files, settings, simulated
drives and processes, all ended when the scenario ends. Everything comes from
this checkout's build: build/win (Discmend.exe, WNASPI32.DLL, robot.exe) and
build/native (mkfixture), and build/ptdev (the preload that puts simulated
drives behind drive letters for the NT pass-through path).

Every wait is for a condition, with a limit in seconds of a native host;
limits are multiplied by DISCMEND_TIME_SCALE, which defaults to 8 where Wine
runs under CPU emulation (DISCMEND_EMULATED=1) and to 1 elsewhere.
"""

import atexit
import json
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from program import ids

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build" / "win"
MKFIXTURE = REPO / "build" / "native" / "mkfixture"
# $LIB stays literal: each dynamic loader picks the library of its own kind
# (the i386 preload, or an empty one for 64-bit programs).
PTDEV = REPO / "build" / "ptdev" / "$LIB" / "libptdev.so"
PTDEV_I386 = REPO / "build" / "ptdev" / "lib" / "i386-linux-gnu" / "libptdev.so"
SCALE = float(os.environ.get("DISCMEND_TIME_SCALE")
              or (8 if os.environ.get("DISCMEND_EMULATED") == "1" else 1))
WORK = "C:\\work"
CAPTION = "Discmend"
MSGBOX_TEXT_ID = 0xFFFF
FAMILIES = {"nt": "winxp", "9x": "win98"}
LOCALES = {"en": ("C.UTF-8", "cp1252"), "ja": ("ja_JP.UTF-8", "cp932")}
BASE_OVERRIDES = "mscoree,mshtml,winemenubuilder.exe="
EMULATOR_CRASH = "qemu: uncaught target signal"
HOST_FAULTS = {signal.SIGSEGV, signal.SIGBUS, signal.SIGILL, signal.SIGABRT}


class RigError(Exception):
    """The rig could not do its part (not a finding about the program)."""


def wait_until(read, limit, what):
    """Polls read() until it answers something true; answers that value."""
    end = time.monotonic() + limit * SCALE
    while True:
        value = read()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"{what}: not within {limit * SCALE:.0f} s (last: {value!r})")
        time.sleep(0.05)


def fnv1a64(data):
    h = 0xcbf29ce484222325
    for x in data:
        h = ((h ^ x) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def drive(adapter, target, product="HX-2150RA", revision="1.00", **settings):
    """One device of a simulated drives file."""
    lines = [f"[device {adapter} {target}]", f"product {product}", f"revision {revision}"]
    return "\n".join(lines + [f"{key} {value}" for key, value in settings.items()]) + "\n"


def text_mode(data):
    """What a text-mode read of a file delivers: CR LF as LF, nothing from
    the first 0x1A on."""
    return data.split(b"\x1a")[0].replace(b"\r\n", b"\n")


def _requests(path):
    """Request lines of a simulated drives' log, each a dict of its fields."""
    lines = path.read_text().splitlines() if path.exists() else []
    return [dict(f.split("=", 1) for f in line.split() if "=" in f)
            for line in lines if " cdb=" in line]


def _reg_block(key, values):
    """Lines of a Wine registry file: a key and its values (str or int)."""
    lines = [f"\n[{key.replace(chr(92), chr(92) * 2)}] 1700000000"]
    for name, value in values.items():
        if isinstance(value, bytes):
            data = "hex:" + ",".join(f"{b:02x}" for b in value)
        elif isinstance(value, int):
            data = f"dword:{value:08x}"
        else:
            data = '"' + value.replace("\\", "\\\\") + '"'
        lines.append(f'"{name}"={data}')
    return "\n".join(lines) + "\n"


def _kill_prefix_processes(prefix):
    """Ends, by PID, every process whose environment names this prefix."""
    marker = f"WINEPREFIX={prefix}\0".encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as env:
                if marker in env.read() + b"\0":
                    os.kill(int(entry), signal.SIGKILL)
        except OSError:
            pass


def _copy_prefix(source, target):
    """A copy of a prefix; the system DLLs, which Wine only reads, are shared
    with the source through hard links."""
    for directory, subdirs, files in os.walk(source):
        relative = Path(directory).relative_to(source)
        shared = relative.parts[:3] in (("drive_c", "windows", "system32"),
                                        ("drive_c", "windows", "winsxs"))
        (target / relative).mkdir()
        for name in files + [d for d in subdirs if (Path(directory) / d).is_symlink()]:
            src, dst = Path(directory) / name, target / relative / name
            if src.is_symlink():
                os.symlink(os.readlink(src), dst)
            elif shared:
                os.link(src, dst)
            else:
                shutil.copy2(src, dst)


class Rig:
    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="discmend-rig-"))
        self.xvfb = None
        self.display = None
        self.template = self.root / "template"
        self.count = 0
        atexit.register(self.stop)

    def start(self):
        for need in (BUILD / "Discmend.exe", BUILD / "WNASPI32.DLL", BUILD / "robot.exe", MKFIXTURE):
            if not need.is_file():
                raise RigError(f"{need} is missing: run scripts/build.sh")
        self._start_xvfb()
        env = self.env(self.template)
        # Output through a file: Wine's service processes inherit it and
        # outlive the command, so a pipe would not reach its end.
        with tempfile.TemporaryFile() as err:
            try:
                r = subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=err, timeout=180 * SCALE)
                subprocess.run(["wineserver", "-k"], env=env, timeout=60 * SCALE)
                subprocess.run(["wineserver", "-w"], env=env, timeout=60 * SCALE)
            finally:
                _kill_prefix_processes(self.template)
            err.seek(0)
            if r.returncode != 0:
                raise RigError("creating the Wine prefix failed: " + err.read().decode(errors="replace"))
        # The dialogs are drawn in Wine's own clones of the Windows fonts.
        subprocess.run(["bash", str(REPO / "scripts" / "wine-fonts.sh"), str(self.template)],
                       check=True, timeout=60)
        with open(self.template / "user.reg", "a", encoding="ascii") as reg:
            # Crashes end the process with a report instead of a dialog; no
            # window manager; the plain look of Windows 98.
            reg.write(_reg_block(r"Software\Wine\WineDbg", {"ShowCrashDialog": 0}))
            reg.write(_reg_block(r"Software\Wine\X11 Driver", {"Managed": "N"}))
            reg.write(_reg_block(r"Software\Microsoft\Windows\CurrentVersion\ThemeManager",
                                 {"ThemeActive": "0"}))
        with open(self.template / "system.reg", "a", encoding="ascii") as reg:
            # Wine's services that start with each session and that nothing
            # here uses: starting them is most of a session's start-up.
            for service in ("Eventlog", "MountMgr", "NDIS", "nsiproxy", "PlugPlay"):
                reg.write(_reg_block(f"System\\CurrentControlSet\\Services\\{service}", {"Start": 4}))

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        number = b""
        end = time.monotonic() + 30 * SCALE
        while not number.endswith(b"\n") and time.monotonic() < end:
            if select.select([read_end], [], [], 0.5)[0]:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise RigError("Xvfb did not start")
        self.display = ":" + number.strip().decode()

    def env(self, prefix, locale="C.UTF-8"):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("WINE", "DISCMEND_SIM_", "LC_", "LANG"))}
        env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", DISPLAY=self.display,
                   WINEDLLOVERRIDES=BASE_OVERRIDES, LANG=locale, LC_ALL=locale)
        return env

    def scenario(self, name, family="nt", language="en", time_limit=60):
        self.count += 1
        return Scenario(self, self.root / f"s{self.count}", family, language, time_limit)

    def stop(self):
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.kill()
            self.xvfb.wait()
        shutil.rmtree(self.root, ignore_errors=True)


class Scenario:
    def __init__(self, rig, root, family, language, time_limit):
        self.rig, self.root, self.language = rig, root, language
        self.prefix = root / "prefix"
        self.deadline = time.monotonic() + time_limit * SCALE
        self.overrides = [BASE_OVERRIDES]
        self.extra_env = {}
        self.program_env = {}  # for the program under test only
        self.processes = []
        self.robot_process = None
        self.server_started = False
        root.mkdir()
        _copy_prefix(rig.template, self.prefix)
        self.registry("user", r"Software\Wine\AppDefaults\Discmend.exe",
                      {"Version": FAMILIES[family]})
        self.path(WORK).mkdir(parents=True, exist_ok=True)
        shutil.copy2(BUILD / "Discmend.exe", self.path(WORK + "\\Discmend.exe"))

    # -- files and settings, before the first program starts ------------------

    def path(self, win_path):
        """C:\\a\\b -> the file in the prefix."""
        rest = re.fullmatch(r"[cC]:\\?(.*)", win_path).group(1)
        return self.prefix / "drive_c" / rest.replace("\\", "/")

    def put(self, name, data, directory=WORK):
        target = self.path(directory + "\\" + name)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data if isinstance(data, bytes) else data.encode("latin-1"))
        return target

    def fixture(self, kind, name, directory=WORK, **options):
        """A firmware image or loader written by mkfixture; options as its
        flags (model="HX-2150RA", bad_checksum=True, ...)."""
        target = self.path(directory + "\\" + name)
        target.parent.mkdir(parents=True, exist_ok=True)
        cmd = [str(MKFIXTURE), kind, str(target)]
        for key, value in options.items():
            cmd += ["--" + key.replace("_", "-")] + ([] if value is True else [str(value)])
        subprocess.run(cmd, check=True, capture_output=True)
        return target

    def drives(self, scenario_text, manager=True):
        """These simulated drives: through the simulated ASPI manager beside
        the program (manager=False: none; Wine's own answers, with no host
        adapter), and those with a `letter X` line also as SCSI CD-ROM
        devices on drive X: for the NT pass-through path. Both ways in read
        the same variables and append to one log (see log())."""
        scenario = self.put("scen.txt", scenario_text)
        self.path("C:\\dump").mkdir(exist_ok=True)
        self.extra_env.update(DISCMEND_SIM_SCENARIO=str(scenario), DISCMEND_SIM_LOG=str(self.root / "sim.log"),
                              DISCMEND_SIM_DUMP_DIR=str(self.path("C:\\dump")))
        if manager:
            shutil.copy2(BUILD / "WNASPI32.DLL", self.path(WORK + "\\WNASPI32.DLL"))
            self.overrides.append("wnaspi32=n")
        letters = re.findall(r"^\s*letter\s+([A-Za-z])\s*$", scenario_text, re.M)
        if letters:
            self._drive_letters([x.lower() for x in letters])

    def _drive_letters(self, letters):
        """CD drives on these letters, each the file behind dosdevices/x::
        (a folder stands for the disc), answered by the preload from the
        scenario. The preload also shows each folder as a CD's file system,
        which is what makes Wine call the letter a CD-ROM: Wine's mount
        manager, which would tell it from the registry, stays off here as in
        every scenario (under CPU emulation Wine's service processes are
        the ones that crash now and then)."""
        if not PTDEV_I386.is_file():
            raise RigError(f"{PTDEV_I386} is missing: run scripts/build.sh")
        dosdevices = self.prefix / "dosdevices"
        for x in letters:
            (self.root / f"cdrom-{x}").touch()
            (self.root / f"disc-{x}").mkdir()
            os.symlink(self.root / f"disc-{x}", dosdevices / f"{x}:")
            os.symlink(self.root / f"cdrom-{x}", dosdevices / f"{x}::")
        # Only the program under test gets the preload (see start): Wine's
        # own processes don't need it. Under CPU emulation the i386
        # programs get their preloads from QEMU_SET_ENV (beside the mend);
        # natively from LD_PRELOAD.
        qemu = os.environ.get("QEMU_SET_ENV")
        if qemu:
            items = qemu.split(",")
            at = next((i for i, v in enumerate(items) if v.startswith("LD_PRELOAD=")), None)
            if at is None:
                items.append(f"LD_PRELOAD={PTDEV}")
            else:
                items[at] += f":{PTDEV}"
            self.program_env["QEMU_SET_ENV"] = ",".join(items)
        else:
            self.program_env["LD_PRELOAD"] = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(PTDEV)]))

    def registry(self, hive, key, values):
        assert not self.server_started, "registry files are read when the server starts"
        with open(self.prefix / f"{hive}.reg", "a", encoding="ascii") as reg:
            reg.write(_reg_block(key, values))

    @property
    def env(self):
        env = self.rig.env(self.prefix, LOCALES[self.language][0])
        env["WINEDLLOVERRIDES"] = ";".join(self.overrides)
        env.update(self.extra_env)
        return env

    # -- processes -------------------------------------------------------------

    def _left(self):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("scenario time limit reached")
        return left

    def _spawn(self, cmd, cwd, env=None, **kwargs):
        popen = subprocess.Popen(cmd, env=env or self.env, cwd=str(self.path(cwd)),
                                 start_new_session=True, **kwargs)
        self.processes.append(popen)
        self.server_started = True
        return popen

    def robot(self, command):
        """One robot command; answers its JSON reply. The robot is started at
        the first command, before any program it is to watch, and again when
        it was ended (a restart of Windows ends it)."""
        for attempt in (1, 2):
            if self.robot_process is None or self.robot_process.poll() is not None:
                with open(self.root / f"stderr-robot{len(self.processes)}", "wb") as err:
                    self.robot_process = self._spawn(["wine", str(BUILD / "robot.exe")], WORK,
                                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                                     stderr=err)
                self._buffer = b""
                self._reply(60)
            try:
                self.robot_process.stdin.write(command.encode() + b"\n")
                self.robot_process.stdin.flush()
                return self._reply(30)
            except (BrokenPipeError, RigError):
                if attempt == 2 or self.robot_process.wait(timeout=5 * SCALE) is None:
                    raise

    def _reply(self, limit):
        fd = self.robot_process.stdout.fileno()
        end = time.monotonic() + min(limit * SCALE, self._left())
        while b"\n" not in self._buffer:
            left = end - time.monotonic()
            if left <= 0:
                raise RigError("robot.exe did not answer")
            if select.select([fd], [], [], min(left, 0.5))[0]:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise RigError("robot.exe ended")
                self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return json.loads(line)

    def trace(self, functions):
        """Wine's relay trace of these functions for programs started with
        start(..., relay=True); it goes to program.stderr_file."""
        self.registry("user", r"Software\Wine\Debug", {"RelayInclude": functions})

    def start(self, *args, cwd=WORK, exe=WORK + "\\Discmend.exe", relay=False, hold=True):
        """wine EXE ARGS: the program sees "EXE" ARGS. relay: Wine's relay trace
        (see trace) into program.stderr_file. hold: a request to end the
        session is refused, so the program stays (else Wine ends it)."""
        self.robot("hold 1" if hold else "hold 0")
        env = dict(self.env, **self.program_env)
        if relay:
            env["WINEDEBUG"] = "-all,+relay"
        err = open(self.root / f"stderr{len(self.processes)}", "w+b")
        popen = self._spawn(["wine", exe, *args], cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        popen.stderr_file = err
        return popen

    def launch(self, cmdline, exe=None, cwd=WORK):
        """Starts a program with exactly this command line; answers its PID."""
        enc = LOCALES[self.language][1]
        reply = self.robot(f"launch {cwd.encode(enc).hex()} "
                           f"{exe.encode(enc).hex() if exe else '-'} {cmdline.encode(enc).hex()}")
        assert reply["ok"], reply
        return reply["pid"]

    def exit_code(self, program, limit=20):
        """Waits for a program (a Popen, or a PID from launch) to end."""
        if not isinstance(program, int):
            return program.wait(timeout=min(limit * SCALE, self._left()))
        reply = wait_until(lambda: (lambda r: r if r["exit_code"] is not None else None)(
            self.robot(f"exitcode {program}")), limit, "program end")
        return reply["exit_code"]

    def stderr_tails(self):
        """The last lines each Wine program of the scenario wrote to stderr
        (Wine's own processes write where the first one, the robot, does)."""
        return {p.name: p.read_bytes()[-2000:].decode(errors="replace")
                for p in sorted(self.root.glob("stderr*")) if p.stat().st_size}

    def emulator_crashed(self):
        """Whether the CPU emulator, not a program, failed: a signal that
        reached none of Wine's handlers, or a program of the scenario that
        ended on a signal of the host (Wine turns a program's own faults into
        exceptions; the emulator dying of one leaves no message)."""
        return (any(EMULATOR_CRASH in tail for tail in self.stderr_tails().values())
                or any(p.poll() is not None and -p.returncode in HOST_FAULTS for p in self.processes))

    def close(self):
        """Ends the scenario's processes, its wineserver among them, by PID."""
        for popen in self.processes:
            if popen.poll() is None:
                os.killpg(popen.pid, signal.SIGKILL)
        _kill_prefix_processes(self.prefix)
        for popen in self.processes:
            popen.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    # -- the screen ---------------------------------------------------------------

    def windows(self):
        """Visible windows of Discmend.exe, texts decoded, controls by id."""
        enc = LOCALES[self.language][1]
        shown = []
        for w in self.robot("windows")["windows"]:
            if w["exe"].lower() != "discmend.exe":
                continue
            w["caption"] = bytes.fromhex(w["caption"]).decode(enc)
            for c in w["controls"]:
                c["text"] = bytes.fromhex(c["text"]).decode(enc)
            w["controls"] = {c["id"]: c for c in w["controls"]}
            w["box"] = MSGBOX_TEXT_ID in w["controls"]
            if w["box"]:
                w["text"] = w["controls"][MSGBOX_TEXT_ID]["text"]
                w["buttons"] = sorted(i for i, c in w["controls"].items()
                                      if c["class"].lower() == "button" and c["visible"])
            shown.append(w)
        return shown

    def box(self, limit=15):
        """Waits for a message box of the program."""
        return wait_until(lambda: next((w for w in self.windows() if w["box"]), None), limit,
                          "message box")

    def answer(self, button=1, limit=15):
        """Presses a button of the message box that is shown; answers the box."""
        shown = self.box(limit)
        self.click(shown, button)
        wait_until(lambda: all(w["hwnd"] != shown["hwnd"] for w in self.windows()), limit,
                   "message box closed")
        return shown

    def dialog(self, caption_start, limit=15):
        """Waits for a dialog (not a message box) whose caption starts so."""
        return wait_until(lambda: next((w for w in self.windows() if not w["box"]
                                        and w["caption"].startswith(caption_start)), None),
                          limit, f"dialog {caption_start!r}")

    def main_dialog(self, limit=30):
        return wait_until(lambda: next((w for w in self.windows()
                                        if not w["box"] and ids.IDC_UPDATE in w["controls"]), None),
                          limit, "main dialog")

    def accept_agreement(self):
        """Reads the agreement to its end with Page Down and accepts it."""
        agreement = self.dialog("Discmend")
        while not self.refresh(agreement)["controls"][ids.IDC_AGREEMENT_ACCEPT]["enabled"]:
            assert self.robot(f"key {agreement['hwnd']} 34")["ok"]
        self.click(agreement, ids.IDC_AGREEMENT_ACCEPT)
        self.click(agreement, ids.IDC_AGREEMENT_NEXT)

    def refresh(self, window):
        return next((w for w in self.windows() if w["hwnd"] == window["hwnd"]), None)

    def click(self, window, control, limit=15):
        """Clicks a control as soon as it can be clicked (shown and enabled)."""
        wait_until(lambda: self.robot(f"click {window['hwnd']} {control}")["ok"], limit,
                   f"control {control} enabled")

    # -- what the simulated drives saw -----------------------------------------

    def log(self):
        """The requests the simulated drives got, each as a dict of its
        fields, in the order they were logged: those through the simulated
        ASPI manager, and those through pass-through, which carry a letter.
        A scenario or drive the simulator could not set up fails the rig."""
        path = self.root / "sim.log"
        errors = [line for line in path.read_text().splitlines()
                  if line.startswith("#") and ": error:" in line] if path.exists() else []
        if errors:
            raise RigError("the simulated drives: " + "; ".join(errors))
        return _requests(path)

    def session_events(self):
        return self.robot("events")["events"]
