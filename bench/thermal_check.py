#!/usr/bin/env python3
# Usage: bench/thermal_check.py FILE.rtd [AVERAGE_S]  (order 2 with the rate term;
# slow on long recordings: exact arithmetic). Not used by the tests.
# Independent check of `ratelog-cli thermal`: block averages and block slopes,
# then the normal equations solved exactly in rational arithmetic.
import struct, sys, math
from fractions import Fraction as F
path, avg, order = sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 10.0, 2
data = open(path, 'rb').read()
off = 760 if data[:4] == b'VRDT' else 4
recs = [struct.unpack_from('<fff', data, off + 12 * i) for i in range((len(data) - off) // 12)]
recs = [r for r in recs if all(math.isfinite(x) for x in r)]
t0 = recs[0][0]
blocks = {}
for t, r, T in recs:
    blocks.setdefault(math.floor((t - t0) / avg), []).append((t, r, T))
rows = []
for k in sorted(blocks):
    b = blocks[k]; n = len(b)
    mt = sum(x[0] for x in b) / n; mT = sum(x[2] for x in b) / n
    slope = sum((x[0] - mt) * (x[2] - mT) for x in b) / sum((x[0] - mt) ** 2 for x in b) * 60
    rows.append((mT, slope, sum(x[1] for x in b) / n * 3600))
X = [[F(1), F(T), F(T) ** 2, F(s)] for T, s, _ in rows]
y = [F(b) for _, _, b in rows]
p = 4
A = [[sum(X[i][a] * X[i][c] for i in range(len(X))) for c in range(p)] for a in range(p)]
v = [sum(X[i][a] * y[i] for i in range(len(X))) for a in range(p)]
for c in range(p):
    for r in range(c + 1, p):
        f = A[r][c] / A[c][c]
        A[r] = [A[r][j] - f * A[c][j] for j in range(p)]; v[r] -= f * v[c]
sol = [F(0)] * p
for c in reversed(range(p)):
    sol[c] = (v[c] - sum(A[c][j] * sol[j] for j in range(c + 1, p))) / A[c][c]
print("b0 %.10g b1 %.10g b2 %.10g c %.10g" % tuple(float(x) for x in sol))
