#!/usr/bin/env python3
"""Overlapping Allan deviation of a recording with NumPy, the way the common
Python tool computes it (phase by cumulative sum, then one vectorised second
difference per averaging factor), for comparison with `ratelog-cli allan`.

usage: python3 bench/allan_numpy.py FILE.rtd [--taus octave|N] [--print]

Prints the wall time of reading plus computing and of computing alone (best
of three); with --print also the table in the form of `ratelog-cli allan`
(tau_s, adev_deg_h, terms only). tau0 is the mean step, as ratelog takes it
for a recording without gaps.
"""
import struct
import sys
import time

import numpy as np

VERSION_MARKER = 24611
RECORD = np.dtype([("time", "<f4"), ("rate", "<f4"), ("temperature", "<f4")])


def read_rates(path):
    with open(path, "rb") as f:
        head = f.read(760)
    head = head.ljust(32, b"\0")
    full = head[:4] == b"VRDT" or struct.unpack_from("<I", head, 28)[0] == VERSION_MARKER
    offset = 760 if full else 4
    rec = np.fromfile(path, dtype=RECORD, offset=offset)
    ok = np.isfinite(rec["time"]) & np.isfinite(rec["rate"]) & np.isfinite(rec["temperature"])
    rec = rec[ok]
    rates = rec["rate"].astype(np.float64) * 3600.0
    n = len(rates)
    tau0 = (float(rec["time"][-1]) - float(rec["time"][0])) / (n - 1)
    return rates, tau0


def factors(n, taus):
    top = (n - 1) // 2
    if taus == "octave":
        out, m = [], 1
        while m <= top:
            out.append(m)
            m *= 2
        return out
    per = int(taus)
    out, k = [], 0
    while True:
        m = int(round(10 ** (k / per)))
        if m > top:
            return out
        if not out or m > out[-1]:
            out.append(m)
        k += 1


def oadev(rates, tau0, taus):
    n = len(rates)
    phase = np.concatenate(([0.0], np.cumsum(rates - rates.mean()) * tau0))
    out = []
    for m in factors(n, taus):
        v = phase[2 * m:] - 2.0 * phase[m:-m] + phase[:-2 * m]
        s = np.dot(v, v)
        out.append((m * tau0, np.sqrt(s / (2.0 * len(v))) / (m * tau0), len(v)))
    return out


def main():
    path = sys.argv[1]
    taus = sys.argv[sys.argv.index("--taus") + 1] if "--taus" in sys.argv else "octave"
    best_all = best_compute = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        rates, tau0 = read_rates(path)
        t1 = time.perf_counter()
        table = oadev(rates, tau0, taus)
        t2 = time.perf_counter()
        best_all = min(best_all, t2 - t0)
        best_compute = min(best_compute, t2 - t1)
    print(f"records {len(rates)} factors {len(table)}")
    print(f"read+compute {best_all * 1000:.0f} ms, compute {best_compute * 1000:.0f} ms (best of 3)")
    if "--print" in sys.argv:
        for tau, adev, terms in table:
            print(f"{tau:.10g}\t{adev:.10g}\t{terms}")


if __name__ == "__main__":
    main()
