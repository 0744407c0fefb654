#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Exact check of quorvin results written by reliability.m.

For each line (kind, bits, n, m, delta, B, Uo): is Uo integral with det +-1, and is
C = B*Uo LLL-reduced with the caller's delta in exact rational arithmetic, that is
|mu_kj| <= 1/2 and delta*|c*_{k-1}|^2 <= |c*_k|^2 + mu_{k,k-1}^2 |c*_{k-1}|^2?
Prints, per kind, bits and delta, how many of the bases pass each test, how many miss
the conditions by at most 0.01 (|mu| <= 0.51, Lovasz with delta - 0.01), and the largest
violation seen among the unimodular ones (<= 0: none).
"""
import sys
from collections import defaultdict
from fractions import Fraction


def det_exact(U, n):
    a = [[Fraction(U[i + j * n]) for j in range(n)] for i in range(n)]
    det = Fraction(1)
    for c in range(n):
        p = next((r for r in range(c, n) if a[r][c] != 0), None)
        if p is None:
            return Fraction(0)
        if p != c:
            a[c], a[p] = a[p], a[c]
            det = -det
        det *= a[c][c]
        for r in range(c + 1, n):
            f = a[r][c] / a[c][c]
            if f:
                for t in range(c, n):
                    a[r][t] -= f * a[c][t]
    return det


def violation(C, m, n, delta):
    """Largest of max(|mu_kj| - 1/2) and max((delta*|c*_{k-1}|^2 - |c*_k|^2
    - mu_{k,k-1}^2 |c*_{k-1}|^2) / |c*_{k-1}|^2), exactly; <= 0 means LLL-reduced."""
    cols = [[C[i + j * m] for i in range(m)] for j in range(n)]
    star, norms = [], []
    worst = Fraction(-1)
    for k in range(n):
        v = [Fraction(x) for x in cols[k]]
        mu_prev = Fraction(0)
        for j in range(k):
            if norms[j] == 0:
                return Fraction(10**9)
            mu = sum(Fraction(a) * b for a, b in zip(cols[k], star[j])) / norms[j]
            worst = max(worst, abs(mu) - Fraction(1, 2))
            v = [a - mu * b for a, b in zip(v, star[j])]
            mu_prev = mu
        star.append(v)
        norms.append(sum(x * x for x in v))
        if k > 0:
            lhs = delta * norms[k - 1] - norms[k] - mu_prev ** 2 * norms[k - 1]
            worst = max(worst, lhs / norms[k - 1])
    return worst


def main(path):
    stats = defaultdict(lambda: [0, 0, 0, 0, 0.0])
    for line in open(path):
        f = line.split()
        kind, bits, n, m = (int(x) for x in f[:4])
        delta = Fraction(float(f[4]))
        B = [int(x) for x in f[5:5 + m * n]]
        U = [int(x) for x in f[5 + m * n:5 + m * n + n * n]]
        C = [sum(B[i + t * m] * U[t + j * n] for t in range(n)) for j in range(n) for i in range(m)]
        unimodular = abs(det_exact(U, n)) == 1
        key = ("uniform" if kind == 0 else "knapsack", bits, float(f[4]))
        s = stats[key]
        s[0] += 1
        s[1] += unimodular
        if unimodular:
            worst = violation(C, m, n, delta)
            s[2] += worst <= 0
            s[3] += worst <= Fraction(1, 100)
            s[4] = max(s[4], float(worst))
    print("kind      bits delta  bases  unimodular  LLL(delta,0.5)  within-0.01  worst-violation")
    for (kind, bits, delta), (count, uni, red, near, worst) in sorted(stats.items()):
        print(f"{kind:9s} {bits:4d} {delta:5.2f} {count:6d} {uni:11d} {red:15d} {near:12d}"
              f"  {worst:15.3g}")


if __name__ == "__main__":
    main(sys.argv[1])
