"""Scenario rig: runs the real Discmend.exe under Wine on an X server and
drives it from outside with robot.exe.

One `Rig` per test session (X server, Wine prefix template, paths); one
`Scenario` per test (a copy of the template prefix with its own wineserver,
its own files, environment and processes, all ended when the test ends).

Environment:
  DISCMEND_BUILD_DIR         Discmend.exe, robot.exe, WNASPI32.DLL (default
                             <checkout>/build/win); robot.exe is built from
                             tests/robot/robot.cpp when missing or older
  DISCMEND_NATIVE_BUILD_DIR  mkfixture (default <checkout>/build/native)
  DISCMEND_SIM_DLL           the simulated ASPI layer, when not in the build dir
  DISCMEND_OWN_XVFB          start an Xvfb even when DISPLAY is usable
  DISCMEND_KEEP              keep the prefixes (under /tmp/discmend-scenario-*)
"""

import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("DISCMEND_BUILD_DIR", REPO / "build" / "win"))
NATIVE_BUILD_DIR = Path(os.environ.get("DISCMEND_NATIVE_BUILD_DIR", REPO / "build" / "native"))
ROBOT_SOURCE = REPO / "tests" / "robot" / "robot.cpp"

WINE = "wine"
WINESERVER = "wineserver"
ROBOT_CXX = "i686-w64-mingw32-g++"

EXE_NAME = "Discmend.exe"
CAPTION = "Discmend"
IMAGE_SIZE = 526336
WORK_DIR_WIN = "C:\\work"

# Dlls that would install or start things nobody asked for.
BASE_DLL_OVERRIDES = "mscoree,mshtml,winemenubuilder.exe=d"

LOCALES = {"en": "C.UTF-8", "ja": "ja_JP.UTF-8"}
FAMILIES = {"nt": "winxp", "9x": "win98"}

# Parts of a prefix that nothing writes once the prefix is built: a copy may
# share them with the template through hard links.
SHARED_PREFIX_DIRS = ("drive_c/windows/system32", "drive_c/windows/syswow64",
                      "drive_c/windows/winsxs")

CRASH_MARKERS = ("Unhandled exception", "Unhandled page fault", "Unhandled illegal",
                 "Unhandled stack overflow", "starting debugger")


def wait_until(read, test, timeout=5.0, what="state"):
    """Reads until test(value) holds; answers the last value read."""
    end = time.monotonic() + timeout
    while True:
        value = read()
        if test(value):
            return value
        if time.monotonic() > end:
            raise AssertionError(f"{what} not reached within {timeout} s: {value}")
        time.sleep(0.1)


class RigError(Exception):
    """The rig itself could not do its work (not a finding about the product)."""


class ScenarioTimeout(AssertionError):
    """The scenario ran out of its time limit."""


class RobotError(AssertionError):
    def __init__(self, args, rc, result, stderr):
        self.rc = rc
        self.result = result
        super().__init__(f"robot {' '.join(args)} -> rc {rc}: {result or ''} {stderr.strip()[-500:]}")


def _hex(text):
    if isinstance(text, str):
        text = text.encode("cp932")
    return text.hex()


def _run(cmd, env, timeout, cwd=None):
    """Runs a command to its end. Its output goes through files, not pipes:
    the first Wine process of a prefix starts Wine's service processes, which
    inherit its output handles and live on with the wineserver, so a pipe
    would never reach its end."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        rc = subprocess.call(cmd, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                             stdout=out, stderr=err, timeout=timeout, start_new_session=True)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(cmd, rc, out.read(), err.read())


def installed_locales():
    out = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout
    return {line.strip().lower().replace("-", "") for line in out.splitlines()}


def locale_available(name):
    return name.lower().replace("-", "") in installed_locales()


def _display_usable(display):
    m = re.fullmatch(r":(\d+)(\.\d+)?", display or "")
    if not m:
        return False
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.settimeout(2)
        sock.connect(f"/tmp/.X11-unix/X{m.group(1)}")
        return True
    except OSError:
        return False
    finally:
        sock.close()


def _find_file(directory, name):
    """A file of that name (any letter case) in directory or one level below."""
    if not directory.is_dir():
        return None
    lower = name.lower()
    for candidate in sorted(directory.iterdir()):
        if candidate.is_file() and candidate.name.lower() == lower:
            return candidate
    for sub in sorted(p for p in directory.iterdir() if p.is_dir()):
        for candidate in sorted(sub.iterdir()):
            if candidate.is_file() and candidate.name.lower() == lower:
                return candidate
    return None


class Rig:
    """Session-wide: the X server, the prefix template and the built files."""

    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="discmend-scenario-"))
        self.xvfb = None
        self.display = None
        self.template = self.root / "template"
        self.count = 0
        self.scenarios = []
        self.exe = BUILD_DIR / EXE_NAME
        self.sim_dll = Path(os.environ["DISCMEND_SIM_DLL"]) if os.environ.get("DISCMEND_SIM_DLL") \
            else _find_file(BUILD_DIR, "wnaspi32.dll")
        self.mkfixture = NATIVE_BUILD_DIR / "mkfixture"
        self.robot = None

    # -- set-up ---------------------------------------------------------

    def start(self):
        if not self.exe.is_file():
            raise RigError(f"{self.exe} is missing: build the product first (DISCMEND_BUILD_DIR)")
        if not (self.mkfixture.is_file() and os.access(self.mkfixture, os.X_OK)):
            raise RigError(f"{self.mkfixture} is missing: build the native tools "
                           "(DISCMEND_NATIVE_BUILD_DIR)")
        self.robot = self._robot()
        self._start_display()
        self._make_template()

    def _robot(self):
        built = BUILD_DIR / "robot.exe"
        if built.is_file() and (not ROBOT_SOURCE.is_file()
                                or built.stat().st_mtime >= ROBOT_SOURCE.stat().st_mtime):
            return built
        if not ROBOT_SOURCE.is_file():
            raise RigError("no robot.exe in the build directory and no source to build it")
        out = self.root / "robot.exe"
        cmd = [ROBOT_CXX, "-std=c++17", "-O2", "-static", "-static-libgcc", "-static-libstdc++",
               str(ROBOT_SOURCE), "-o", str(out), "-luser32", "-lgdi32"]
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
        if r.returncode != 0:
            raise RigError(f"building robot.exe failed:\n{r.stderr}")
        return out

    def _start_display(self):
        current = os.environ.get("DISPLAY")
        if current and _display_usable(current) and not os.environ.get("DISCMEND_OWN_XVFB"):
            self.display = current
            return
        read_fd, write_fd = os.pipe()
        with open(self.root / "xvfb.log", "wb") as log:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp"],
                pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=log, start_new_session=True)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 20
        with os.fdopen(read_fd, "rb") as pipe:
            while time.monotonic() < deadline and not number.endswith(b"\n"):
                ready, _, _ = select.select([pipe], [], [], 0.5)
                if ready:
                    chunk = os.read(pipe.fileno(), 16)
                    if not chunk:
                        break
                    number += chunk
        if not number.strip().isdigit():
            self.stop()
            raise RigError("Xvfb did not start: " + (self.root / "xvfb.log").read_text(errors="replace"))
        self.display = ":" + number.strip().decode()

    def base_env(self, prefix, tmpdir):
        """Environment of every Wine process of one prefix. TMPDIR holds the
        wineserver's socket directory, so it goes away with the prefix."""
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("WINE", "DISCMEND_SIM_", "LC_"))}
        env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", DISPLAY=self.display,
                   WINEDLLOVERRIDES=BASE_DLL_OVERRIDES, LANG="C.UTF-8", LC_ALL="C.UTF-8",
                   TMPDIR=str(tmpdir))
        return env

    def _make_template(self):
        tmpdir = self.root / "t" / "template"
        tmpdir.mkdir(parents=True)
        env = self.base_env(self.template, tmpdir)
        started = time.monotonic()
        try:
            r = _run([WINE, "cmd", "/c", "exit"], env, timeout=180)
            if r.returncode != 0:
                raise RigError(f"creating the Wine prefix failed: {r.stderr.decode(errors='replace')}")
            settings = (
                # A crash ends the process with a report on stderr instead of
                # waiting behind a dialog.
                (r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0"),
                # Windows not left to a window manager: there is none, and
                # hiding a managed window waits 2 s for it.
                (r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N"),
                # The classic look of Windows 98: no visual theme. Wine's theme
                # engine has been seen to crash now and then as a process ends.
                (r"HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager", "ThemeActive",
                 "REG_SZ", "0"),
            )
            for key, name, kind, value in settings:
                r = _run([WINE, "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"],
                         env, timeout=60)
                if r.returncode != 0:
                    raise RigError(f"reg add failed: {r.stderr.decode(errors='replace')}")
        finally:
            _run([WINESERVER, "-k"], env, timeout=30)
            _run([WINESERVER, "-w"], env, timeout=30)
        self.template_seconds = time.monotonic() - started

    def copy_prefix(self, dest):
        shared = {str(self.template / d) for d in SHARED_PREFIX_DIRS}

        def copy(src, dst, link=False):
            if link:
                try:
                    os.link(src, dst)
                    return
                except OSError:
                    pass
            shutil.copy2(src, dst)

        def walk(src, dst, link):
            os.mkdir(dst)
            shutil.copystat(src, dst)
            for entry in os.scandir(src):
                target = os.path.join(dst, entry.name)
                if entry.is_symlink():
                    os.symlink(os.readlink(entry.path), target)
                elif entry.is_dir():
                    walk(entry.path, target, link or entry.path in shared)
                else:
                    copy(entry.path, target, link)

        walk(str(self.template), str(dest), False)

    def new_scenario(self, name, artifacts, time_limit):
        self.count += 1
        safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", name)[:60]
        scenario = Scenario(self, self.root / f"s{self.count:03d}-{safe}",
                            self.root / "t" / str(self.count), artifacts, time_limit)
        self.scenarios.append(scenario)
        return scenario

    def stop(self):
        for scenario in self.scenarios:
            scenario.close()
        if self.xvfb is not None:
            if self.xvfb.poll() is None:
                self.xvfb.terminate()
                try:
                    self.xvfb.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.xvfb.kill()
                    self.xvfb.wait(timeout=10)
            self.xvfb = None
        if not os.environ.get("DISCMEND_KEEP"):
            shutil.rmtree(self.root, ignore_errors=True)


class Program:
    """A started program: `wine Discmend.exe ...` directly, or robot.exe
    launching it with an exact command line and reporting its exit code."""

    def __init__(self, scenario, popen, label, stdout_path, stderr_path, exact):
        self.scenario = scenario
        self.popen = popen
        self.label = label
        self.stdout_path = stdout_path
        self.stderr_path = stderr_path
        self.exact = exact
        self.exit_code = None
        self.launch_result = None

    def running(self):
        return self.popen.poll() is None

    def wait(self, timeout=20):
        """Waits for the program to end and answers its exit code. With
        `wine` the code is the low 8 bits; with an exact launch it is whole."""
        try:
            rc = self.popen.wait(timeout=self.scenario.budget(timeout))
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{self.label} still running after {timeout} s") from None
        if not self.exact:
            self.exit_code = rc
            return rc
        lines = [l for l in self.stdout_path.read_text(errors="replace").splitlines()
                 if l.startswith("{")]
        if not lines:
            raise RigError(f"robot launch printed nothing (rc {rc}): {self.stderr()}")
        self.launch_result = json.loads(lines[-1])
        if not self.launch_result.get("ok"):
            raise RigError(f"robot launch failed: {self.launch_result}")
        self.exit_code = self.launch_result["exit_code"]
        return self.exit_code

    def stderr(self):
        return self.stderr_path.read_text(errors="replace") if self.stderr_path.exists() else ""

    def crashed(self):
        """Wine's report of an unhandled exception, if any."""
        text = self.stderr()
        return next((line for line in text.splitlines()
                     if any(m in line for m in CRASH_MARKERS)), None)


class Scenario:
    """One scenario: a fresh prefix copy, settings, files, processes."""

    def __init__(self, rig, root, tmpdir, artifacts, time_limit):
        self.rig = rig
        self.root = root
        self.tmpdir = tmpdir
        self.artifacts = Path(artifacts)
        self.artifacts.mkdir(parents=True, exist_ok=True)
        self.prefix = root / "prefix"
        self.deadline = time.monotonic() + time_limit
        self.time_limit = time_limit
        self.family = "nt"
        self.language = "en"
        self.extra_env = {}
        self.dll_overrides = []
        self.exe_dir_win = WORK_DIR_WIN
        self.programs = []
        self.server_started = False
        self.closed = False
        root.mkdir(parents=True)
        tmpdir.mkdir(parents=True)
        rig.copy_prefix(self.prefix)
        self.workdir = self.unix_path(WORK_DIR_WIN)
        self.workdir.mkdir(parents=True, exist_ok=True)

    # -- paths and files ------------------------------------------------

    def unix_path(self, win_path):
        """C:\\a\\b -> <prefix>/drive_c/a/b"""
        m = re.fullmatch(r"[cC]:\\?(.*)", win_path)
        if not m:
            raise RigError(f"not a C: path: {win_path}")
        rest = m.group(1).replace("\\", "/")
        return self.prefix / "drive_c" / rest if rest else self.prefix / "drive_c"

    def put_file(self, name, data, directory=WORK_DIR_WIN):
        path = self.unix_path(directory) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data if isinstance(data, bytes) else data.encode("latin-1"))
        return path

    def image(self, name, directory=WORK_DIR_WIN, signature=None, model=None, rev1=None,
              rev2=None, rev3=None, size=None, fill=None):
        """A firmware image file written by mkfixture (a valid one by default)."""
        path = self.unix_path(directory) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        cmd = [str(self.rig.mkfixture), "image", str(path)]
        for option, value in (("--signature", signature), ("--model", model), ("--rev1", rev1),
                              ("--rev2", rev2), ("--rev3", rev3), ("--size", size),
                              ("--fill", fill)):
            if value is not None:
                cmd += [option, str(value)]
        self._mkfixture(cmd)
        return path

    def loader(self, name, directory=WORK_DIR_WIN, **options):
        """A loader file written by mkfixture; options as its flags
        (body_length=..., bad_checksum=True, ...)."""
        path = self.unix_path(directory) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        cmd = [str(self.rig.mkfixture), "loader", str(path)]
        for key, value in options.items():
            flag = "--" + key.replace("_", "-")
            if value is True:
                cmd.append(flag)
            elif isinstance(value, (list, tuple)):
                for v in value:
                    cmd += [flag, str(v)]
            else:
                cmd += [flag, str(value)]
        self._mkfixture(cmd)
        return path

    def _mkfixture(self, cmd):
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise RigError(f"{' '.join(cmd)} failed: {r.stderr}")

    def read_file(self, win_path):
        """The bytes of a file in the prefix, None when it does not exist."""
        path = self.unix_path(win_path)
        return path.read_bytes() if path.is_file() else None

    def launch_list(self, content, directory=WORK_DIR_WIN):
        """Writes Varoriva.inf with exactly these bytes."""
        return self.put_file("Varoriva.inf", content, directory)

    # -- settings -------------------------------------------------------

    def use_sim(self, scenario=None, log="C:\\sim.log"):
        """Puts the simulated ASPI layer beside the program."""
        if self.rig.sim_dll is None:
            raise RigError(f"no WNASPI32.DLL in {BUILD_DIR}")
        self.install()
        shutil.copy2(self.rig.sim_dll, self.unix_path(self.exe_dir_win) / "WNASPI32.DLL")
        self.dll_overrides.append("wnaspi32=n")
        if scenario is not None:
            self.extra_env["DISCMEND_SIM_SCENARIO"] = scenario
        if log:
            self.extra_env["DISCMEND_SIM_LOG"] = log

    @property
    def env(self):
        env = self.rig.base_env(self.prefix, self.tmpdir)
        locale_name = LOCALES[self.language]
        env["LC_ALL"] = locale_name
        env["LANG"] = locale_name
        env["WINEDLLOVERRIDES"] = ";".join([BASE_DLL_OVERRIDES] + self.dll_overrides)
        env.update(self.extra_env)
        return env

    def _registry_text(self):
        version = FAMILIES[self.family]
        return ("\n[Software\\\\Wine\\\\AppDefaults\\\\Discmend.exe] 1700000000\n"
                f"\"Version\"=\"{version}\"\n")

    def _ensure_server(self):
        """Writes the settings into the registry files, then starts the
        prefix's wineserver, kept running until the scenario ends."""
        if self.server_started:
            return
        if self.language == "ja" and not locale_available(LOCALES["ja"]):
            raise RigError("locale ja_JP.UTF-8 is not installed (Debian: enable it in "
                           "/etc/locale.gen and run locale-gen)")
        with open(self.prefix / "user.reg", "a", encoding="ascii") as reg:
            reg.write(self._registry_text())
        # The server stays behind as a daemon: it must not hold our pipes.
        self.server_started = True
        log = self.artifacts / "wineserver.log"
        with open(log, "wb") as log_file:
            rc = subprocess.call([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=log_file,
                                 timeout=self.budget(30))
        if rc != 0:
            raise RigError(f"wineserver -p failed: {log.read_text(errors='replace')}")
        self.server_started = True

    # -- time -----------------------------------------------------------

    def budget(self, seconds):
        """The part of `seconds` that the scenario's time limit still allows."""
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise ScenarioTimeout(f"scenario time limit of {self.time_limit} s reached")
        return min(seconds, left)

    # -- programs -------------------------------------------------------

    def install(self, exe_dir=None):
        """Copies Discmend.exe into its directory (C:\\work unless told)."""
        if exe_dir:
            self.exe_dir_win = exe_dir
        target = self.unix_path(self.exe_dir_win) / EXE_NAME
        target.parent.mkdir(parents=True, exist_ok=True)
        if not target.exists():
            shutil.copy2(self.rig.exe, target)
        return self.exe_dir_win + "\\" + EXE_NAME

    def _popen(self, cmd, label, cwd):
        self._ensure_server()
        n = len(self.programs) + 1
        out = self.artifacts / f"p{n}-{label}.out"
        err = self.artifacts / f"p{n}-{label}.err"
        with open(out, "wb") as out_file, open(err, "wb") as err_file:
            popen = subprocess.Popen(cmd, env=self.env, cwd=str(cwd), stdin=subprocess.DEVNULL,
                                     stdout=out_file, stderr=err_file, start_new_session=True)
        return popen, out, err

    def start(self, *args, cwd=WORK_DIR_WIN):
        """`wine Discmend.exe ARGS` in the current directory cwd; the program
        sees the command line "C:\\...\\Discmend.exe" ARGS."""
        exe = self.install()
        popen, out, err = self._popen([WINE, exe, *args], "discmend", self.unix_path(cwd))
        program = Program(self, popen, f"Discmend {' '.join(args)}".strip(), out, err, exact=False)
        self.programs.append(program)
        return program

    def start_exact(self, cmdline, cwd=WORK_DIR_WIN, exe=None):
        """Starts the program through robot.exe with exactly this command
        line. exe: the file to start when the command line does not name it."""
        self.install()
        args = ["launch", "--cmdline-hex", _hex(cmdline), "--cwd-hex", _hex(cwd),
                "--wait", str(int(self.time_limit * 1000))]
        if exe is not None:
            args += ["--exe-hex", _hex(exe)]
        popen, out, err = self._popen([WINE, str(self.rig.robot), *args], "launch",
                                      self.unix_path(cwd))
        program = Program(self, popen, f"launch {cmdline[:80]!r}", out, err, exact=True)
        self.programs.append(program)
        return program

    def robot(self, *args, wait_ms=0, check=True):
        """Runs one robot command and answers its JSON result."""
        self._ensure_server()
        args = [str(a) for a in args]
        if wait_ms:
            args += ["--wait", str(int(wait_ms))]
        try:
            r = _run([WINE, str(self.rig.robot), *args], self.env,
                     timeout=self.budget(wait_ms / 1000 + 20), cwd=str(self.workdir))
        except subprocess.TimeoutExpired:
            raise ScenarioTimeout(f"robot {' '.join(args)} did not answer") from None
        lines = [l for l in r.stdout.decode(errors="replace").splitlines() if l.startswith("{")]
        result = json.loads(lines[-1]) if lines else None
        if result is None or (check and r.returncode != 0):
            raise RobotError(args, r.returncode, result, r.stderr.decode(errors="replace"))
        return result

    # -- what is on the screen ------------------------------------------

    def windows(self, exe=EXE_NAME, include_hidden=False):
        """Top-level windows of processes running `exe` (None: all)."""
        result = self.robot("list", *(["--all"] if include_hidden else []))
        return [w for w in result["windows"]
                if exe is None or w.get("exe", "").lower() == exe.lower()]

    def message_box(self, timeout=15, caption=CAPTION):
        """Waits for a message box and answers what the robot read of it."""
        args = ["msgbox"] + (["--caption-hex", _hex(caption)] if caption else [])
        result = self.robot(*args, wait_ms=self.budget(timeout) * 1000, check=False)
        if not result.get("ok"):
            shown = self.windows(exe=None)
            raise AssertionError(f"no message box within {timeout} s; visible windows: "
                                 f"{[(w['exe'], w['class'], w['caption']) for w in shown]}")
        return result

    def no_message_box(self, within=2.0):
        """Asserts that no message box appears within the given time."""
        result = self.robot("msgbox", wait_ms=within * 1000, check=False)
        assert not result.get("ok"), f"unexpected message box: {result.get('text')!r}"

    def press(self, button=1, caption=CAPTION, timeout=10):
        """Presses a button of a message box and waits until the box is gone;
        answers what the robot read of the box."""
        args = ["press", "--button", button] + (["--caption-hex", _hex(caption)] if caption else [])
        box = self.robot(*args, wait_ms=self.budget(timeout) * 1000)
        self.robot("wait-gone", "--hwnd", box["hwnd"], wait_ms=self.budget(timeout) * 1000)
        return box

    def dialog(self, timeout=15, caption=None, hwnd=None):
        args = ["dialog"]
        if caption:
            args += ["--caption-hex", _hex(caption)]
        if hwnd:
            args += ["--hwnd", hwnd]
        result = self.robot(*args, wait_ms=self.budget(timeout) * 1000, check=False)
        if not result.get("ok"):
            shown = self.windows(exe=None)
            raise AssertionError(f"no dialog within {timeout} s; visible windows: "
                                 f"{[(w['exe'], w['class'], w['caption']) for w in shown]}")
        return result

    def wait_first_window(self, program, timeout=15):
        """Waits until the program shows a window (answers the robot's view of
        it: a message box or a dialog) or ends (answers None)."""
        end = time.monotonic() + self.budget(timeout)
        while time.monotonic() < end:
            shown = self.windows()
            if shown:
                box = self.robot("msgbox", check=False)
                if box.get("ok") and box["exe"].lower() == EXE_NAME.lower():
                    return box
                return self.dialog(hwnd=shown[0]["hwnd"], timeout=5)
            if not program.running():
                return None
            time.sleep(0.1)
        raise AssertionError(f"{program.label}: no window and still running after {timeout} s")

    def probe(self):
        """What a program named Discmend.exe sees of the scenario's settings:
        robot.exe's `info` run under that name from a directory of its own."""
        directory = self.unix_path("C:\\probe")
        directory.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.rig.robot, directory / EXE_NAME)
        self._ensure_server()
        r = _run([WINE, str(directory / EXE_NAME), "info"], self.env, timeout=self.budget(30),
                 cwd=str(directory))
        lines = [l for l in r.stdout.decode(errors="replace").splitlines() if l.startswith("{")]
        if r.returncode != 0 or not lines:
            raise RigError(f"probe failed: {r.stderr.decode(errors='replace')}")
        return json.loads(lines[-1])

    def screenshot(self, name="screen"):
        path = self.artifacts / f"{name}.png"
        try:
            _run(["import", "-display", self.rig.display, "-window", "root", str(path)],
                 os.environ.copy(), timeout=20)
        except (subprocess.TimeoutExpired, OSError):
            return None
        return path if path.exists() else None

    # -- the end --------------------------------------------------------

    def close(self):
        """Ends every process of the scenario and its wineserver."""
        if self.closed:
            return
        self.closed = True
        env = self.rig.base_env(self.prefix, self.tmpdir)
        if self.server_started:
            for command in ([WINESERVER, "-k"], [WINESERVER, "-w"]):
                try:
                    _run(command, env, timeout=30)
                except subprocess.TimeoutExpired:
                    pass
        for program in self.programs:
            if program.popen.poll() is None:
                try:
                    os.killpg(program.popen.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                try:
                    program.popen.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    pass
        if not os.environ.get("DISCMEND_KEEP"):
            shutil.rmtree(self.root, ignore_errors=True)
            shutil.rmtree(self.tmpdir, ignore_errors=True)


class SessionHold:
    """robot hold-session: a program that refuses to let Windows end the
    session. Wine asks the programs in the order they were started and ends
    each that agrees, so one started before Discmend keeps Discmend open
    after it has asked for a shutdown or restart, and reports the request."""

    def __init__(self, scn):
        popen, self.out, err = scn._popen(
            [WINE, str(scn.rig.robot), "hold-session", "--wait",
             str(int(scn.time_limit * 1000))], "hold", scn.workdir)
        scn.programs.append(Program(scn, popen, "hold-session", self.out, err, False))
        wait_until(self.events, lambda e: any(x.get("event") == "holding" for x in e),
                   timeout=20, what="hold-session window")

    def events(self):
        return [json.loads(line) for line in self.out.read_text().splitlines()
                if line.startswith("{")]

    def wait_for_request(self, timeout=30):
        wait_until(self.events, lambda e: any(x.get("event") == "queryendsession" for x in e),
                   timeout=timeout, what="request to end the session")
