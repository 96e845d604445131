#!/usr/bin/env python3
"""make_cities.py as the build runs it: a valid SQLite file with every principal place of the
tz database, coordinates with their signs, country names resolved, the same rows every time.

    cities_test.py MAKE_CITIES [ZONE1970 ISO3166]
"""

import os
import sqlite3
import subprocess
import sys
import tempfile

make_cities = sys.argv[1]
zone1970 = sys.argv[2] if len(sys.argv) > 2 else "/usr/share/zoneinfo/zone1970.tab"
iso3166 = sys.argv[3] if len(sys.argv) > 3 else "/usr/share/zoneinfo/iso3166.tab"
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def build(path):
    subprocess.run(
        [sys.executable, make_cities, path, "--zone1970", zone1970, "--iso3166", iso3166],
        check=True,
    )


def rows(path):
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return db.execute(
            "SELECT c.name, c.country, n.name, c.zone, c.latitude, c.longitude"
            " FROM cities c LEFT JOIN countries n ON n.code = c.country ORDER BY c.id"
        ).fetchall()
    finally:
        db.close()


with tempfile.TemporaryDirectory() as work:
    first = os.path.join(work, "Ketro.cts")
    build(first)
    with open(first, "rb") as f:
        check(f.read(16) == b"SQLite format 3\0", "not a plain SQLite file")
    db = sqlite3.connect(first)
    check(db.execute("PRAGMA integrity_check").fetchone()[0] == "ok", "integrity check")
    check(db.execute("PRAGMA page_size").fetchone()[0] == 4096, "page size")
    db.close()

    with open(zone1970, encoding="utf-8") as f:
        zones = [l for l in f.read().splitlines() if l and not l.startswith("#")]
    got = rows(first)
    check(len(got) > 100, f"only {len(got)} cities")
    check(len(got) == len(zones), f"{len(got)} cities for {len(zones)} zones")
    check(all(r[2] is not None for r in got), "a city whose country is not in countries")
    check(len({r[3] for r in got}) == len(got), "a zone twice")

    by_zone = {r[3]: r for r in got}
    # Northern and eastern, southern and western, and seconds-free minutes rounding.
    expect = {
        "Europe/Paris": ("Paris", "FR", "France", 48.8667, 2.3333),
        "America/Argentina/Buenos_Aires": ("Buenos Aires", "AR", "Argentina", -34.6, -58.45),
        "Asia/Kathmandu": ("Kathmandu", "NP", "Nepal", 27.7167, 85.3167),
    }
    for zone, (name, code, country, lat, lon) in expect.items():
        r = by_zone.get(zone)
        check(r is not None, f"no {zone}")
        if r is not None:
            check(r[:3] == (name, code, country), f"{zone}: {r[:3]}")
            check(abs(r[4] - lat) < 1e-9 and abs(r[5] - lon) < 1e-9, f"{zone}: {r[4]}, {r[5]}")

    # Rebuilt over an older file: the same rows, nothing appended.
    build(first)
    check(rows(first) == got, "a second build over the first gave other rows")
    check(not os.path.exists(first + ".tmp"), "temporary file left behind")

if failures:
    print(f"{len(failures)} failures")
    sys.exit(1)
print("make_cities: all passed")
