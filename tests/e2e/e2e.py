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

This file is the entry: the command line and the table of scenarios. harness.py holds what
every scenario drives the program with (Wine, the display, the processes, waiting, the window
tree, pictures, the checks of an installation); window_scenarios.py and install_scenarios.py hold
the scenarios.
"""

import argparse
import json
import os
import sys
import time
import traceback

import harness
from harness import (
    Failure, log,
)
from window_scenarios import (
    scenario_bad_folder, scenario_first_start, scenario_layout, scenario_single_instance,
)
from install_scenarios import (
    scenario_close_during_run, scenario_install, scenario_long_name, scenario_quoted_folder,
    scenario_reinstall, scenario_unattended, scenario_update_faults,
)

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
        if harness.LAST_TREE:
            print("e2e: the last window tree read:", file=sys.stderr)
            for w in harness.LAST_TREE.windows:
                print("  ", json.dumps(w, ensure_ascii=False), file=sys.stderr)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    log("%s passed in %.1f s" % (args.scenario, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
