"""The scenarios of an installation: by Enter, again over an installed one, into a quoted folder,
with long names, closed during the run, updates that go wrong, and the unattended switches."""

import os
import shutil
import subprocess
import time

from harness import (
    CAPTION, DEFAULT_FOLDER, EXIT_CANNOT_START, EXIT_CLOSED, EXIT_DONE, EXIT_FOLDER_REFUSED,
    EXIT_HANDED_OVER, EXIT_UNDONE, Failure, INSTALL_TIMEOUT, ProbeProcess, SETUP_CLASS, Setup,
    TEXTS, Tree, WINDOW_TIMEOUT, big_product, check, check_installed, check_shortcut,
    click_centre, close_with_enter, desktop_dir, embed, grab, installed_names, local, log,
    make_foreground, manifest_lines, pack, progress_panel, rekey_running, remove_file, scaled,
    screen_shot, session, settled_shot, stamps, start_setup, wait_finished, wait_for,
    windows_path,
)


def install_with_enter(prefix, probe, args, started, lang="en"):
    """Starts the setup, presses Enter in the Options state, waits for the Finished state."""
    setup = start_setup(prefix, probe, args, started=started)
    enter_and_finish(setup, lang)
    return setup


def enter_and_finish(setup, lang="en"):
    """Enter in the setup's window, then the Finished state."""
    make_foreground(setup)
    setup.probe.ok("key Return")
    return wait_finished(setup, lang)


def scenario_install(args):
    """An installation by Enter, args.installs times, each in a fresh prefix and so a fresh
    process: a fault that hangs on where the heap puts things cannot pass by luck once."""
    for run in range(1, args.installs + 1):
        with session("install-%d" % run, args) as (prefix, probe, started):
            setup = install_with_enter(prefix, probe, args, started)
            check_installed(args, prefix.c_path(DEFAULT_FOLDER))
            check_shortcut(os.path.join(desktop_dir(), "Ketro.lnk"), DEFAULT_FOLDER)
            check_shortcut(os.path.join(prefix.programs_dir(), "Ketro.lnk"), DEFAULT_FOLDER)
            close_with_enter(setup)
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
    with session("reinstall", args) as (prefix, probe, started):
        folder = prefix.c_path(DEFAULT_FOLDER)
        close_with_enter(install_with_enter(prefix, probe, args, started))
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

        close_with_enter(install_with_enter(prefix, probe, args, started))
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

        third = start_setup(prefix, probe, args, started=started)
        forced_update(third)
        wait_finished(third, "en")
        close_with_enter(third)
        forced = stamps(folder, names)
        same = [n for n, _ in names if forced[n][1:] == now[n][1:]]
        check(not same, "the forced run left files unwritten: %s" % same)
        check_installed(args, folder)
    log("reinstall: ok")


def scenario_quoted_folder(args):
    """/update with a quoted folder ending in "\\", as an updating program starts the setup: the
    probe passes the command line to CreateProcessW as it stands (Wine's own start-up would
    quote and escape arguments in its own way). The folder field shows the folder with its final
    backslash and the installation lands there. Empty quotes for the folder give the default."""
    with session("quoted-folder", args) as (prefix, probe, started):
        exe = windows_path(args.setup)
        folder = "C:\\Program Files\\Ketro\\"
        line = '"%s" /update "%s"' % (exe, folder)
        setup = Setup(prefix, probe, None, command_line=line)
        started.append(setup)
        setup.find_window()
        got = setup.tree().folder_edit()["text"]
        check(got == folder, "the command line %s gave the folder %r" % (line, got))
        enter_and_finish(setup)
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
    with session("long-name", args) as (prefix, probe, started):
        root, names, archive = long_name_product(args, prefix.dir)
        exe = embed(probe, args, archive, "C:\\KetroLong.exe")
        setup = start_setup(prefix, probe, args, exe=exe, started=started)
        suspended = None
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
    log("long name: ok")


def scenario_close_during_run(args):
    """The close box during the run: the window stays until the run is over (no half-written
    file, no half re-keyed database), then closes by itself with exit code 0."""
    with session("close-during-run", args) as (prefix, probe, started):
        archive = big_product(args, prefix.dir)
        exe = embed(probe, args, archive, "C:\\KetroBig.exe")
        setup = start_setup(prefix, probe, args, exe=exe, started=started)
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
    with session("update-faults", args) as (prefix, probe, started):
        folder = prefix.c_path(DEFAULT_FOLDER)
        link = os.path.join(desktop_dir(), "Ketro.lnk")
        drive = None

        def setup(exe=None, extra=()):
            started.append(Setup(prefix, probe, exe or windows_path(args.setup), extra))
            started[-1].find_window()
            started[-1].pid = started[-1].tree().answer["pid"]
            return started[-1]
        try:
            base = setup()
            enter_and_finish(base)
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

            damaged = setup(embed(probe, args, damaged_payload(args, prefix.dir),
                                  "C:\\KetroDamaged.exe"))
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
            embed(probe, args, payload, "C:\\KetroNewer.exe")
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
            enter_and_finish(again)
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
    with session("unattended", args) as (prefix, probe, started):
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

            damaged = embed(probe, args, damaged_payload(args, prefix.dir), "C:\\KetroDamaged.exe")
            rc, seen = unattended(prefix, probe, args, ["/VERYSILENT", "/SUPPRESSMSGBOXES",
                                                        "/FORCE", "/DIR=" + folder], exe=damaged)
            check(rc == EXIT_CANNOT_START and not seen,
                  "a damaged setup file: exit code %d, windows %s" % (rc, seen))

            probe.ok("hold " + folder + "readme.txt")
            rc, seen = unattended(prefix, probe, args, ["/VERYSILENT", "/SUPPRESSMSGBOXES",
                                                        "/FORCE", "/DIR=" + folder])
            probe.ok("release")
            check(rc == EXIT_CLOSED and not seen,
                  "a file in use: exit code %d, windows %s" % (rc, seen))
            check_installed(args, prefix.c_path(folder))

            start_setup(prefix, probe, args, started=started)
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
    log("unattended: ok")
