#!/usr/bin/python3
"""Expected derivatives of the surface displacement of a rectangular
dislocation at near-vertical dips, for tests/test_deru_near_vertical.cpp.

The displacement is Okada's (1985) closed-form surface solution, written here
from the paper's equations and evaluated in mpmath with DPS significant
digits, so the 1/cos(dip) and 1/cos(dip)^2 cancellations of the printed
I terms cost nothing that shows in a double.  Each derivative is a central
difference of that displacement with a step of H (km, or radians for the
dip); its truncation error is of order H^2 times the third derivative,
far below 1e-15 of any value for the points used, and the rounding error is
of order 10^-DPS/H times the cancelling terms.  `check_differences` confirms
this by comparing steps H and 1000 H.

`check_reference` compares the displacement with the quad-precision table
tests/data/okada_surface.tsv before anything is written.

Run:  /usr/bin/python3 tests/data/gen_deru_near_vertical.py
      (writes tests/data/deru_near_vertical.tsv next to this file)
Needs Debian's python3-mpmath.
"""
import math
import os
import sys

from mpmath import mp, mpf, sqrt, log, atan, cos, sin, pi

DPS = 110
H = mpf("1e-30")
mp.dps = DPS

HERE = os.path.dirname(os.path.abspath(__file__))


def corner(xi, eta, q, c, s, alpha, vertical):
    """Okada (1985) corner term f(xi, eta) for the three unit slips, in the
    order ux uy uz (strike slip), ux uy uz (dip slip), ux uy uz (opening),
    before the factor -1/(2 pi) (slips 1, 2) or +1/(2 pi) (opening)."""
    R = sqrt(xi * xi + eta * eta + q * q)
    X = sqrt(xi * xi + q * q)
    yt = eta * c + q * s
    dt = eta * s - q * c
    Rd = R + dt
    Re = R + eta
    Rx = R + xi
    # On the lines where R + eta or R + xi vanishes exactly (an edge observed
    # along its own line; only rows of the reference table lie there) every
    # term with 1/(R + eta) or 1/(R + xi) also carries q = 0 and drops out,
    # and ln(R + eta) is replaced by -ln(R - eta) (Okada 1992).
    lnRe = log(Re) if Re != 0 else -log(R - eta)
    theta = atan(xi * eta / (q * R)) if q != 0 else mpf(0)
    if vertical:
        I1 = -alpha / 2 * xi * q / Rd**2
        I3 = alpha / 2 * (eta / Rd + yt * q / Rd**2 - lnRe)
        I4 = -alpha * q / Rd
        I5 = -alpha * xi * s / Rd
    else:
        if xi == 0:
            I5 = mpf(0)
        else:
            I5 = alpha * 2 / c * atan((eta * (X + q * c) + X * (R + X) * s)
                                      / (xi * (R + X) * c))
        I4 = alpha / c * (log(Rd) - s * lnRe)
        I3 = alpha * (yt / (c * Rd) - lnRe) + s / c * I4
        I1 = alpha * (-xi / (c * Rd)) - s / c * I5
    I2 = alpha * (-lnRe) - I3
    Y11 = 1 / (R * Re) if Re != 0 else mpf(0)
    X11 = 1 / (R * Rx) if Rx != 0 else mpf(0)
    inv_Re = 1 / Re if Re != 0 else mpf(0)
    return [
        xi * q * Y11 + theta + I1 * s,
        yt * q * Y11 + q * c * inv_Re + I2 * s,
        dt * q * Y11 + q * s * inv_Re + I4 * s,
        q / R - I3 * s * c,
        yt * q * X11 + c * theta - I1 * s * c,
        dt * q * X11 + s * theta - I5 * s * c,
        q * q * Y11 - I3 * s * s,
        -dt * q * X11 - s * (xi * q * Y11 - theta) - I1 * s * s,
        yt * q * X11 + c * (xi * q * Y11 - theta) - I5 * s * s,
    ]


def displacement(x, y, L, W, depth, dip, lam, mu):
    """Unit-slip displacement (9 values) at the surface point (x, y) of the
    patch frame.  All arguments are mpf; dip in degrees."""
    alpha = mu / (lam + mu)
    delta = dip * pi / 180
    vertical = abs(abs(dip) - 90) == 0
    if vertical:
        c, s = mpf(0), mpf(1) if dip > 0 else mpf(-1)
    else:
        c, s = cos(delta), sin(delta)
    p = y * c + depth * s
    q = y * s - depth * c
    f = [mpf(0)] * 9
    for xi, eta, sg in ((x, p, 1), (x, p - W, -1), (x - L, p, -1), (x - L, p - W, 1)):
        k = corner(xi, eta, q, c, s, alpha, vertical)
        for i in range(9):
            f[i] += sg * k[i]
    out = []
    for i in range(9):
        factor = (-1 / (2 * pi)) if i < 6 else (1 / (2 * pi))
        out.append(factor * f[i])
    return out


KINDS = ("x", "y", "L", "W", "depth", "dip")


def derivative(case, kind, h=H):
    """Central difference of the displacement in one input; per radian for
    the dip."""
    args = dict(case)
    key = {"x": "x", "y": "y", "L": "L", "W": "W", "depth": "depth", "dip": "dip"}[kind]
    step = h * 180 / pi if kind == "dip" else h
    a = dict(args)
    b = dict(args)
    a[key] = args[key] + step
    b[key] = args[key] - step
    ua = displacement(**a)
    ub = displacement(**b)
    return [(ua[i] - ub[i]) / (2 * h) for i in range(9)]


def to_mp(case):
    return {k: mpf(v) for k, v in case.items()}


def check_reference():
    """Displacements against tests/data/okada_surface.tsv, relative to each
    row's largest |value|.  Returns the worst difference on ordinary rows and
    on the rows placed on a degenerate line (ids 121-135 and 151-165), whose
    tabulated values are the limits on the line while their printed inputs
    lie up to 2e-15 km off it."""
    worst = [0.0, 0.0]
    with open(os.path.join(HERE, "okada_surface.tsv")) as f:
        next(f)
        for line in f:
            v = [float(t) for t in line.split()]
            case = to_mp(dict(x=v[1], y=v[2], L=v[3], W=v[4], depth=v[5],
                              dip=v[6], lam=v[7], mu=v[8]))
            u = displacement(case["x"], case["y"], case["L"], case["W"],
                             case["depth"], case["dip"], case["lam"], case["mu"])
            ref = [v[9 + 9 * k + a] for k in range(3) for a in range(3)]
            scale = max(abs(r) for r in ref)
            err = max(abs(float(u[i]) - ref[i]) for i in range(9)) / scale
            ident = int(v[0])
            on_line = 121 <= ident <= 135 or 151 <= ident <= 165
            worst[on_line] = max(worst[on_line], err)
    return worst


def check_reference_gradients():
    """x and y derivatives (central differences of the displacement) against
    the gradient columns of okada_surface.tsv on its ordinary rows, relative
    to each row's largest |gradient|."""
    worst = 0.0
    with open(os.path.join(HERE, "okada_surface.tsv")) as f:
        next(f)
        for line in f:
            v = [float(t) for t in line.split()]
            ident = int(v[0])
            if 121 <= ident <= 135 or 151 <= ident <= 165:
                continue
            case = to_mp(dict(x=v[1], y=v[2], L=v[3], W=v[4], depth=v[5],
                              dip=v[6], lam=v[7], mu=v[8]))
            dx = derivative(case, "x")
            dy = derivative(case, "y")
            ref_dx = [v[9 + 9 * k + 3 + 2 * a] for k in range(3) for a in range(3)]
            ref_dy = [v[9 + 9 * k + 4 + 2 * a] for k in range(3) for a in range(3)]
            scale = max(abs(r) for r in ref_dx + ref_dy)
            err = max(max(abs(float(dx[i]) - ref_dx[i]), abs(float(dy[i]) - ref_dy[i]))
                      for i in range(9)) / scale
            worst = max(worst, err)
    return worst


def check_vertical_limit():
    """The vertical forms used at exactly +-90 degrees against the general
    forms 1e-25 degrees away, relative to the largest |value|."""
    worst = 0.0
    for dip in (90, -90):
        for (x, y) in ((4.1, 1.3), (-3.0, -0.6)):
            base = dict(x=mpf(x), y=mpf(y), L=mpf(10), W=mpf(6), depth=mpf(9),
                        lam=mpf(1), mu=mpf(1))
            a = displacement(dip=mpf(dip), **base)
            for off in (mpf("1e-25"), mpf("-1e-25")):
                b = displacement(dip=mpf(dip) + off, **base)
                scale = max(abs(t) for t in a)
                worst = max(worst, float(max(abs(a[i] - b[i]) for i in range(9)) / scale))
    return worst


def cases():
    """Dips around +90 and -90 (and eight ordinary ones), a buried patch and one whose shallow edge
    lies at the surface, points near and far (none on a line where the
    corner formulas degenerate)."""
    offsets = ["0.01", "0.001", "0.0001", "0.00001"]
    dips = []
    for o in offsets:
        dips += [90 - float(o), 90 + float(o)]
    dips.append(90.0)
    dips += [-d for d in dips]
    # ordinary dips of both signs, for the same kernels away from vertical
    dips += [25.0, 60.0, 120.0, 155.0, -25.0, -60.0, -120.0, -155.0]
    out = []
    buried = dict(L=10.0, W=6.0, lam=1.0, mu=1.0)
    outcrop = dict(L=8.0, W=5.0, lam=2.0, mu=1.0)
    buried_points = [(4.1, 1.3), (-1.7, -2.2), (11.3, 0.8), (5.0, -4.6), (37.0, -52.0)]
    outcrop_points = [(3.0, 0.7), (-2.0, 0.4), (9.5, -1.1), (4.0, -3.0), (20.0, 15.0)]
    for dip in dips:
        for (x, y) in buried_points:
            out.append(dict(x=x, y=y, depth=9.0, dip=dip, **buried))
        # shallow edge at the surface: depth = W sin(dip), as a double
        d_out = outcrop["W"] * abs(math.sin(math.radians(dip)))
        if dip < 0:
            # the shallow edge is the one at y = W cos(dip), depth - W sin(dip)
            d_out = 0.0
        for (x, y) in outcrop_points:
            out.append(dict(x=x, y=y, depth=d_out, dip=dip, **outcrop))
    return out


def check_differences(sample):
    """Largest change of any derivative, relative to its kind's largest
    |value|, between steps H and 1000 H."""
    worst = 0.0
    for case in sample:
        m = to_mp(case)
        for kind in KINDS:
            a = derivative(m, kind, H)
            b = derivative(m, kind, H * 1000)
            scale = max(abs(v) for v in a)
            worst = max(worst, float(max(abs(a[i] - b[i]) for i in range(9)) / scale))
    return worst


def fmt(v):
    return "%.17e" % float(v)


def main():
    ordinary, on_line = check_reference()
    print("displacement vs okada_surface.tsv: worst %.2e of the row scale "
          "(%.2e on the degenerate-line rows)" % (ordinary, on_line))
    if ordinary > 2e-16 or on_line > 1e-13:
        sys.exit("displacement does not match the reference table")
    grad = check_reference_gradients()
    print("x, y differences vs okada_surface.tsv gradients: worst %.2e" % grad)
    if grad > 2e-16:
        sys.exit("differences do not match the reference gradients")
    limit = check_vertical_limit()
    print("vertical forms vs general forms 1e-25 degrees away: %.2e" % limit)
    if limit > 1e-20:
        sys.exit("vertical forms are not the limit of the general ones")
    all_cases = cases()
    diff_err = check_differences(all_cases[::7])
    print("steps H and 1000 H differ by at most %.2e of the scale" % diff_err)
    if diff_err > 1e-16:
        sys.exit("difference steps disagree")
    names = ["ux1", "uy1", "uz1", "ux2", "uy2", "uz2", "ux3", "uy3", "uz3"]
    header = ["id", "x", "y", "L", "W", "depth", "dip", "lambda", "mu"]
    header += ["u_" + n for n in names]
    for kind in KINDS:
        header += ["d%s_%s" % (kind, n) for n in names]
    path = os.path.join(HERE, "deru_near_vertical.tsv")
    with open(path, "w") as f:
        f.write("\t".join(header) + "\n")
        for n, case in enumerate(all_cases, start=1):
            m = to_mp(case)
            u = displacement(m["x"], m["y"], m["L"], m["W"], m["depth"], m["dip"],
                             m["lam"], m["mu"])
            row = [str(n)] + [repr(float(case[k])) for k in
                              ("x", "y", "L", "W", "depth", "dip", "lam", "mu")]
            row += [fmt(v) for v in u]
            for kind in KINDS:
                row += [fmt(v) for v in derivative(m, kind)]
            f.write("\t".join(row) + "\n")
    print("wrote %d rows to %s" % (len(all_cases), path))


if __name__ == "__main__":
    main()
