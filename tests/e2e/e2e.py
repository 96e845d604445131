#!/usr/bin/env python3
"""End-to-end tests of KetroSetup.exe: the real program under Wine, driven by ket-probe.exe.

    e2e.py SCENARIO --setup KetroSetup.exe --probe ket-probe.exe --product DIR
                    --native-bin DIR --shots DIR [--installs N]

Runs inside scripts/with-wine.sh (WINEPREFIX, KET_WINE, WINESERVER, DISPLAY, HOME), with 32-bit
or 64-bit Wine alike: the loader and server are the ones with-wine.sh chose. Each scenario works
in a prefix of its own, copied from the one with-wine.sh made, and removes it at the end. A
Russian scenario runs its prefix under the Russian system locale, as a Russian Windows runs:
ANSI code page 1251, OEM code page 866, and with them Wine's Cyrillic "MS Sans Serif". Exit 0
when every check of the scenario held, 1 otherwise.
"""

import argparse
import filecmp
import json
import re
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import traceback

SETUP_CLASS = "TKetSetup"
CAPTION = "Ketro FULL"
DEFAULT_FOLDER = "C:\\!KetroNew\\"
CTS_PASSWORD = "xq_plume_vortex_731_bells"
BAD_FOLDER_TEXT = "Не правильно имя папки!"
NO_FOLDER_TEXT = "Unable to create directory."

TEXTS = {
    "en": {
        "combo": 0,
        "boxes": ["Create desktop icon", "Create an icon in the start menu",
                  "Forced installation (all settings will be lost!)"],
        "note_start": "Periodically check for updates",
        "hint": "Select folder",
    },
    "ru": {
        "combo": 1,
        "boxes": ["Создать иконку на рабочем столе", "Создать иконку в меню \"Пуск\"",
                  "Принудительная установка (все настройки будут утеряны!)"],
        "note_start": "Переодически проверяйте обновления",
        "hint": "Выбрать каталог",
    },
}
NOTE_END = "support@ketro-soft.ru"
# The blank a hint keeps between its text and its border, as a system tooltip does.
HINT_MARGIN = 2

# Generous: Wine starts slowly on a loaded machine.
WINDOW_TIMEOUT = 60
# Every wait below is this many times longer where the same work is slower by nature: inside the
# emulated machine (scripts/ia32-vm-ctest.sh sets it with the tests' own time limits).
TIME_SCALE = float(os.environ.get("KET_VM_TIME_SCALE") or 1)
INSTALL_TIMEOUT = 120

# Exit codes of KetroSetup.exe.
EXIT_DONE = 0
EXIT_CANNOT_START = 1
EXIT_FOLDER_REFUSED = 2
EXIT_UNDONE = 4
EXIT_CLOSED = 6
EXIT_HANDED_OVER = 7


class Failure(Exception):
    pass


# The last window tree read, shown when a scenario fails.
LAST_TREE = None


def check(condition, message):
    if not condition:
        raise Failure(message)


def log(*parts):
    print("e2e:", *parts, flush=True)


def wait_for(condition, timeout, what, interval=0.1):
    """Polls condition() until it returns something true; that value is returned."""
    end = time.monotonic() + timeout * TIME_SCALE
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure("timed out waiting for " + what)
        time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# Prefixes and processes


def wine_base():
    return os.environ.get("KET_WINE_BASE") or tempfile.gettempdir()


def locale_environment(lang):
    """The Unix locale Wine takes the system's locale and code pages from. English: C.UTF-8,
    whatever the caller's own. Russian: ru_RU.UTF-8, made with localedef into the scenario
    base when the system has not got it (it needs the locale sources of the locales package)."""
    if lang == "en":
        return {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}
    name = "ru_RU.UTF-8"
    env = {"LANG": name, "LC_ALL": name}
    installed = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, text=True).stdout
    if "ru_RU.utf8" in installed.split() or name in installed.split():
        return env
    folder = os.path.join(wine_base(), "locale")
    if not os.path.isdir(os.path.join(folder, name)):
        os.makedirs(folder, exist_ok=True)
        made = subprocess.run(["localedef", "-i", "ru_RU", "-f", "UTF-8",
                               os.path.join(folder, name)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        check(made.returncode in (0, 1) and os.path.isdir(os.path.join(folder, name)),
              "no Russian locale for Wine: localedef failed (the locales package gives its "
              "sources):\n" + made.stdout)
    env["LOCPATH"] = folder
    return env


class Prefix:
    """A throwaway Wine prefix for one scenario: a copy of the prepared one, with Wine's own
    fonts, the system locale of the scenario's language, and a wineserver of its own that is
    ended (and its socket folder removed) at the end."""

    def __init__(self, name, lang="en"):
        self.source = os.environ["WINEPREFIX"]
        self.dir = tempfile.mkdtemp(prefix="e2e-%s." % name, dir=wine_base())
        self.path = os.path.join(self.dir, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.path, **locale_environment(lang))
        # The loader and server with-wine.sh chose for the prefix's architecture.
        self.wine = os.environ["KET_WINE"]
        self.server = os.environ["WINESERVER"]
        self.counter = 0

    def __enter__(self):
        try:
            self.prepare()
        except BaseException:
            self.cleanup()
            raise
        return self

    def prepare(self):
        # The source's server is ended first so that its registry is on disk and still.
        source_env = dict(os.environ, WINEPREFIX=self.source)
        subprocess.run([self.server, "-k"], env=source_env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([self.server, "-w"], env=source_env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        copied = subprocess.run(["cp", "-a", self.source, self.path])
        # Back to a persistent server for the tests that run in the source after these.
        subprocess.run([self.server, "-p"], env=source_env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        check(copied.returncode == 0, "copying the prefix failed")
        fonts = os.path.join(self.path, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        for name in os.listdir("/usr/share/wine/fonts"):
            if name.endswith((".fon", ".ttf")):
                shutil.copy(os.path.join("/usr/share/wine/fonts", name), fonts)
        subprocess.run([self.server, "-p"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The Desktop shell folder is shared through $HOME/Desktop: no link left from before.
        remove_file(os.path.join(desktop_dir(), "Ketro.lnk"))

    def crash_reports(self):
        """The programs' error files in which Wine reports an unhandled exception: a program
        that died of one may still have left with exit code 0 (the automatic debugger's doing),
        the setup started by the probe among them, whose error output is the probe's."""
        found = []
        for name in sorted(os.listdir(self.dir)) if os.path.isdir(self.dir) else []:
            if name.endswith(".err"):
                with open(os.path.join(self.dir, name), "rb") as f:
                    for line in f.read().decode("utf-8", "replace").splitlines():
                        if line.startswith("wine: Unhandled"):
                            found.append("%s: %s" % (name, line))
        return found

    def show_error_output(self):
        """What the programs wrote to their error output, shown when a scenario fails: the
        setup's own last words (an exception's message, a terminate) are often the answer."""
        if not os.path.isdir(self.dir):
            return
        for name in sorted(os.listdir(self.dir)):
            path = os.path.join(self.dir, name)
            if not name.endswith(".err") or os.path.getsize(path) == 0:
                continue
            with open(path, "rb") as f:
                lines = f.read().decode("utf-8", "replace").splitlines()
            log("%s (last %d of %d lines):" % (name, min(len(lines), 30), len(lines)))
            for line in lines[-30:]:
                print("   ", line, file=sys.stderr, flush=True)

    def __exit__(self, *exc):
        crashes = self.crash_reports()
        if exc[0] is not None or crashes:
            self.show_error_output()
        self.cleanup()
        if crashes and exc[0] is None:
            raise Failure("a program died of an unhandled exception:\n  " + "\n  ".join(crashes))
        return False

    def cleanup(self):
        subprocess.run([self.server, "-k"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([self.server, "-w"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not os.path.isdir(self.path):
            shutil.rmtree(self.dir, ignore_errors=True)
            return False
        st = os.stat(self.path)
        socket = "server-%x-%x" % (st.st_dev, st.st_ino)
        for root in ["/tmp/.wine-%d" % os.getuid()]:
            if not os.path.isdir(root):
                continue
            for entry in os.listdir(root):
                shutil.rmtree(os.path.join(root, entry, socket), ignore_errors=True)
        for entry in os.listdir("/tmp"):
            if entry.startswith("wine-"):
                shutil.rmtree(os.path.join("/tmp", entry, socket), ignore_errors=True)
        shutil.rmtree(self.dir, ignore_errors=True)
        remove_file(os.path.join(desktop_dir(), "Ketro.lnk"))
        return False

    def output_files(self, tag):
        self.counter += 1
        stem = os.path.join(self.dir, "%s.%d" % (tag, self.counter))
        return stem + ".out", stem + ".err"

    def start(self, args, tag, stdin=subprocess.DEVNULL):
        """Starts a Windows program; its output goes to files (Wine's services would hold a
        pipe open long after the program ended)."""
        out, err = self.output_files(tag)
        with open(out, "wb") as o, open(err, "wb") as e:
            process = subprocess.Popen([self.wine] + args, stdin=stdin, stdout=o, stderr=e,
                                       env=self.env)
        process.out_path = out
        return process

    def run(self, args, tag, timeout=120):
        process = self.start(args, tag)
        return process.wait(timeout * TIME_SCALE)

    def reg_add(self, key, value, kind, data):
        rc = self.run(["reg", "add", key, "/v", value, "/t", kind, "/d", str(data), "/f"], "reg")
        check(rc == 0, "reg add %s %s failed (%d)" % (key, value, rc))

    def density(self, ppi):
        """The screen's pixels per inch, for the programs started after this."""
        self.reg_add("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", ppi)
        self.reg_add("HKLM\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software"
                     "\\Fonts", "LogPixels", "REG_DWORD", ppi)

    def c_path(self, windows_path):
        """The Linux path of a path on drive C:."""
        check(windows_path[:3].upper() == "C:\\", "not on drive C: " + windows_path)
        rest = windows_path[3:].replace("\\", "/")
        return os.path.join(self.path, "drive_c", rest)

    def programs_dir(self):
        return os.path.join(self.path, "drive_c", "users", os.environ.get("USER", "root"),
                            "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                            "Programs")


def desktop_dir():
    return os.path.join(os.environ["HOME"], "Desktop")


def remove_file(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def windows_path(linux_path):
    """How a Linux path appears to Wine programs: on drive Z:."""
    return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


class Probe:
    """One ket-probe.exe for a scenario: a command line in, one JSON line out."""

    def __init__(self, prefix, probe_exe):
        self.process = prefix.start([probe_exe], "probe", stdin=subprocess.PIPE)
        # The answers are read from the file the probe's output goes to.
        self.out = self.process.out_path
        self.offset = 0

    def cmd(self, line, timeout=60):
        self.process.stdin.write((line + "\n").encode("utf-8"))
        self.process.stdin.flush()
        end = time.monotonic() + timeout * TIME_SCALE
        while True:
            with open(self.out, "rb") as f:
                f.seek(self.offset)
                data = f.read()
            newline = data.find(b"\n")
            if newline >= 0:
                self.offset += newline + 1
                return json.loads(data[:newline].decode("utf-8"))
            if self.process.poll() is not None:
                raise Failure("the probe ended (%s) during: %s" % (self.process.returncode, line))
            if time.monotonic() > end:
                raise Failure("the probe did not answer: " + line)
            time.sleep(0.02)

    def ok(self, line, timeout=60):
        answer = self.cmd(line, timeout)
        check(answer.get("ok"), "probe command failed: %s -> %s" % (line, answer))
        return answer

    def tree(self, hwnd):
        return self.ok("tree %d" % hwnd)

    def windows(self, cls):
        return self.ok("windows " + cls)["windows"]

    def close(self):
        if self.process.poll() is None:
            try:
                self.cmd("quit", 10)
            except Failure:
                pass
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class ProbeProcess:
    """A process the probe started with CreateProcessW from an exact command line; it answers
    as much of subprocess.Popen as the scenarios use."""

    def __init__(self, probe, command_line):
        self.probe = probe
        self.pid = probe.ok("start " + command_line)["pid"]
        self.returncode = None

    def poll(self):
        if self.returncode is None:
            answer = self.probe.ok("exitcode %d 0" % self.pid)
            if not answer["running"]:
                self.returncode = answer["code"]
        return self.returncode

    def wait(self, timeout):
        end = time.monotonic() + timeout * TIME_SCALE
        while self.poll() is None:
            if time.monotonic() > end:
                raise subprocess.TimeoutExpired("the probe's process", timeout)
            time.sleep(0.2)
        return self.returncode

    def kill(self):
        self.probe.cmd("kill %d" % self.pid)
        self.returncode = self.returncode if self.returncode is not None else 1


class Setup:
    """One run of KetroSetup.exe and the window it shows. With command_line, the probe starts it
    through CreateProcessW with exactly that command line, program name included."""

    def __init__(self, prefix, probe, exe, args=(), tag="setup", command_line=None):
        self.prefix = prefix
        self.probe = probe
        if command_line is not None:
            self.process = ProbeProcess(probe, command_line)
        else:
            self.process = prefix.start([exe] + list(args), tag)
        self.hwnd = None

    def find_window(self, timeout=WINDOW_TIMEOUT):
        """The visible setup window of this process."""
        def ours():
            if self.process.poll() is not None:
                raise Failure("the setup ended early with exit code %d" % self.process.returncode)
            for w in self.probe.windows(SETUP_CLASS):
                if w["visible"]:
                    return w
            return None
        found = wait_for(ours, timeout, "the setup window")
        self.hwnd = found["hwnd"]
        # The window shows before it has loaded the payload and answers nothing meanwhile (the
        # probe then reads empty texts): wait until it answers with its caption.
        wait_for(lambda: self.tree().top["text"], timeout, "the setup window to answer",
                 interval=0.3)
        return self.hwnd

    def tree(self):
        global LAST_TREE
        LAST_TREE = Tree(self.probe.tree(self.hwnd))
        return LAST_TREE

    def exit_code(self, timeout=60):
        try:
            return self.process.wait(timeout * TIME_SCALE)
        except subprocess.TimeoutExpired:
            raise Failure("the setup did not end within %d s" % timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(30)


class Tree:
    """The window tree of the setup as the probe reports it."""

    def __init__(self, answer):
        self.answer = answer
        self.windows = answer["windows"]
        self.top = self.windows[0]

    def of_class(self, cls, visible_only=True):
        # Window class names are compared without regard to case, as the system does.
        return [w for w in self.windows
                if w["class"].lower() == cls.lower() and (w["visible"] or not visible_only)]

    def one(self, cls, **fields):
        found = [w for w in self.of_class(cls, visible_only=False)
                 if all(w.get(k) == v for k, v in fields.items())]
        check(len(found) == 1, "expected one %s %s, found %d" % (cls, fields, len(found)))
        return found[0]

    def focus(self):
        found = [w for w in self.windows if w["focus"]]
        return found[0] if found else None

    def by_hwnd(self, hwnd):
        for w in self.windows:
            if w["hwnd"] == hwnd:
                return w
        return None

    def folder_edit(self):
        """The single-line EDIT of the Options state."""
        edits = [w for w in self.of_class("EDIT", visible_only=False)
                 if not w["style"] & 0x0004]  # ES_MULTILINE
        check(len(edits) == 1, "expected one single-line EDIT, found %d" % len(edits))
        return edits[0]

    def note(self):
        """The multi-line EDIT of the Finished state, when shown."""
        memos = [w for w in self.of_class("EDIT") if w["style"] & 0x0004]
        return memos[0] if memos else None

    def client_rect(self):
        """The form's client area on the screen (without a window manager Wine draws no frame,
        so the picture of the whole window would carry a black border)."""
        child = [w for w in self.windows if w["parent"] == self.top["hwnd"]][0]
        return {"sx": child["sx"] - child["x"], "sy": child["sy"] - child["y"],
                "w": self.top["cw"], "h": self.top["ch"]}

    def check_boxes(self):
        return self.of_class("TEwCheckBox", visible_only=False)


def click_centre(probe, window, dx=None):
    x = window["sx"] + (dx if dx is not None else window["w"] // 2)
    y = window["sy"] + window["h"] // 2
    probe.ok("click %d %d" % (x, y))


def make_foreground(setup):
    """Keys go to the active window: make the setup's window the one."""
    def active():
        if setup.tree().answer["foreground"]:
            return True
        setup.probe.cmd("foreground %d" % setup.hwnd)
        return False
    wait_for(active, 20, "the setup window in the foreground", interval=0.3)


def wait_finished(setup, lang, timeout=INSTALL_TIMEOUT):
    def finished():
        if setup.process.poll() is not None:
            raise Failure("the setup ended during the run (%d)" % setup.process.returncode)
        tree = setup.tree()
        note = tree.note()
        return tree if note and note["text"] else None
    tree = wait_for(finished, timeout, "the Finished state", interval=0.3)
    note = tree.note()["text"]
    check(note.startswith(TEXTS[lang]["note_start"]), "closing note begins %r" % note[:60])
    check(note.rstrip().endswith(NOTE_END), "closing note ends %r" % note[-60:])
    return tree


def close_with_enter(setup):
    make_foreground(setup)
    setup.probe.ok("key Return")
    rc = setup.exit_code()
    check(rc == EXIT_DONE, "exit code after Enter in the Finished state: %d" % rc)


# ---------------------------------------------------------------------------------------------
# The product and what an installation leaves


def manifest_lines(product):
    with open(os.path.join(product, "list"), encoding="utf-8-sig") as f:
        text = f.read()
    return [line for line in text.replace("\r\n", "\n").split("\n") if line.strip()]


def installed_names(product, edition="P"):
    """The file lines an installation of this edition writes: (name, flags)."""
    result = []
    for line in manifest_lines(product):
        fields = line.split("|")
        name, flags = fields[0], fields[1] if len(fields) > 1 else ""
        if "K" in flags:
            continue
        if any(e in flags for e in "PFL") and edition not in flags:
            continue
        result.append((name, flags))
    return result


def local(folder, name):
    return os.path.join(folder, name.replace("\\", "/"))


def check_installed(args, folder, kept=(), product=None):
    """After a completed run: every file of the product (args.product unless given) is in
    folder with the product's bytes, the city database encrypted instead and opening with the
    password, and no rollback journal or write-ahead log is left in any folder of the
    installation; names in `kept` are not compared."""
    product = product or args.product
    names = installed_names(product)
    check(names, "the manifest names no files")
    for name, _ in names:
        path = local(folder, name)
        check(os.path.isfile(path), "not installed: " + name)
        if name == "Ketro.cts" or name in kept:
            continue
        check(filecmp.cmp(path, local(product, name), shallow=False),
              "installed %s differs from the product's" % name)
    cts = local(folder, "Ketro.cts")
    if any(n == "Ketro.cts" for n, _ in names):
        check_encrypted(args, cts)
    for root, _, _ in os.walk(folder):
        left = leftover_journals(root)
        check(not left, "left behind in %s: %s" % (root, left))


def check_encrypted(args, path):
    tool = os.path.join(args.native_bin, "ketro-cts")
    with_key = subprocess.run([tool, "check", path, "--key", CTS_PASSWORD],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    check(with_key.returncode == 0 and "ok" in with_key.stdout,
          "Ketro.cts not readable with the password: %d %s %s"
          % (with_key.returncode, with_key.stdout, with_key.stderr))
    without = subprocess.run([tool, "check", path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    check(without.returncode == 1, "Ketro.cts readable without a key (exit %d)"
          % without.returncode)
    with open(path, "rb") as f:
        check(not f.read(16).startswith(b"SQLite format 3"), "Ketro.cts has a plain header")


def check_shortcut(path, folder):
    """A link at path to the installed program, started in the installation folder."""
    check(os.path.isfile(path), "no shortcut " + path)
    info = subprocess.run(["lnkinfo", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)
    check(info.returncode == 0, "lnkinfo failed on %s: %s" % (path, info.stdout))
    fields = {}
    for line in info.stdout.splitlines():
        key, sep, value = line.partition(":")
        if sep:
            fields.setdefault(key.strip().lower(), value.strip())
    target = fields.get("local path") or fields.get("relative path") or ""
    check(target.lower() == (folder + "Ketro").lower(),
          "shortcut %s points at %r, not %r:\n%s" % (path, target, folder + "Ketro", info.stdout))
    workdir = fields.get("working directory", "")
    check(workdir.rstrip("\\").lower() == folder.rstrip("\\").lower(),
          "shortcut %s starts in %r:\n%s" % (path, workdir, info.stdout))


def stamps(folder, names):
    result = {}
    for name, _ in names:
        st = os.stat(local(folder, name))
        result[name] = (st.st_ino, st.st_mtime_ns, st.st_ctime_ns)
    return result


# ---------------------------------------------------------------------------------------------
# Pictures


def screen_shot(path, window=None):
    """The root window's picture, cut to the window's rectangle when given."""
    command = ["import", "-window", "root"]
    if window:
        command += ["-crop", "%dx%d+%d+%d" % (window["w"], window["h"], window["sx"],
                                              window["sy"]), "+repage"]
    subprocess.run(command + [path], check=True, stdout=subprocess.DEVNULL)


def settled_shot(path, window, timeout=20):
    """A picture once the window's painting has come to rest: two equal pictures in a row."""
    previous = path + ".prev.png"
    screen_shot(previous, window)

    def same():
        screen_shot(path, window)
        with open(path, "rb") as a, open(previous, "rb") as b:
            if a.read() == b.read():
                return True
        shutil.copy(path, previous)
        return False
    try:
        wait_for(same, timeout, "a still picture of the window", interval=0.3)
    finally:
        remove_file(previous)


class Picture:
    """Pixels of the screen, rows from the top, (red, green, blue) each."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    def dark(self, x, y):
        i = 3 * (y * self.width + x)
        return self.data[i] + self.data[i + 1] + self.data[i + 2] < 3 * 128

    def ink(self, left, top, width, height):
        """Dark pixels per column of the rectangle, as the probe counts them in its own
        drawing of a text."""
        return [sum(1 for y in range(top, top + height) if self.dark(x, y))
                for x in range(left, left + width)]


def grab(x, y, w, h):
    ppm = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                          "+repage", "-depth", "8", "ppm:-"], stdout=subprocess.PIPE,
                         check=True).stdout
    # P6, width, height, maximum, then the bytes after one blank.
    fields, at = [], 0
    while len(fields) < 4:
        while ppm[at:at + 1].isspace():
            at += 1
        start = at
        while not ppm[at:at + 1].isspace():
            at += 1
        fields.append(ppm[start:at])
    check(fields[0] == b"P6" and int(fields[3]) == 255, "unexpected picture format")
    width, height = int(fields[1]), int(fields[2])
    return Picture(width, height, ppm[at + 1:at + 1 + 3 * width * height])


def scaled(value, tree):
    """A length of the 120-ppi layout as the window scaled it (MulDiv by its text height)."""
    m = round(16 * tree.top["cw"] / 550)
    return (value * m + 8) // 16


# ---------------------------------------------------------------------------------------------
# Scenarios


def start_setup(prefix, probe, args, extra=(), tag="setup", exe=None):
    setup = Setup(prefix, probe, exe or windows_path(args.setup), extra, tag)
    setup.find_window()
    return setup


def check_first_start(setup, lang):
    tree = setup.tree()
    check(tree.top["text"] == CAPTION, "caption %r" % tree.top["text"])
    check(tree.top["class"] == SETUP_CLASS, "class %r" % tree.top["class"])
    edit = tree.folder_edit()
    check(edit["text"] == DEFAULT_FOLDER, "folder %r" % edit["text"])
    combos = tree.of_class("ComboBox")
    check(len(combos) == 1, "expected one visible combo box, found %d" % len(combos))
    combo = combos[0]
    check(combo["selected"] == TEXTS[lang]["combo"], "combo selected %d" % combo["selected"])
    boxes = [b["text"] for b in tree.check_boxes()]
    check(sorted(boxes) == sorted(TEXTS[lang]["boxes"]), "check boxes %r" % boxes)

    def combo_focused():
        focus = setup.tree().focus()
        return focus and (focus["hwnd"] == combo["hwnd"] or focus["parent"] == combo["hwnd"])
    wait_for(combo_focused, 10, "the focus on the language combo box")


def check_hint(setup, lang):
    """The folder button's hint, at once under the pointer and in the window's language. Its
    window is sized as the system sizes a tooltip (the text, two pixels round it, the border),
    so that the whole text shows: the picture holds the ink of every letter of the text, as the
    probe draws it in the same font (column by column, the blank columns between letters left
    out, since a system may space letters a pixel wider when it draws them than it measures)."""
    probe = setup.probe
    tree = setup.tree()
    pid = tree.answer["pid"]
    edit = tree.folder_edit()
    # The folder button is no window of its own: it lies right of the folder field, as high.
    x = edit["sx"] - edit["x"] + scaled(494, tree) + scaled(29, tree) // 2
    y = edit["sy"] + edit["h"] // 2
    make_foreground(setup)
    probe.ok("move %d %d" % (x - 40, y))
    probe.ok("move %d %d" % (x, y))

    def shown():
        found = [w for w in probe.windows("TKetHintWindow") if w["visible"] and w["pid"] == pid]
        return found[0] if found else None
    hint = wait_for(shown, 10, "the folder button's hint", interval=0.05)
    check(hint["text"] == TEXTS[lang]["hint"], "the hint reads %r" % hint["text"])
    window = Tree(probe.tree(hint["hwnd"])).top
    text = probe.ok("text status " + hint["text"])
    log("hint %r: window %dx%d, client %dx%d, text %dx%d" % (
        hint["text"], window["w"], window["h"], window["cw"], window["ch"], text["cx"],
        text["cy"]))
    check(window["cw"] >= text["cx"] + 4 and window["ch"] >= text["cy"] + 4,
          "the hint's client area %dx%d leaves no margin round its text of %dx%d" % (
              window["cw"], window["ch"], text["cx"], text["cy"]))
    # Its painting has come to rest (it stays up 2.5 s).
    time.sleep(0.3)
    bx, by = (window["w"] - window["cw"]) // 2, (window["h"] - window["ch"]) // 2
    picture = grab(window["sx"] + bx, window["sy"] + by, window["cw"], window["ch"])
    drawn = [n for n in picture.ink(0, 0, window["cw"], window["ch"]) if n]
    whole = [n for n in text["ink"] if n]
    check(drawn == whole, "the hint shows %d inked columns (%d pixels) where its whole text has "
          "%d (%d pixels)" % (len(drawn), sum(drawn), len(whole), sum(whole)))
    right = picture.ink(window["cw"] - HINT_MARGIN, 0, HINT_MARGIN, window["ch"])
    check(not any(right), "the hint's text runs into its right edge")


def scenario_first_start(args):
    for lang in ("en", "ru"):
        with Prefix("first-" + lang, lang) as prefix:
            probe = Probe(prefix, windows_path(args.probe))
            try:
                setup = start_setup(prefix, probe, args)
                try:
                    check_first_start(setup, lang)
                    check_hint(setup, lang)
                    # The close box ends the program: closed before installing.
                    probe.ok("close %d" % setup.hwnd)
                    rc = setup.exit_code()
                    check(rc == EXIT_CLOSED, "exit code after closing: %d" % rc)
                finally:
                    setup.kill()
            finally:
                probe.close()
        log("first start (%s): ok" % lang)


def install_with_enter(prefix, probe, args, lang="en"):
    """Starts the setup, presses Enter in the Options state, waits for the Finished state."""
    setup = start_setup(prefix, probe, args)
    make_foreground(setup)
    probe.ok("key Return")
    wait_finished(setup, lang)
    return setup


def scenario_install(args):
    """An installation by Enter, args.installs times, each in a fresh prefix and so a fresh
    process: a fault that hangs on where the heap puts things cannot pass by luck once."""
    for run in range(1, args.installs + 1):
        with Prefix("install-%d" % run) as prefix:
            probe = Probe(prefix, windows_path(args.probe))
            try:
                setup = install_with_enter(prefix, probe, args)
                try:
                    folder = prefix.c_path(DEFAULT_FOLDER)
                    check_installed(args, folder)
                    check_shortcut(os.path.join(desktop_dir(), "Ketro.lnk"), DEFAULT_FOLDER)
                    check_shortcut(os.path.join(prefix.programs_dir(), "Ketro.lnk"),
                                   DEFAULT_FOLDER)
                    close_with_enter(setup)
                finally:
                    setup.kill()
            finally:
                probe.close()
        log("install %d of %d: ok" % (run, args.installs))


def set_force(setup):
    tree = setup.tree()
    box = [b for b in tree.check_boxes() if b["text"] == TEXTS["en"]["boxes"][2]]
    check(len(box) == 1, "no forced-installation check box")
    # On the box's picture, near its left end.
    click_centre(setup.probe, box[0], dx=8)


def scenario_reinstall(args):
    names = installed_names(args.product)
    kept = [n for n, flags in names if "O" in flags]
    check(kept, "the product has no file kept on reinstallation")
    with Prefix("reinstall") as prefix:
        probe = Probe(prefix, windows_path(args.probe))
        folder = prefix.c_path(DEFAULT_FOLDER)
        try:
            first = install_with_enter(prefix, probe, args)
            close_with_enter(first)
            check_installed(args, folder)

            # The user's own settings, and leftovers the deletion lines name.
            for name in kept:
                with open(local(folder, name), "ab") as f:
                    f.write(b"\r\nchanged by the user\r\n")
            changed = {n: open(local(folder, n), "rb").read() for n in kept}
            os.makedirs(local(folder, "data\\old"), exist_ok=True)
            with open(local(folder, "data\\old\\left.tmp"), "wb") as f:
                f.write(b"old")
            after_edit = stamps(folder, names)

            second = install_with_enter(prefix, probe, args)
            close_with_enter(second)
            now = stamps(folder, names)
            rewritten = [n for n, _ in names if now[n] != after_edit[n]]
            check(not rewritten, "the second run rewrote up-to-date files: %s" % rewritten)
            for name in kept:
                check(open(local(folder, name), "rb").read() == changed[name],
                      "the user's %s was not kept" % name)
            check(not os.path.exists(local(folder, "data\\old\\left.tmp")),
                  "data\\old\\*.tmp was not deleted")
            check(not os.path.exists(local(folder, "data\\old")), "data\\old was not removed")
            check_installed(args, folder, kept=kept)

            third = start_setup(prefix, probe, args)
            try:
                set_force(third)
                make_foreground(third)
                probe.ok("key Return")
                wait_finished(third, "en")
                close_with_enter(third)
            finally:
                third.kill()
            forced = stamps(folder, names)
            same = [n for n, _ in names if forced[n][1:] == now[n][1:]]
            check(not same, "the forced run left files unwritten: %s" % same)
            check_installed(args, folder)
        finally:
            probe.close()
    log("reinstall: ok")


def replace_folder_text(setup, text):
    """Clicks into the folder field, clears it and types the text."""
    tree = setup.tree()
    edit = tree.folder_edit()
    make_foreground(setup)
    click_centre(setup.probe, edit)
    wait_for(lambda: (setup.tree().focus() or {}).get("hwnd") == edit["hwnd"], 10,
             "the focus in the folder field")
    setup.probe.ok("key Home")
    setup.probe.ok("key shift+End")
    setup.probe.ok("key Delete")
    if text:
        setup.probe.ok("type " + text)
    wait_for(lambda: setup.tree().folder_edit()["text"] == text, 10,
             "the folder field to read %r" % text)


def refused_folder(setup, text, message):
    """Enter with a folder the run refuses: a message box, then back to the Options state."""
    probe = setup.probe
    replace_folder_text(setup, text)
    probe.ok("key Return")

    def box():
        if setup.process.poll() is not None:
            raise Failure("the setup ended (%d)" % setup.process.returncode)
        found = [w for w in probe.windows("#32770") if w["visible"]]
        return found[0] if found else None
    dialog = wait_for(box, 30, "a message box for folder %r" % text)
    tree = Tree(probe.tree(dialog["hwnd"]))
    check(dialog["pid"] == setup.tree().answer["pid"], "the message box is not the setup's")
    check(dialog["text"] == CAPTION, "message box caption %r" % dialog["text"])
    texts = [w["text"] for w in tree.of_class("Static")]
    check(message in texts, "message box for %r says %r, not %r" % (text, texts, message))
    probe.ok("key Return")
    wait_for(lambda: not any(w["visible"] for w in probe.windows("#32770")), 20,
             "the message box to close")

    def options_again():
        t = setup.tree()
        edit = t.folder_edit()
        focus = t.focus()
        return (edit["visible"] and t.of_class("ComboBox") and focus and
                focus["hwnd"] == edit["hwnd"])
    wait_for(options_again, 20, "the Options state with the focus in the folder field")
    check(setup.tree().folder_edit()["text"] == text, "the folder field lost its text")
    check(setup.process.poll() is None, "the setup ended after the refusal")


def scenario_bad_folder(args):
    with Prefix("bad-folder") as prefix:
        probe = Probe(prefix, windows_path(args.probe))
        try:
            with open(prefix.c_path("C:\\afile"), "wb") as f:
                f.write(b"a file, not a folder")
            setup = start_setup(prefix, probe, args)
            try:
                refused_folder(setup, "C:\\bad<>|name\\x\\", BAD_FOLDER_TEXT)
                refused_folder(setup, "C:\\afile\\sub\\", BAD_FOLDER_TEXT)
                refused_folder(setup, "", NO_FOLDER_TEXT)
                good = "C:\\Good Place\\Ketro\\"
                replace_folder_text(setup, good)
                probe.ok("key Return")
                # Typed on after Enter, into the folder field that had the focus: it is hidden
                # now and must take none of it.
                probe.ok("type zz")
                probe.ok("key BackSpace")
                wait_finished(setup, "en")
                probe.ok("type yy")
                keys_handled()
                tree = setup.tree()
                check(tree.folder_edit()["text"] == good,
                      "keys after Enter changed the hidden folder field to %r"
                      % tree.folder_edit()["text"])
                focus = tree.focus()
                check(focus is None or focus["hwnd"] == tree.top["hwnd"] or focus["visible"],
                      "the focus stayed in a hidden %s" % (focus and focus["class"]))
                check_installed(args, prefix.c_path(good))

                # Escape in the closing note (a multi-line edit, which closes its parent as in a
                # dialog) leaves the Finished state as it is.
                before = [w["hwnd"] for w in tree.windows if w["visible"]]
                click_centre(probe, tree.note())
                wait_for(lambda: (setup.tree().focus() or {}).get("hwnd") == tree.note()["hwnd"],
                         10, "the focus in the closing note")
                probe.ok("key Escape")
                time.sleep(1)
                after = [w["hwnd"] for w in setup.tree().windows if w["visible"]]
                check(after == before, "Escape in the closing note took windows away: %s"
                      % sorted(set(before) - set(after)))
                probe.ok("close %d" % setup.hwnd)
                rc = setup.exit_code()
                check(rc == EXIT_DONE, "exit code after closing the finished run: %d" % rc)
            finally:
                setup.kill()
        finally:
            probe.close()
    log("bad folder: ok")


def scenario_single_instance(args):
    with Prefix("single") as prefix:
        probe = Probe(prefix, windows_path(args.probe))
        started = []

        def setup(extra, tag):
            started.append(Setup(prefix, probe, windows_path(args.setup), extra, tag))
            return started[-1]
        try:
            first = setup((), "first")
            first.find_window()
            probe.ok("own-window")
            check(not probe.ok("zorder %d" % first.hwnd)["above"],
                  "the probe's window did not come above the setup")

            second = setup((), "second")
            rc = second.exit_code(60)
            check(rc == EXIT_HANDED_OVER, "a second start ended with exit code %d" % rc)
            wait_for(lambda: probe.ok("zorder %d" % first.hwnd)["above"], 20,
                     "the first window above the probe's after a second start")
            wait_for(lambda: first.tree().answer["foreground"], 20,
                     "the first window in the foreground")

            probe.ok("minimize %d" % first.hwnd)
            wait_for(lambda: probe.ok("iconic %d" % first.hwnd)["iconic"], 10,
                     "the first window minimised")
            third = setup((), "third")
            rc = third.exit_code(60)
            check(rc == EXIT_HANDED_OVER, "a third start ended with exit code %d" % rc)
            wait_for(lambda: not probe.ok("iconic %d" % first.hwnd)["iconic"], 20,
                     "the minimised first window restored")
            check(len(probe.windows(SETUP_CLASS)) == 1, "more than one setup window")

            other = "C:\\Other\\"
            update = setup(("/update", other), "update")
            # It waits for the first: still running, no window of its own, while the first runs.
            wait_for(lambda: update.process.poll() is None and
                     all(w["pid"] == first.tree().answer["pid"]
                         for w in probe.windows(SETUP_CLASS)), 5, "the /update start waiting")
            time.sleep(3)
            check(update.process.poll() is None, "the /update start did not wait (exit %s)"
                  % update.process.returncode)
            check(all(w["hwnd"] == first.hwnd for w in probe.windows(SETUP_CLASS)
                      if w["visible"]), "the /update start showed a window while the first ran")

            probe.ok("close %d" % first.hwnd)
            rc = first.exit_code()
            check(rc == EXIT_CLOSED, "the first setup's exit code after closing: %d" % rc)
            update.find_window(60)
            folder = update.tree().folder_edit()["text"]
            check(folder == other, "the /update window's folder is %r" % folder)
            probe.ok("close %d" % update.hwnd)
            rc = update.exit_code()
            check(rc == EXIT_CLOSED, "the /update setup's exit code after closing: %d" % rc)
        finally:
            for s in started:
                s.kill()
            probe.close()
    log("single instance: ok")


# Bounds at 120 pixels per inch: (class, parent's name, x, y, w, h).
DESIGNED = {
    "GP": (0, 31, 550, 268),
    "Panel4": (0, 0, 550, 119),
    "Edit1": (30, 32, 459, 24),
    "Panel6": (0, 121, 550, 114),
    "cbDesktop": (30, 32, 492, 23),
    "cbStart": (30, 57, 492, 23),
    "cbForce": (30, 82, 492, 24),
    "Panel1": (0, 238, 550, 30),
    "cbLang": (5, 2, 186, None),
}


def name_controls(tree, lang):
    """Names the windows of the Options state after the layout's controls, by their place in
    the tree rather than their bounds, so that a misplaced control is still found."""
    top = tree.top
    children = lambda w: [c for c in tree.windows if c["parent"] == w["hwnd"]]
    names = {}
    gp = [c for c in children(top) if c["visible"]]
    check(len(gp) == 1, "expected one visible child of the form, found %d" % len(gp))
    names["GP"] = gp[0]
    for panel in children(gp[0]):
        kids = children(panel)
        classes = {k["class"].lower() for k in kids}
        if "edit" in classes:
            names["Panel4"] = panel
            names["Edit1"] = [k for k in kids if k["class"].lower() == "edit"][0]
        elif "combobox" in classes:
            names["Panel1"] = panel
            names["cbLang"] = [k for k in kids if k["class"] == "ComboBox"][0]
        elif "tewcheckbox" in classes:
            names["Panel6"] = panel
            texts = TEXTS[lang]["boxes"]
            for k in kids:
                for key, text in zip(("cbDesktop", "cbStart", "cbForce"), texts):
                    if k["text"] == text:
                        names[key] = k
    missing = [n for n in DESIGNED if n not in names]
    check(not missing, "controls not found: %s" % missing)
    return names


def progress_panel(tree):
    """The panel of the Copying state: the form's child that holds the progress bar."""
    bars = tree.of_class("msctls_progress32", visible_only=False)
    check(len(bars) == 1, "expected one progress bar, found %d" % len(bars))
    return tree.by_hwnd(bars[0]["parent"])


def scenario_layout(args):
    """The window at its designed density, 120 pixels per inch, in both languages: the layout's
    bounds, the folder button's hint, a picture of each state (Options, Copying, Finished) for
    the README, the Copying state's centred panel, and keys pressed after Enter: they reach no
    hidden control, so the language stays (Enter still closes the window at the end)."""
    os.makedirs(args.shots, exist_ok=True)
    for lang in ("en", "ru"):
        check_layout(args, lang)


# Keys that would switch a language box that still had the focus to the other language.
OTHER_LANGUAGE_KEYS = {"en": ["Down", "R", "End"], "ru": ["Up", "E", "Home"]}


def press_keys(setup, lang):
    make_foreground(setup)
    for key in OTHER_LANGUAGE_KEYS[lang]:
        setup.probe.ok("key " + key)


def keys_handled():
    """Keys wait in the window's queue behind the probe's questions, which a window answers
    first: a moment for a window that takes its messages to handle them."""
    time.sleep(1)


def check_keys_changed_nothing(setup, lang, when):
    """The language box, hidden, keeps its choice, and the focus lies in no hidden window."""
    keys_handled()
    tree = setup.tree()
    combos = tree.of_class("ComboBox", visible_only=False)
    check(len(combos) == 1, "expected one language box, found %d" % len(combos))
    check(combos[0]["selected"] == TEXTS[lang]["combo"],
          "keys pressed %s switched the hidden language box to item %d"
          % (when, combos[0]["selected"]))
    focus = tree.focus()
    check(focus is None or focus["hwnd"] == tree.top["hwnd"] or focus["visible"],
          "keys pressed %s went to a hidden %s" % (when, focus and focus["class"]))


def check_layout(args, lang):
    with Prefix("layout-" + lang, lang) as prefix:
        prefix.density(120)
        archive = big_product(args, prefix.dir)
        probe = Probe(prefix, windows_path(args.probe))
        try:
            probe.ok("embed %s %s %s" % (windows_path(args.setup), windows_path(archive),
                                         "C:\\KetroBig.exe"), timeout=120)
            check(os.path.getsize(prefix.c_path("C:\\KetroBig.exe")) > os.path.getsize(archive),
                  "embedding failed")
            setup = start_setup(prefix, probe, args, exe="C:\\KetroBig.exe")
            try:
                tree = setup.tree()
                top = tree.top
                log("client %dx%d" % (top["cw"], top["ch"]))
                problems = []
                if (top["cw"], top["ch"]) != (550, 299):
                    problems.append("client %dx%d, not 550x299" % (top["cw"], top["ch"]))
                names = name_controls(tree, lang)
                for name, want in DESIGNED.items():
                    w = names[name]
                    got = (w["x"], w["y"], w["w"], w["h"])
                    log("%-9s %s" % (name, got))
                    if any(v is not None and g != v for g, v in zip(got, want)):
                        problems.append("%s at %s, designed %s" % (name, got, want))
                check_hint(setup, lang)
                # The pointer off the window, the hint gone, for the picture.
                probe.ok("move %d %d" % (top["sx"] + top["w"] + 40, top["sy"] + top["h"] + 40))
                wait_for(lambda: not any(w["visible"] for w in probe.windows("TKetHintWindow")),
                         10, "the hint to go")
                client = tree.client_rect()
                settled_shot(os.path.join(args.shots, "options-%s.png" % lang), client)

                folder = prefix.c_path(DEFAULT_FOLDER)
                make_foreground(setup)
                probe.ok("key Return")
                database = os.path.join(prefix.dir, "product", "Ketro.cts")
                wait_for(lambda: rekey_running(folder, database), INSTALL_TIMEOUT,
                         "the re-key of Ketro.cts", interval=0.01)
                # Stopped while it works, so that the picture shows the Copying state however
                # fast the machine.
                pid = tree.answer["pid"]
                probe.ok("suspend %d" % pid)
                try:
                    check(rekey_running(folder, database),
                          "the run was over before it could be stopped for the picture")
                    screen_shot(os.path.join(args.shots, "copying-%s.png" % lang), client)
                finally:
                    probe.ok("resume %d" % pid)
                press_keys(setup, lang)

                tree = wait_finished(setup, lang)
                check_keys_changed_nothing(setup, lang, "during the run")
                press_keys(setup, lang)
                check_keys_changed_nothing(setup, lang, "in the Finished state")
                wait_finished(setup, lang)
                settled_shot(os.path.join(args.shots, "finished-%s.png" % lang), client)

                # The Copying state centred its panel; it keeps those bounds once hidden.
                panel = progress_panel(tree)
                got = (panel["x"], panel["y"], panel["w"], panel["h"])
                log("Panel3    %s" % (got,))
                cx, cy = (top["cw"] - 423) / 2, (top["ch"] - 104) / 2
                if (panel["w"], panel["h"]) != (423, 104) or abs(panel["x"] - cx) > 0.5 or \
                        abs(panel["y"] - cy) > 0.5:
                    problems.append("Panel3 at %s, not 423x104 centred" % (got,))
                check(not problems, "; ".join(problems))
                check_installed(args, folder, product=os.path.join(prefix.dir, "product"))
                close_with_enter(setup)
            finally:
                setup.kill()
        finally:
            probe.close()
    log("layout (%s): ok" % lang)


def rekey_running(folder, database):
    """Whether the run is re-keying its city database (or has just done so and prepares the
    files after it): the re-key needs no rollback journal, since the copy it rewrites is worth
    nothing until the commit, so the sign is that copy itself, inflated in full under one of the
    run's temporary names ("~ket" 8 hex digits ".tmp"), before anything has been moved into
    place. `database` is the product's plain Ketro.cts."""
    size = os.path.getsize(database)
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return False
    if "Ketro.cts" in names:
        return False
    for name in names:
        if re.fullmatch(r"~ket[0-9a-fA-F]{8}\.tmp", name):
            try:
                if os.path.getsize(os.path.join(folder, name)) == size:
                    return True
            except FileNotFoundError:
                pass  # moved into place meanwhile
    return False


def leftover_journals(folder):
    """Rollback journals and write-ahead logs in the folder, whatever the database's name."""
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return []
    return [n for n in names if n.endswith(("-journal", "-wal"))]


def big_product(args, work):
    """The product with a city database large enough that its re-key keeps the Copying state
    on the screen for a while: a copy of the product's database with a table of filler."""
    root = os.path.join(work, "product")
    shutil.copytree(args.product, root)
    cts = os.path.join(root, "Ketro.cts")
    db = sqlite3.connect(cts)
    db.execute("CREATE TABLE filler(data BLOB)")
    for _ in range(96):
        db.execute("INSERT INTO filler VALUES (randomblob(1048576))")
    db.commit()
    db.close()
    return pack(args, root, os.path.join(work, "payload.bin"))


def pack(args, root, archive):
    subprocess.run([os.path.join(args.native_bin, "ketro-pack"), "create", "--manifest",
                    os.path.join(root, "list"), "--root", root, "--output", archive],
                   check=True, stdout=subprocess.DEVNULL)
    return archive


def scenario_quoted_folder(args):
    """/update with a quoted folder ending in "\\", as an updating program starts the setup: the
    probe passes the command line to CreateProcessW as it stands (Wine's own start-up would
    quote and escape arguments in its own way). The folder field shows the folder with its final
    backslash and the installation lands there. Empty quotes for the folder give the default."""
    with Prefix("quoted-folder") as prefix:
        probe = Probe(prefix, windows_path(args.probe))
        started = []
        try:
            exe = windows_path(args.setup)
            folder = "C:\\Program Files\\Ketro\\"
            line = '"%s" /update "%s"' % (exe, folder)
            setup = Setup(prefix, probe, None, command_line=line)
            started.append(setup)
            setup.find_window()
            got = setup.tree().folder_edit()["text"]
            check(got == folder, "the command line %s gave the folder %r" % (line, got))
            make_foreground(setup)
            probe.ok("key Return")
            wait_finished(setup, "en")
            check_installed(args, prefix.c_path(folder))
            close_with_enter(setup)

            line = '"%s" "/UPDATE" ""' % exe
            empty = Setup(prefix, probe, None, command_line=line)
            started.append(empty)
            empty.find_window()
            got = empty.tree().folder_edit()["text"]
            check(got == DEFAULT_FOLDER, "the command line %s gave the folder %r" % (line, got))
            probe.ok("close %d" % empty.hwnd)
            rc = empty.exit_code()
            check(rc == EXIT_CLOSED, "exit code after closing: %d" % rc)
        finally:
            for s in started:
                s.kill()
            probe.close()
    log("quoted folder: ok")


# A file's own name, the same in every folder of the long-name product.
LONG_OWN_NAME = "cities of the world, full edition.dat"


def long_name_product(args, work, count=12, size=2 << 20):
    """The product with files whose names are far too long for the file-name line of the
    Copying state: each in a deep folder of its own, each with the same own name."""
    root = os.path.join(work, "product")
    shutil.copytree(args.product, root)
    names = ["data\\regional set %02d of the city database kept for older versions of the "
             "program\\with notes on where each city came from\\%s" % (i, LONG_OWN_NAME)
             for i in range(count)]
    for name in names:
        path = local(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
    lines = manifest_lines(root)
    # File lines go before the deletion lines, which end the manifest.
    at = next((i for i, line in enumerate(lines) if "|K|" in line), len(lines))
    lines[at:at] = ["%s||#|long name" % name for name in names]
    with open(os.path.join(root, "list"), "w", encoding="utf-8", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))
    return root, names, pack(args, root, os.path.join(work, "payload.bin"))


def inked(columns):
    """The inked columns only: letters side by side, the blank columns between them left out."""
    return [n for n in columns if n]


def ends_with(sequence, tail):
    return len(tail) <= len(sequence) and sequence[len(sequence) - len(tail):] == tail


def contains(sequence, part):
    return any(sequence[i:i + len(part)] == part for i in range(len(sequence) - len(part) + 1))


def scenario_long_name(args):
    """A file name too long for the Copying state's file-name line is shortened in its folders
    with an ellipsis, so that its end, the file's own name, shows whole. The setup is stopped
    (all its threads suspended) while it writes such a file, and the line is photographed; its
    ink is compared with the probe's drawing of the texts in the same font."""
    with Prefix("long-name") as prefix:
        root, names, archive = long_name_product(args, prefix.dir)
        probe = Probe(prefix, windows_path(args.probe))
        suspended = None
        try:
            probe.ok("embed %s %s %s" % (windows_path(args.setup), windows_path(archive),
                                         "C:\\KetroLong.exe"), timeout=120)
            setup = start_setup(prefix, probe, args, exe="C:\\KetroLong.exe")
            try:
                pid = setup.tree().answer["pid"]
                make_foreground(setup)
                folder = prefix.c_path(DEFAULT_FOLDER)
                first = os.path.dirname(local(folder, names[0]))
                probe.ok("key Return")

                def panel_shown():
                    tree = setup.tree()
                    panel = progress_panel(tree)
                    return tree if panel["visible"] else None
                tree = wait_for(panel_shown, INSTALL_TIMEOUT, "the Copying state's panel",
                                interval=0.05)
                bar = tree.of_class("msctls_progress32")[0]
                # The file-name line lies right above the progress bar, as wide.
                height = scaled(68, tree) - scaled(45, tree)
                # The run makes the folders before it prepares any file: a file in the first
                # long name's folder (the one being inflated) says its name is on the line.
                wait_for(lambda: os.path.isdir(first) and os.listdir(first), INSTALL_TIMEOUT,
                         "the first long name's file being written", interval=0.005)
                probe.ok("suspend %d" % pid)
                suspended = pid
                picture = grab(bar["sx"], bar["sy"] - height, bar["w"], height)
                os.makedirs(args.shots, exist_ok=True)
                screen_shot(os.path.join(args.shots, "long-name.png"), tree.client_rect())
                probe.ok("resume %d" % pid)
                suspended = None

                line = inked(picture.ink(0, 0, bar["w"], height))
                own = inked(probe.ok("text default " + LONG_OWN_NAME)["ink"])
                whole = inked(probe.ok("text default " + names[0])["ink"])
                dots = inked(probe.ok("text default ...")["ink"])
                check(line, "the file-name line is empty")
                check(len(line) < len(whole), "the long name was not shortened")
                check(ends_with(line, own), "the file-name line does not end in the file's own "
                      "name (%d inked columns, the name alone %d)" % (len(line), len(own)))
                check(contains(line, dots), "no ellipsis where the name was shortened")
                right = picture.ink(bar["w"] - 1, 0, 1, height)
                check(not any(right), "the file-name line runs into its right edge")

                wait_finished(setup, "en")
                check_installed(args, folder, product=root)
                close_with_enter(setup)
            finally:
                if suspended:
                    probe.cmd("resume %d" % suspended)
                setup.kill()
        finally:
            probe.close()
    log("long name: ok")


def scenario_close_during_run(args):
    """The close box during the run: the window stays until the run is over (no half-written
    file, no half re-keyed database), then closes by itself with exit code 0."""
    with Prefix("close-during-run") as prefix:
        archive = big_product(args, prefix.dir)
        probe = Probe(prefix, windows_path(args.probe))
        try:
            probe.ok("embed %s %s %s" % (windows_path(args.setup), windows_path(archive),
                                         "C:\\KetroBig.exe"), timeout=120)
            setup = start_setup(prefix, probe, args, exe="C:\\KetroBig.exe")
            try:
                make_foreground(setup)
                folder = prefix.c_path(DEFAULT_FOLDER)
                pid = setup.tree().answer["pid"]
                probe.ok("key Return")
                database = os.path.join(prefix.dir, "product", "Ketro.cts")
                wait_for(lambda: rekey_running(folder, database), INSTALL_TIMEOUT,
                         "the re-key of Ketro.cts", interval=0.01)
                # The close box pressed while the run is held in the middle of its work, so
                # that the press lands in the run however fast the machine.
                probe.ok("suspend %d" % pid)
                try:
                    check(rekey_running(folder, database),
                          "the run was over before it could be held")
                    probe.ok("close %d" % setup.hwnd)
                finally:
                    probe.ok("resume %d" % pid)
                rc = setup.exit_code(INSTALL_TIMEOUT)
                check(rc == EXIT_DONE, "exit code after closing during the run: %d" % rc)
                check_installed(args, folder, product=os.path.join(prefix.dir, "product"))
            finally:
                setup.kill()
        finally:
            probe.close()
    log("close during the run: ok")


# ---------------------------------------------------------------------------------------------
# Updates that cannot be carried out, and the exit codes


def snapshot(folder):
    """Every file and folder below folder, each file with its bytes and last-write time: the
    same snapshot later means the folder is byte-identical."""
    result = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs:
            result[os.path.relpath(os.path.join(root, name), folder)] = "folder"
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                result[os.path.relpath(path, folder)] = (f.read(), os.stat(path).st_mtime_ns)
    return result


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def check_unchanged(before, folder, link, what):
    """The installation as it was before: the folder byte-identical, the desktop link too."""
    after = snapshot(folder)
    changed = sorted(n for n in set(before[0]) | set(after) if before[0].get(n) != after.get(n))
    check(not changed, "%s changed the installation: %s" % (what, changed[:10]))
    check(read_bytes(link) == before[1], "%s changed the desktop link" % what)


def message_box(setup, timeout=INSTALL_TIMEOUT):
    """The setup's message box once it shows: its window, its text and its buttons' texts."""
    probe = setup.probe

    def shown():
        if setup.process.poll() is not None:
            raise Failure("the setup ended (%d) before its message box"
                          % setup.process.returncode)
        found = [w for w in probe.windows("#32770") if w["visible"] and w["pid"] == setup.pid]
        return found[0] if found else None
    dialog = wait_for(shown, timeout, "a message box of the setup", interval=0.2)
    tree = Tree(probe.tree(dialog["hwnd"]))
    check(dialog["text"] == CAPTION, "message box caption %r" % dialog["text"])
    text = " ".join(w["text"] for w in tree.of_class("Static") if w["text"])
    buttons = [w["text"].replace("&", "") for w in tree.of_class("Button")]
    return dialog, text, buttons


def box_shot(args, dialog, name):
    """A picture of a message box for the README, once its painting has come to rest."""
    os.makedirs(args.shots, exist_ok=True)
    settled_shot(os.path.join(args.shots, name + ".png"),
                 {"sx": dialog["sx"], "sy": dialog["sy"], "w": dialog["w"], "h": dialog["h"]})


def answer_box(setup, dialog, key):
    """A key in the message box (Return: its default button, Escape: Cancel); waits until it
    has gone."""
    probe = setup.probe
    wait_for(lambda: probe.cmd("foreground %d" % dialog["hwnd"]).get("ok") or
             not any(w["hwnd"] == dialog["hwnd"] for w in probe.windows("#32770")),
             20, "the message box in the foreground", interval=0.3)
    probe.ok("key " + key)
    wait_for(lambda: not any(w["hwnd"] == dialog["hwnd"] and w["visible"]
                             for w in probe.windows("#32770")), 20, "the message box to close")


def forced_update(setup):
    """Forced installation ticked, then Enter: every file of the product is to be written."""
    set_force(setup)
    make_foreground(setup)
    setup.probe.ok("key Return")


def close_window(setup):
    setup.probe.ok("close %d" % setup.hwnd)
    return setup.exit_code(INSTALL_TIMEOUT)


def damaged_payload(args, work):
    """The product's payload with one byte flipped in the middle of Ketro.exe's compressed data."""
    archive = pack(args, args.product, os.path.join(work, "damaged.bin"))
    listing = subprocess.run([os.path.join(args.native_bin, "ketro-pack"), "list", archive],
                             stdout=subprocess.PIPE, check=True, text=True).stdout
    # Index, name, size, packed size, position of the packed data, date.
    entry = [line.split("\t") for line in listing.splitlines()
             if line.split("\t")[1:2] == ["Ketro.exe"]]
    check(len(entry) == 1, "Ketro.exe not listed in the payload:\n" + listing)
    pack_size, position = int(entry[0][3]), int(entry[0][4])
    with open(archive, "r+b") as f:
        f.seek(position + pack_size // 2)
        byte = f.read(1)
        f.seek(position + pack_size // 2)
        f.write(bytes([byte[0] ^ 0x55]))
    return archive


def newer_product(args, work):
    """The product with another Ketro.exe: the same program with bytes after its image, which
    Windows does not load."""
    root = os.path.join(work, "newer")
    shutil.copytree(args.product, root)
    with open(os.path.join(root, "Ketro.exe"), "ab") as f:
        f.write(b"newer Ketro.exe" * 64)
    return root, pack(args, root, os.path.join(work, "newer.bin"))


class SmallDrive:
    """Drive D: of the prefix on a tmpfs of the given size (mounting needs root)."""

    def __init__(self, prefix, size):
        self.mount = os.path.join(prefix.dir, "small")
        os.makedirs(self.mount)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs",
                               self.mount], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True)
        check(done.returncode == 0, "cannot mount a small tmpfs (root is needed): " + done.stdout)
        self.link = os.path.join(prefix.path, "dosdevices", "d:")
        remove_file(self.link)
        os.symlink(self.mount, self.link)

    def close(self):
        remove_file(self.link)
        subprocess.run(["umount", self.mount], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def scenario_update_faults(args):
    """Over one installation in one prefix: the exit codes of a completed run (0), of a window
    closed before installing (6) and of a start that hands over (7); then updates that cannot
    be carried out, each leaving the installation byte-identical and the desktop link as it
    was: a damaged setup file (its box, exit 1), a file held open without delete sharing (the
    files-in-use box: Cancel goes back to the Options state, exit 6; Retry once it is free
    completes), a drive too small for the new files beside the old (the space box); and an
    update while the installed Ketro.exe runs, which puts the new Ketro.exe in place and leaves
    no set-aside file after the next run."""
    with Prefix("update-faults") as prefix:
        probe = Probe(prefix, windows_path(args.probe))
        folder = prefix.c_path(DEFAULT_FOLDER)
        link = os.path.join(desktop_dir(), "Ketro.lnk")
        started = []
        drive = None

        def setup(exe=None, extra=()):
            started.append(Setup(prefix, probe, exe or windows_path(args.setup), extra))
            started[-1].find_window()
            started[-1].pid = started[-1].tree().answer["pid"]
            return started[-1]
        try:
            base = setup()
            make_foreground(base)
            probe.ok("key Return")
            wait_finished(base, "en")
            close_with_enter(base)
            check_installed(args, folder)
            before = (snapshot(folder), read_bytes(link))

            running = setup()
            second = Setup(prefix, probe, windows_path(args.setup), (), "second")
            started.append(second)
            rc = second.exit_code(60)
            check(rc == EXIT_HANDED_OVER, "a second start ended with exit code %d" % rc)
            rc = close_window(running)
            check(rc == EXIT_CLOSED, "closed before installing: exit code %d" % rc)

            probe.ok("embed %s %s %s" % (windows_path(args.setup),
                                         windows_path(damaged_payload(args, prefix.dir)),
                                         "C:\\KetroDamaged.exe"), timeout=120)
            damaged = setup("C:\\KetroDamaged.exe")
            forced_update(damaged)
            dialog, text, _ = message_box(damaged)
            check("setup file is damaged" in text, "the damaged setup's box says %r" % text)
            answer_box(damaged, dialog, "Return")
            rc = close_window(damaged)
            check(rc == EXIT_CANNOT_START, "a damaged setup file: exit code %d" % rc)
            check_unchanged(before, folder, link, "a damaged setup file")
            log("damaged setup file: ok")

            held = "readme.txt"
            probe.ok("hold " + DEFAULT_FOLDER + held)
            cancelled = setup()
            forced_update(cancelled)
            dialog, text, buttons = message_box(cancelled)
            check('"%s"' % held in text and "used by another program" in text,
                  "the files-in-use box says %r" % text)
            check(buttons == ["Retry", "Cancel"], "the files-in-use box offers %s" % buttons)
            box_shot(args, Tree(probe.tree(dialog["hwnd"])).top, "file-in-use-en")
            answer_box(cancelled, dialog, "Escape")
            wait_for(lambda: cancelled.tree().folder_edit()["visible"] and
                     cancelled.tree().of_class("ComboBox"), 20, "the Options state after Cancel")
            check_unchanged(before, folder, link, "Cancel at the files-in-use box")
            rc = close_window(cancelled)
            check(rc == EXIT_CLOSED, "closed after Cancel: exit code %d" % rc)
            log("files in use, Cancel: ok")

            # Room for the installation once, not for its new files beside the old ones.
            size = sum(os.path.getsize(local(folder, n)) for n, _ in installed_names(args.product))
            # The uninstaller and its record are copied along.
            extra = sum(os.path.getsize(os.path.join(folder, n))
                        for n in ("Uninstall Ketro.exe", "Uninstall Ketro.lst"))
            drive = SmallDrive(prefix, size * 3 // 2 + extra)
            small = os.path.join(drive.mount, "Ketro")
            subprocess.run(["cp", "-a", folder, small], check=True)
            small_before = (snapshot(small), before[1])
            tight = setup(extra=("/update", "D:\\Ketro\\"))
            forced_update(tight)
            dialog, text, _ = message_box(tight)
            check("not enough free space" in text and text.count("\u00a0MB") == 2,
                  "the space box says %r" % text)
            answer_box(tight, dialog, "Return")
            rc = close_window(tight)
            check(rc == EXIT_UNDONE, "not enough space: exit code %d" % rc)
            check_unchanged(small_before, small, link, "a drive too small")
            drive.close()
            drive = None
            log("small drive: ok")

            retried = setup()
            forced_update(retried)
            dialog, text, _ = message_box(retried)
            check('"%s"' % held in text, "the files-in-use box says %r" % text)
            probe.ok("release")
            answer_box(retried, dialog, "Return")
            wait_finished(retried, "en")
            close_with_enter(retried)
            check_installed(args, folder)
            log("files in use, Retry: ok")

            newer, payload = newer_product(args, prefix.dir)
            probe.ok("embed %s %s %s" % (windows_path(args.setup), windows_path(payload),
                                         "C:\\KetroNewer.exe"), timeout=120)
            program = ProbeProcess(probe, '"%sKetro.exe"' % DEFAULT_FOLDER)
            wait_for(lambda: any(w["pid"] == program.pid for w in probe.windows("TKetroCities")),
                     WINDOW_TIMEOUT, "the installed Ketro.exe running")
            update = setup("C:\\KetroNewer.exe")
            forced_update(update)
            wait_finished(update, "en")
            close_with_enter(update)
            check(program.poll() is None, "the running Ketro.exe ended during the update")
            check_installed(args, folder, product=newer)
            program.kill()
            # The next run removes what was set aside while it was in use.
            again = setup("C:\\KetroNewer.exe")
            make_foreground(again)
            probe.ok("key Return")
            wait_finished(again, "en")
            close_with_enter(again)
            names = {local(folder, n) for n, _ in installed_names(newer)}
            names |= {local(folder, n) for n in ("Uninstall Ketro.exe", "Uninstall Ketro.lst")}
            extra = [os.path.relpath(os.path.join(root, f), folder)
                     for root, _, files in os.walk(folder) for f in files
                     if os.path.join(root, f) not in names]
            check(not extra, "left in the folder after the update and the next run: %s" % extra)
            check_installed(args, folder, product=newer)
            log("running Ketro.exe: ok")
        finally:
            probe.cmd("release")
            for s in started:
                s.kill()
            if drive:
                drive.close()
            probe.close()
    log("update faults: ok")


def unattended(prefix, probe, args, extra, exe=None, ignore=()):
    """Runs the setup with switches until it ends, watching its windows meanwhile: the exit
    code and, for each window that became visible (but those in `ignore`), the classes of the
    visible windows in its tree (a message box is "#32770")."""
    process = prefix.start([exe or windows_path(args.setup)] + list(extra), "unattended")
    seen = {}
    end = time.monotonic() + INSTALL_TIMEOUT
    while process.poll() is None:
        check(time.monotonic() < end, "the setup %s did not end" % " ".join(extra))
        for cls in (SETUP_CLASS, "#32770"):
            for w in probe.windows(cls):
                if not w["visible"] or w["hwnd"] in ignore:
                    continue
                try:
                    tree = Tree(probe.tree(w["hwnd"]))
                except Failure:
                    continue  # gone meanwhile
                seen.setdefault(w["hwnd"], set()).update(x["class"] for x in tree.windows
                                                         if x["visible"])
        time.sleep(0.1)
    return process.returncode, seen


def read_log(path):
    check(os.path.isfile(path), "no log " + path)
    with open(path, "rb") as f:
        return f.read().decode("utf-8").split("\r\n")


def check_log(lines, args, folder, code):
    """A log of a completed run: the version first, the command line, the folder, one line per
    file installed, the exit code last."""
    check(lines[0].startswith("Ketro FULL setup ") and lines[1].startswith("Command line: "),
          "the log begins %s" % lines[:2])
    check("Folder: " + folder in lines, "the log names no folder %s:\n%s" % (folder, lines))
    for name, _ in installed_names(args.product):
        check("Installed: " + name in lines, "the log has no line for %s:\n%s" % (name, lines))
    check(lines[-2:] == ["Exit code: %d" % code, ""], "the log ends %s" % lines[-2:])


APPS_ENTRY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ketro FULL"


def reg_query(prefix, key):
    """The values of a registry key as `wine reg query` shows them: name -> (type, data); None
    when there is no such key."""
    process = prefix.start(["reg", "query", key], "reg")
    if process.wait(60) != 0:
        return None
    with open(process.out_path, "rb") as f:
        text = f.read().decode("utf-8", "replace")
    values = {}
    for line in text.splitlines():
        parts = [p for p in line.strip().split("    ") if p]
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
    return values


def check_apps_entry(prefix, folder):
    """The Apps & features entry of an installation in folder (ends in "\\")."""
    values = reg_query(prefix, APPS_ENTRY)
    check(values is not None, "no Apps & features key")
    expected = {"DisplayName": CAPTION, "Publisher": "Ketro Soft", "InstallLocation": folder,
                "DisplayIcon": folder + "Ketro.exe"}
    for name, data in expected.items():
        check(values.get(name, (None, None))[1] == data,
              "Apps & features %s is %r, not %r" % (name, values.get(name), data))
    check(values.get("DisplayVersion", ("", ""))[1].count(".") == 3,
          "DisplayVersion %r" % (values.get("DisplayVersion"),))
    check(values.get("InstallDate", ("", ""))[1] == time.strftime("%Y%m%d"),
          "InstallDate %r" % (values.get("InstallDate"),))
    for name in ("NoModify", "NoRepair"):
        check(values.get(name) == ("REG_DWORD", "0x1"), "%s is %r" % (name, values.get(name)))
    size = sum(os.path.getsize(local(prefix.c_path(folder), n))
               for n, _ in installed_names(prefix.product))
    # The uninstaller and its record are part of the installation.
    size += sum(os.path.getsize(os.path.join(prefix.c_path(folder), n))
                for n in ("Uninstall Ketro.exe", "Uninstall Ketro.lst"))
    kb = int(values.get("EstimatedSize", ("", "0x0"))[1], 16)
    # The city database is installed encrypted: near the product's size, not exactly.
    check(size // 2048 <= kb <= size // 512 + 64, "EstimatedSize %d KB for %d bytes" % (kb, size))


def check_no_links(prefix):
    for path in (os.path.join(desktop_dir(), "Ketro.lnk"),
                 os.path.join(prefix.programs_dir(), "Ketro.lnk")):
        check(not os.path.exists(path), "a shortcut was made: " + path)


def scenario_unattended(args):
    """Starts with switches, as deployment scripts make them, in one prefix: a /VERYSILENT
    install into a /DIR= folder with blanks (no window at all, the files, the links, exit 0);
    /NOICONS (no links); /SILENT (nothing but the Copying state, closing itself); and the exit
    codes of silent runs that cannot install, with their boxes suppressed: a folder that cannot
    be made (2), a damaged setup file (1), a file in use (6), and a start while another setup
    runs (7)."""
    with Prefix("unattended") as prefix:
        probe = Probe(prefix, windows_path(args.probe))
        started = []
        try:
            folder = "C:\\Silent Place\\Ketro\\"
            rc, seen = unattended(prefix, probe, args,
                                  ["/VERYSILENT", "/SUPPRESSMSGBOXES", "/DIR=" + folder,
                                   "/LOG=C:\\setup log.txt"])
            check(rc == EXIT_DONE, "/VERYSILENT install: exit code %d" % rc)
            check(not seen, "/VERYSILENT showed windows: %s" % seen)
            check_installed(args, prefix.c_path(folder))
            check_shortcut(os.path.join(desktop_dir(), "Ketro.lnk"), folder)
            check_shortcut(os.path.join(prefix.programs_dir(), "Ketro.lnk"), folder)
            check_log(read_log(prefix.c_path("C:\\setup log.txt")), args, folder, EXIT_DONE)
            prefix.product = args.product
            check_apps_entry(prefix, folder)
            log("/VERYSILENT, /LOG=: ok")

            for path in (os.path.join(desktop_dir(), "Ketro.lnk"),
                         os.path.join(prefix.programs_dir(), "Ketro.lnk")):
                remove_file(path)
            rc, seen = unattended(prefix, probe, args,
                                  ["/verysilent", "/noicons", "/dir=C:\\NoIcons", "/log"])
            check(rc == EXIT_DONE and not seen, "/NOICONS: exit code %d, windows %s" % (rc, seen))
            check_installed(args, prefix.c_path("C:\\NoIcons\\"))
            check_no_links(prefix)
            # The one entry is the latest installation's.
            check_apps_entry(prefix, "C:\\NoIcons\\")
            logs = [os.path.join(root, name) for root, _, names in os.walk(prefix.c_path("C:\\users"))
                    for name in names if name.startswith("Ketro Setup Log ")]
            check(len(logs) == 1 and logs[0].endswith(" #001.txt"), "default logs: %s" % logs)
            check_log(read_log(logs[0]), args, "C:\\NoIcons", EXIT_DONE)
            log("/NOICONS, /LOG: ok")

            rc, seen = unattended(prefix, probe, args, ["/SILENT", "/NOICONS", "/DIR=C:\\Shown"])
            check(rc == EXIT_DONE, "/SILENT: exit code %d" % rc)
            check_installed(args, prefix.c_path("C:\\Shown\\"))
            for classes in seen.values():
                options = classes & {"Edit", "EDIT", "ComboBox", "TEwCheckBox", "#32770"}
                check(not options, "/SILENT showed more than the Copying state: %s" % classes)
            log("/SILENT: ok (its window seen %d time(s))" % len(seen))

            with open(prefix.c_path("C:\\afile"), "wb") as f:
                f.write(b"a file, not a folder")
            rc, seen = unattended(prefix, probe, args,
                                  ["/VERYSILENT", "/SUPPRESSMSGBOXES", "/DIR=C:\\afile\\sub"])
            check(rc == EXIT_FOLDER_REFUSED and not seen,
                  "a folder that cannot be made: exit code %d, windows %s" % (rc, seen))

            probe.ok("embed %s %s %s" % (windows_path(args.setup),
                                         windows_path(damaged_payload(args, prefix.dir)),
                                         "C:\\KetroDamaged.exe"), timeout=120)
            rc, seen = unattended(prefix, probe, args, ["/VERYSILENT", "/SUPPRESSMSGBOXES",
                                                        "/FORCE", "/DIR=" + folder],
                                  exe="C:\\KetroDamaged.exe")
            check(rc == EXIT_CANNOT_START and not seen,
                  "a damaged setup file: exit code %d, windows %s" % (rc, seen))

            probe.ok("hold " + folder + "readme.txt")
            rc, seen = unattended(prefix, probe, args, ["/VERYSILENT", "/SUPPRESSMSGBOXES",
                                                        "/FORCE", "/DIR=" + folder])
            probe.ok("release")
            check(rc == EXIT_CLOSED and not seen,
                  "a file in use: exit code %d, windows %s" % (rc, seen))
            check_installed(args, prefix.c_path(folder))

            started.append(start_setup(prefix, probe, args))
            rc, seen = unattended(prefix, probe, args, ["/VERYSILENT", "/DIR=C:\\Other"],
                                  ignore={started[-1].hwnd})
            check(rc == EXIT_HANDED_OVER and not seen,
                  "a start while a setup runs: exit code %d, windows %s" % (rc, seen))
            check(not os.path.exists(prefix.c_path("C:\\Other")), "the handed-over start installed")
            log("exit codes: ok")

            # The entry's quiet uninstall, after a new install into the folder.
            started.pop().kill()
            rc, _ = unattended(prefix, probe, args, ["/VERYSILENT", "/DIR=" + folder])
            check(rc == EXIT_DONE, "install before the uninstall: exit code %d" % rc)
            check_apps_entry(prefix, folder)
            values = reg_query(prefix, APPS_ENTRY)
            uninstaller = folder + "Uninstall Ketro.exe"
            check(values.get("UninstallString", ("", ""))[1] == '"%s"' % uninstaller and
                  values.get("QuietUninstallString", ("", ""))[1] == '"%s" /VERYSILENT' % uninstaller,
                  "the uninstall commands: %s" % values)
            local_folder = prefix.c_path(folder)
            with open(os.path.join(local_folder, "data", "mine.txt"), "w") as f:
                f.write("the user's own")
            rc, seen = unattended(prefix, probe, args, ["/VERYSILENT"], exe=uninstaller)
            check(rc == EXIT_DONE and not seen,
                  "the quiet uninstall: exit code %d, windows %s" % (rc, seen))
            wait_for(lambda: not os.path.exists(prefix.c_path(uninstaller)), 30,
                     "the uninstaller to remove itself")
            for name, flags in installed_names(args.product):
                kept = "O" in flags
                check(os.path.exists(local(local_folder, name)) == kept,
                      "after the uninstall %s is %s" % (name, "gone" if kept else "still there"))
            check(os.path.isfile(os.path.join(local_folder, "data", "mine.txt")),
                  "the uninstall removed the user's file")
            check_no_links(prefix)
            check(reg_query(prefix, APPS_ENTRY) is None, "the Apps & features key stayed")
            log("uninstall: ok")
        finally:
            probe.cmd("release")
            for s in started:
                s.kill()
            probe.close()
    log("unattended: ok")


SCENARIOS = {
    "unattended": scenario_unattended,
    "update_faults": scenario_update_faults,
    "first_start": scenario_first_start,
    "install": scenario_install,
    "reinstall": scenario_reinstall,
    "bad_folder": scenario_bad_folder,
    "single_instance": scenario_single_instance,
    "layout": scenario_layout,
    "quoted_folder": scenario_quoted_folder,
    "long_name": scenario_long_name,
    "close_during_run": scenario_close_during_run,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--setup", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--product", required=True)
    parser.add_argument("--native-bin", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--installs", type=int, default=1,
                        help="how many times the install scenario installs, each in a fresh prefix")
    args = parser.parse_args()
    if not os.environ.get("WINEPREFIX"):
        print("e2e: no WINEPREFIX; run the tests through scripts/with-wine.sh", file=sys.stderr)
        return 2
    started = time.monotonic()
    try:
        SCENARIOS[args.scenario](args)
    except Failure as e:
        print("e2e: FAILED %s: %s" % (args.scenario, e), file=sys.stderr, flush=True)
        if LAST_TREE:
            print("e2e: the last window tree read:", file=sys.stderr)
            for w in LAST_TREE.windows:
                print("  ", json.dumps(w, ensure_ascii=False), file=sys.stderr)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    log("%s passed in %.1f s" % (args.scenario, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
