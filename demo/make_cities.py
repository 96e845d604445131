#!/usr/bin/env python3
"""Builds the demo product's city database Ketro.cts, a plain SQLite 3 file.

The cities are the principal places of the tz database (zone1970.tab, Debian package tzdata),
with the country names of iso3166.tab. The setup encrypts the file when it installs it.

    make_cities.py OUTPUT [--zone1970 PATH] [--iso3166 PATH]

The output is rebuilt from scratch each time, so the same input gives the same rows.
"""

import argparse
import os
import re
import sqlite3
import sys

COORD = re.compile(r"^([+-])(\d{2,3})(\d{2})(\d{2})?([+-])(\d{3})(\d{2})(\d{2})?$")


def parse_iso6709(text):
    """Latitude and longitude in degrees from the tz form +DDMM[SS]+DDDMM[SS]."""
    m = COORD.match(text)
    if not m:
        raise ValueError(f"bad coordinates {text!r}")
    lat = int(m[2]) + int(m[3]) / 60 + int(m[4] or 0) / 3600
    lon = int(m[6]) + int(m[7]) / 60 + int(m[8] or 0) / 3600
    return (-lat if m[1] == "-" else lat), (-lon if m[5] == "-" else lon)


def data_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line and not line.startswith("#"):
                yield line.split("\t")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output")
    ap.add_argument("--zone1970", default="/usr/share/zoneinfo/zone1970.tab")
    ap.add_argument("--iso3166", default="/usr/share/zoneinfo/iso3166.tab")
    args = ap.parse_args()

    countries = {f[0]: f[1] for f in data_lines(args.iso3166)}
    cities = []
    for f in data_lines(args.zone1970):
        codes, coords, zone = f[0].split(","), f[1], f[2]
        comment = f[3] if len(f) > 3 else ""
        lat, lon = parse_iso6709(coords)
        name = zone.rsplit("/", 1)[-1].replace("_", " ")
        cities.append((name, codes[0], zone, round(lat, 4), round(lon, 4), comment))
    if not cities:
        sys.exit("make_cities: no cities read from " + args.zone1970)

    tmp = args.output + ".tmp"
    if os.path.exists(tmp):
        os.remove(tmp)
    db = sqlite3.connect(tmp)
    db.executescript(
        """
        PRAGMA page_size = 4096;
        CREATE TABLE countries (
          code TEXT PRIMARY KEY,
          name TEXT NOT NULL
        );
        CREATE TABLE cities (
          id        INTEGER PRIMARY KEY,
          name      TEXT NOT NULL,
          country   TEXT NOT NULL REFERENCES countries(code),
          zone      TEXT NOT NULL,
          latitude  REAL NOT NULL,
          longitude REAL NOT NULL,
          comment   TEXT NOT NULL DEFAULT ''
        );
        CREATE INDEX cities_by_name ON cities(name);
        """
    )
    used = sorted({c[1] for c in cities})
    db.executemany(
        "INSERT INTO countries(code, name) VALUES (?, ?)",
        [(code, countries.get(code, code)) for code in used],
    )
    db.executemany(
        "INSERT INTO cities(name, country, zone, latitude, longitude, comment)"
        " VALUES (?, ?, ?, ?, ?, ?)",
        cities,
    )
    db.commit()
    db.close()
    os.replace(tmp, args.output)


if __name__ == "__main__":
    main()
