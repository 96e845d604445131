"""The scenarios of the window itself: the first start and its hint, a refused folder, one
instance at a time, the layout against the design."""

import os
import time

from harness import (
    BAD_FOLDER_TEXT, CAPTION, DEFAULT_FOLDER, EXIT_CLOSED, EXIT_DONE, EXIT_HANDED_OVER, Failure,
    HINT_MARGIN, INSTALL_TIMEOUT, NO_FOLDER_TEXT, SETUP_CLASS, Setup, TEXTS, Tree, big_product,
    check, check_installed, click_centre, close_with_enter, embed, grab, log, make_foreground,
    progress_panel, rekey_running, scaled, screen_shot, session, settled_shot, start_setup,
    wait_finished, wait_for, windows_path,
)


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
        with session("first-" + lang, args, lang) as (prefix, probe, started):
            setup = start_setup(prefix, probe, args, started=started)
            check_first_start(setup, lang)
            check_hint(setup, lang)
            # The close box ends the program: closed before installing.
            probe.ok("close %d" % setup.hwnd)
            rc = setup.exit_code()
            check(rc == EXIT_CLOSED, "exit code after closing: %d" % rc)
        log("first start (%s): ok" % lang)


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
    with session("bad-folder", args) as (prefix, probe, started):
        with open(prefix.c_path("C:\\afile"), "wb") as f:
            f.write(b"a file, not a folder")
        setup = start_setup(prefix, probe, args, started=started)
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
    log("bad folder: ok")


def scenario_single_instance(args):
    with session("single", args) as (prefix, probe, started):
        def setup(extra, tag):
            started.append(Setup(prefix, probe, windows_path(args.setup), extra, tag))
            return started[-1]

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
    with session("layout-" + lang, args, lang, ppi=120) as (prefix, probe, started):
        archive = big_product(args, prefix.dir)
        exe = embed(probe, args, archive, "C:\\KetroBig.exe")
        check(os.path.getsize(prefix.c_path(exe)) > os.path.getsize(archive), "embedding failed")
        setup = start_setup(prefix, probe, args, exe=exe, started=started)
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
    log("layout (%s): ok" % lang)
