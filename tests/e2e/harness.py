"""The end-to-end tests' harness: the Wine prefix and its locale, the display, the probe and the
setup as processes, waiting with the emulated machine's time scale, the window tree, pictures,
the products the scenarios pack, and the checks of an installation."""

import contextlib
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


@contextlib.contextmanager
def session(name, args, lang="en", ppi=None):
    """A scenario's throwaway prefix (at ppi pixels per inch when given), its probe and the list
    of the setups it starts: at the end, whatever happened, those setups are killed and the
    probe ends."""
    with Prefix(name, lang) as prefix:
        if ppi:
            prefix.density(ppi)  # before the probe, which measures texts as the setup does
        probe = Probe(prefix, windows_path(args.probe))
        started = []
        try:
            yield prefix, probe, started
        finally:
            for s in started:
                s.kill()
            probe.close()


def start_setup(prefix, probe, args, extra=(), tag="setup", exe=None, started=None):
    """A setup started and its window shown; added to `started` when given."""
    setup = Setup(prefix, probe, exe or windows_path(args.setup), extra, tag)
    if started is not None:
        started.append(setup)
    setup.find_window()
    return setup


def embed(probe, args, archive, exe):
    """A copy of the setup at exe (on drive C:) that carries archive."""
    probe.ok("embed %s %s %s" % (windows_path(args.setup), windows_path(archive), exe),
             timeout=120)
    return exe


def progress_panel(tree):
    """The panel of the Copying state: the form's child that holds the progress bar."""
    bars = tree.of_class("msctls_progress32", visible_only=False)
    check(len(bars) == 1, "expected one progress bar, found %d" % len(bars))
    return tree.by_hwnd(bars[0]["parent"])


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
