#!/usr/bin/env python3
"""End-to-end tests of KetroSetup.exe: the real program under Wine, driven by ket-probe.exe.

    e2e.py SCENARIO --setup KetroSetup.exe --probe ket-probe.exe --product DIR
                    --native-bin DIR --shots DIR

Runs inside scripts/with-wine.sh (WINEPREFIX, KET_WINE, WINESERVER, DISPLAY, HOME). Each
scenario works in a prefix of its own, copied from the one with-wine.sh made, and removes it
at the end. Exit 0 when every check of the scenario held, 1 otherwise.
"""

import argparse
import filecmp
import json
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
    },
    "ru": {
        "combo": 1,
        "boxes": ["Создать иконку на рабочем столе", "Создать иконку в меню \"Пуск\"",
                  "Принудительная установка (все настройки будут утеряны!)"],
        "note_start": "Переодически проверяйте обновления",
    },
}
NOTE_END = "support@ketro-soft.ru"

# Generous: Wine starts slowly on a loaded machine.
WINDOW_TIMEOUT = 60
INSTALL_TIMEOUT = 120


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
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure("timed out waiting for " + what)
        time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# Prefixes and processes


class Prefix:
    """A throwaway Wine prefix for one scenario: a copy of the prepared one, with Wine's own
    fonts, and a wineserver of its own that is ended (and its socket folder removed) at the end."""

    def __init__(self, name):
        self.source = os.environ["WINEPREFIX"]
        base = os.environ.get("KET_WINE_BASE") or tempfile.gettempdir()
        self.dir = tempfile.mkdtemp(prefix="e2e-%s." % name, dir=base)
        self.path = os.path.join(self.dir, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.path)
        self.wine = os.environ.get("KET_WINE", "/usr/lib/wine/wine64")
        self.server = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver64")
        self.counter = 0

    def __enter__(self):
        try:
            self.prepare()
        except BaseException:
            self.__exit__(None, None, None)
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

    def __exit__(self, *exc):
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
        return process.wait(timeout)

    def reg_add(self, key, value, kind, data):
        rc = self.run(["reg", "add", key, "/v", value, "/t", kind, "/d", str(data), "/f"], "reg")
        check(rc == 0, "reg add %s %s failed (%d)" % (key, value, rc))

    def russian(self):
        self.reg_add("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", "OEMCP",
                     "REG_SZ", 866)

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
        end = time.monotonic() + timeout
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


class Setup:
    """One run of KetroSetup.exe and the window it shows."""

    def __init__(self, prefix, probe, exe, args=(), tag="setup"):
        self.prefix = prefix
        self.probe = probe
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
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the setup did not end within %d s" % timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


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
    check(rc == 0, "exit code after Enter in the Finished state: %d" % rc)


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


def check_installed(args, folder, kept=()):
    """Every file of the product is in folder with the product's bytes (the city database
    encrypted instead); names in `kept` are not compared."""
    names = installed_names(args.product)
    check(names, "the manifest names no files")
    for name, _ in names:
        path = local(folder, name)
        check(os.path.isfile(path), "not installed: " + name)
        if name == "Ketro.cts" or name in kept:
            continue
        check(filecmp.cmp(path, local(args.product, name), shallow=False),
              "installed %s differs from the product's" % name)
    cts = local(folder, "Ketro.cts")
    if any(n == "Ketro.cts" for n, _ in names):
        check_encrypted(args, cts)


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


def scenario_first_start(args):
    for lang in ("en", "ru"):
        with Prefix("first-" + lang) as prefix:
            if lang == "ru":
                prefix.russian()
            probe = Probe(prefix, windows_path(args.probe))
            try:
                setup = start_setup(prefix, probe, args)
                try:
                    check_first_start(setup, lang)
                    # The close box ends the program normally.
                    probe.ok("close %d" % setup.hwnd)
                    rc = setup.exit_code()
                    check(rc == 0, "exit code after closing: %d" % rc)
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
    with Prefix("install") as prefix:
        probe = Probe(prefix, windows_path(args.probe))
        try:
            setup = install_with_enter(prefix, probe, args)
            try:
                folder = prefix.c_path(DEFAULT_FOLDER)
                check_installed(args, folder)
                check_shortcut(os.path.join(desktop_dir(), "Ketro.lnk"), DEFAULT_FOLDER)
                check_shortcut(os.path.join(prefix.programs_dir(), "Ketro.lnk"), DEFAULT_FOLDER)
                close_with_enter(setup)
            finally:
                setup.kill()
        finally:
            probe.close()
    log("install: ok")


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
                wait_finished(setup, "en")
                check_installed(args, prefix.c_path(good))
                close_with_enter(setup)
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
            check(rc == 0, "a second start ended with exit code %d" % rc)
            wait_for(lambda: probe.ok("zorder %d" % first.hwnd)["above"], 20,
                     "the first window above the probe's after a second start")
            wait_for(lambda: first.tree().answer["foreground"], 20,
                     "the first window in the foreground")

            probe.ok("minimize %d" % first.hwnd)
            wait_for(lambda: probe.ok("iconic %d" % first.hwnd)["iconic"], 10,
                     "the first window minimised")
            third = setup((), "third")
            rc = third.exit_code(60)
            check(rc == 0, "a third start ended with exit code %d" % rc)
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
            check(rc == 0, "the first setup's exit code after closing: %d" % rc)
            update.find_window(60)
            folder = update.tree().folder_edit()["text"]
            check(folder == other, "the /update window's folder is %r" % folder)
            probe.ok("close %d" % update.hwnd)
            rc = update.exit_code()
            check(rc == 0, "the /update setup's exit code after closing: %d" % rc)
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
    for lang in ("en", "ru"):
        check_layout(args, lang)


def check_layout(args, lang):
    with Prefix("layout-" + lang) as prefix:
        if lang == "ru":
            prefix.russian()
        prefix.reg_add("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", 120)
        prefix.reg_add("HKLM\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software"
                       "\\Fonts", "LogPixels", "REG_DWORD", 120)
        probe = Probe(prefix, windows_path(args.probe))
        try:
            setup = start_setup(prefix, probe, args)
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
                os.makedirs(args.shots, exist_ok=True)
                settled_shot(os.path.join(args.shots, "options-%s-120ppi.png" % lang),
                             tree.client_rect())

                # The Copying state centres its panel; it keeps those bounds once hidden.
                make_foreground(setup)
                probe.ok("key Return")
                panel = progress_panel(wait_finished(setup, lang))
                got = (panel["x"], panel["y"], panel["w"], panel["h"])
                log("Panel3    %s" % (got,))
                cx, cy = (top["cw"] - 423) / 2, (top["ch"] - 104) / 2
                if (panel["w"], panel["h"]) != (423, 104) or abs(panel["x"] - cx) > 0.5 or \
                        abs(panel["y"] - cy) > 0.5:
                    problems.append("Panel3 at %s, not 423x104 centred" % (got,))
                check(not problems, "; ".join(problems))
                close_with_enter(setup)
            finally:
                setup.kill()
        finally:
            probe.close()
    log("layout (%s): ok" % lang)


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
    archive = os.path.join(work, "payload.bin")
    subprocess.run([os.path.join(args.native_bin, "ketro-pack"), "create", "--manifest",
                    os.path.join(root, "list"), "--root", root, "--output", archive],
                   check=True, stdout=subprocess.DEVNULL)
    return archive


def scenario_screenshots(args):
    os.makedirs(args.shots, exist_ok=True)
    for lang in ("en", "ru"):
        with Prefix("shots-" + lang) as prefix:
            if lang == "ru":
                prefix.russian()
            archive = big_product(args, prefix.dir)
            exe = os.path.join(prefix.path, "drive_c", "KetroBig.exe")
            probe = Probe(prefix, windows_path(args.probe))
            try:
                probe.ok("embed %s %s %s" % (windows_path(args.setup), windows_path(archive),
                                             "C:\\KetroBig.exe"), timeout=120)
                check(os.path.getsize(exe) > os.path.getsize(archive), "embedding failed")
                setup = start_setup(prefix, probe, args, exe="C:\\KetroBig.exe")
                try:
                    make_foreground(setup)
                    top = setup.tree().client_rect()
                    settled_shot(os.path.join(args.shots, "options-%s.png" % lang), top)
                    folder = prefix.c_path(DEFAULT_FOLDER)
                    journal = local(folder, "Ketro.cts-journal")
                    probe.ok("key Return")
                    # The database's re-key journal exists while the window shows the run.
                    wait_for(lambda: os.path.exists(journal), INSTALL_TIMEOUT,
                             "the re-key of Ketro.cts", interval=0.01)
                    screen_shot(os.path.join(args.shots, "copying-%s.png" % lang), top)
                    check(os.path.exists(journal),
                          "the re-key ended before the picture was taken")
                    wait_finished(setup, lang)
                    settled_shot(os.path.join(args.shots, "finished-%s.png" % lang), top)
                    close_with_enter(setup)
                finally:
                    setup.kill()
            finally:
                probe.close()
        log("screenshots (%s): ok" % lang)


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
                journal = local(folder, "Ketro.cts-journal")
                probe.ok("key Return")
                wait_for(lambda: os.path.exists(journal), INSTALL_TIMEOUT,
                         "the re-key of Ketro.cts", interval=0.01)
                probe.ok("close %d" % setup.hwnd)
                check(setup.process.poll() is None and os.path.exists(journal),
                      "the setup ended while it re-keyed the database")
                rc = setup.exit_code(INSTALL_TIMEOUT)
                check(rc == 0, "exit code after closing during the run: %d" % rc)
                check(not os.path.exists(journal), "the re-key journal was left behind")
                check_installed(args, folder)
            finally:
                setup.kill()
        finally:
            probe.close()
    log("close during the run: ok")


SCENARIOS = {
    "first_start": scenario_first_start,
    "install": scenario_install,
    "reinstall": scenario_reinstall,
    "bad_folder": scenario_bad_folder,
    "single_instance": scenario_single_instance,
    "layout": scenario_layout,
    "screenshots": scenario_screenshots,
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
