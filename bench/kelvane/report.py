# SPDX-License-Identifier: BSD-3-Clause
"""Prints the kelvane benchmark: time per solve, pass count and objective of kelvane,
Octave's qp and SciPy's lsq_linear (bvls, trf) on every problem, and the ratios."""
import csv
import sys

import numpy as np

PEERS = ("qp", "bvls", "trf")


def main(workdir):
    octave = list(csv.DictReader(open(f"{workdir}/octave.csv")))
    scipy = {(r["family"], r["n"], r["seed"]): r for r in csv.DictReader(open(f"{workdir}/scipy.csv"))}
    print(f"{'problem':<14}{'kelvane us':>11}{'batch us':>9}{'passes':>7}{'qp ms':>10}{'bvls ms':>10}"
          f"{'trf ms':>10}{'bvls/kel':>10}{'bvls/batch':>11}{'trf/kel':>9}{'qp/kel':>9}"
          f"   objective: kelvane, then peers relative to it")
    worse = []
    behind = []
    ok_objective = True
    ratios = {}
    for r in octave:
        key = (r["family"], r["n"], r["seed"])
        s = scipy[key]
        n = int(r["n"])
        name = "_".join(key)
        R = np.fromfile(f"{workdir}/{name}_R.bin").reshape((n, n), order="F")
        y = np.fromfile(f"{workdir}/{name}_y.bin")
        f = {}
        for solver in ("kelvane",) + PEERS:
            x = np.fromfile(f"{workdir}/{name}_x_{solver}.bin")
            if np.all(np.isfinite(x)) and np.max(np.abs(x)) > 1.0 + 1e-9:
                x = np.clip(x, -1.0, 1.0)  # a peer outside the box is scored at its projection
            f[solver] = float(np.sum((y - R @ x) ** 2)) if np.all(np.isfinite(x)) else float("nan")
        t = {"kelvane": float(r["t_kelvane"]), "qp": float(r["t_qp"]),
             "bvls": float(s["t_bvls"]), "trf": float(s["t_trf"]), "batch": float(r["t_batch"])}
        best_peer = min(v for k, v in f.items() if k != "kelvane" and np.isfinite(v))
        if f["kelvane"] > best_peer * (1 + 1e-10):
            ok_objective = False
            behind.append(f"{name}: kelvane {f['kelvane']:.10g}, best peer {best_peer:.10g} "
                          f"({(f['kelvane'] - best_peer) / best_peer:+.1e}; the difference is "
                          f"{(f['kelvane'] - best_peer) / float(y @ y):.1e} of ||y||^2)")
        rel = {p: (f[p] - f["kelvane"]) / max(f["kelvane"], 1e-300) for p in PEERS}
        for p in PEERS:
            if np.isfinite(f[p]) and rel[p] > 1e-6:
                worse.append(f"{p} on {name}: objective {f[p]:.6g} vs kelvane {f['kelvane']:.6g}")
        ratio = {p: t[p] / t["kelvane"] for p in PEERS}
        ratio["bvls_batch"] = t["bvls"] / t["batch"]
        ratios.setdefault((r["family"], n), []).append(ratio)
        print(f"{name:<14}{1e6 * t['kelvane']:>11.1f}{1e6 * t['batch']:>9.2f}{r['passes']:>7}"
              f"{1e3 * t['qp']:>10.2f}{1e3 * t['bvls']:>10.2f}{1e3 * t['trf']:>10.2f}{ratio['bvls']:>10.1f}"
              f"{ratio['bvls_batch']:>11.1f}{ratio['trf']:>9.1f}{ratio['qp']:>9.1f}   {f['kelvane']:.10g}  " +
              "  ".join(f"{p} {rel[p]:+.1e}" for p in PEERS))
    print("\nspeed-up of kelvane (peer time / kelvane time), median [min] over the instances:")
    for (family, n), rs in ratios.items():
        cell = {p: f"{np.nanmedian([x[p] for x in rs]):8.1f}x [{np.nanmin([x[p] for x in rs]):6.1f}]"
                for p in PEERS + ("bvls_batch",)}
        print(f"  {family:<8} n={n:<4} bvls {cell['bvls']}   trf {cell['trf']}   qp {cell['qp']}"
              f"   bvls per kelvane_batch column {cell['bvls_batch']}")
    print("\nkelvane objective no worse than the best peer's (1e-10 relative) on every instance:",
          "yes" if ok_objective else "NO")
    for b in behind:
        print("  behind on " + b)
    print("peers stopping at a clearly worse objective (more than 1e-6 relative):")
    for w in worse:
        print("  " + w)
    if not worse:
        print("  none")


if __name__ == "__main__":
    main(sys.argv[1])
