"""The module's arguments: numpy's broadcasting of points, keyword segments,
fault models from any iterable, refused values, memory, and where
patch_displacement has no value."""
import numpy as np
import pytest

import vadrel

SEG = vadrel.Segment(X=3.0, Y=-4.0, strike=30.0, depth=20.0, dip=50.0, lam=3e10, mu=3e10,
                     U1=150.0, U2=900.0, U3=20.0, L=25.0, W=18.0)
F = vadrel.Faults([SEG], ramp=(0.01, -0.02, 1.0))
LOOK = (-0.38, 0.09, 0.92)

GX = np.linspace(-30.0, 30.0, 5)[None, :]   # (1, 5)
GY = np.linspace(-20.0, 20.0, 4)[:, None]   # (4, 1)
LOOKS = np.array([[0.0, 0.0, 1.0], [-0.6, -0.1, 0.8], LOOK])  # (3, 3)

# name, call(x, y), x, y, the expected shape by numpy's rules
SHAPES = [
    ("displacement scalars", lambda x, y: vadrel.displacement(F, x, y), 1.0, 2.0, (3,)),
    ("displacement 1-D", lambda x, y: vadrel.displacement(F, x, y), [1.0, 2.0], [3.0, 4.0], (2, 3)),
    ("displacement grid", lambda x, y: vadrel.displacement(F, x, y), GX, GY, (4, 5, 3)),
    ("displacement scalar y", lambda x, y: vadrel.displacement(F, x, y), GX, 2.0, (1, 5, 3)),
    ("strain grid", lambda x, y: vadrel.strain(F, x, y), GX, GY, (4, 5, 6)),
    ("partials grid", lambda x, y: vadrel.partials(F, x, y, LOOK), GX, GY, (4, 5, 10)),
    ("partials forward scalars", lambda x, y: vadrel.partials(F, x, y, LOOK, "forward"), 1.0, 2.0, (10,)),
    ("range grid", lambda x, y: vadrel.range_change(F, x, y, LOOK), GX, GY, (4, 5)),
    ("range scalars", lambda x, y: vadrel.range_change(F, x, y, LOOK), 1.0, 2.0, ()),
    ("range looks per point", lambda x, y: vadrel.range_change(F, x, y, LOOKS), [1.0, 2.0, 3.0], 4.0, (3,)),
    ("range looks broadcast", lambda x, y: vadrel.range_change(F, x, y, LOOKS[:, None, None, :]),
     GX, GY, (3, 4, 5)),
    ("partials looks broadcast", lambda x, y: vadrel.partials(F, x, y, LOOKS[:, None, :]), GX[0], 1.0,
     (3, 5, 10)),
    ("uplift grid", lambda x, y: vadrel.uplift(F, x, y), GX, GY, (4, 5)),
    ("uplift scalar depth", lambda x, y: vadrel.uplift(F, x, y, depth=100.0), GX, GY, (4, 5)),
    ("patch grid", lambda x, y: vadrel.patch_displacement(x, y, L=10, W=5, depth=6, dip=70, U2=1.0), GX, GY,
     (4, 5, 9)),
]


@pytest.mark.parametrize("name,call,x,y,shape", SHAPES, ids=[s[0] for s in SHAPES])
def test_points_broadcast_and_keep_their_shape(name, call, x, y, shape):
    """The result has the broadcast shape of the points (components last),
    and each entry is the value of the same point computed alone."""
    r = call(x, y)
    assert r.shape == shape
    if name.startswith(("range looks", "partials looks")):
        return  # the points vary along the looks' axis too: the next test
    xs, ys = np.broadcast_arrays(np.asarray(x, float), np.asarray(y, float))
    flat = r.reshape((xs.size,) + r.shape[xs.ndim:])
    for k, (px, py) in enumerate(zip(xs.ravel(), ys.ravel())):
        np.testing.assert_array_equal(flat[k], call([px], [py])[0])


def test_look_vectors_broadcast_with_points():
    """Per-look results equal the projection of the displacement on each
    look, plus the ramp."""
    r = vadrel.range_change(F, GX, GY, LOOKS[:, None, None, :])
    u = vadrel.displacement(F, GX, GY)
    ramp = 0.01 * GX - 0.02 * GY + 1.0
    for k, look in enumerate(LOOKS):
        np.testing.assert_allclose(r[k], u @ look + ramp, rtol=1e-13, atol=1e-12)


def test_utm_broadcasts():
    e, n = vadrel.utm(np.array([2.0, 3.0, 4.0]), np.array([[44.0], [45.0]]), 31)
    assert e.shape == n.shape == (2, 3)
    # On the central meridian (3 degrees in zone 31) the easting is the false easting.
    np.testing.assert_allclose(e[:, 1], 500000.0, atol=1e-6)
    # East and west of it by the same angle: symmetric about it.
    np.testing.assert_allclose(e[:, 0] + e[:, 2], 1e6, rtol=1e-12)
    assert isinstance(vadrel.utm(3.0, 45.0, 31)[0], float)


# ------------------------------------------------------------------ segments

FIELDS = dict(X=20.0, Y=-15.0, strike=0.0, flag=7, depth=15.0, dip=15.0, lam=3e10, mu=3e10, U1=300.0,
              U2=2500.0, U3=0.0, L=30.0, W=40.0, name="centre")
FILE_ORDER = list(FIELDS.values())
EARLIER_ORDER = [20.0, -15.0, 0.0, 15.0, 15.0, 3e10, 3e10, 300.0, 2500.0, 0.0, 30.0, 40.0, "centre", 7]


def test_segment_by_keyword_prints_as_its_call():
    s = vadrel.Segment(**FIELDS)
    assert repr(s) == ("Segment(X=20.0, Y=-15.0, strike=0.0, flag=7, depth=15.0, dip=15.0, lam=30000000000.0, "
                       "mu=30000000000.0, U1=300.0, U2=2500.0, U3=0.0, L=30.0, W=40.0, name='centre')")
    assert eval(repr(s), {"Segment": vadrel.Segment}) == s
    odd = s.replace(X=0.1, name="it's")
    assert eval(repr(odd), {"Segment": vadrel.Segment}) == odd


@pytest.mark.parametrize("args,kwargs", [
    (FILE_ORDER, {}),                               # the faults file's order, name included
    (FILE_ORDER[:13], {"name": "centre"}),
    (EARLIER_ORDER, {}),                            # the module's earlier order, flag last
    (EARLIER_ORDER[:12], {"name": "centre", "flag": 7}),
    (FILE_ORDER[:3], {k: FIELDS[k] for k in list(FIELDS)[3:]}),
], ids=["file order", "file order, name by keyword", "earlier order", "earlier order, keywords",
        "three then keywords"])
def test_segment_positional_orders(args, kwargs):
    assert vadrel.Segment(*args, **kwargs) == vadrel.Segment(**FIELDS)


@pytest.mark.parametrize("args,kwargs,message", [
    (FILE_ORDER[:4], {}, "ambiguous"),
    (EARLIER_ORDER[:12], {"W": 3.0}, "multiple values for argument 'W'"),
    ([], {"X": 1.0}, "missing Y, strike, depth"),
    ([], {**FIELDS, "width": 3.0}, "unexpected keyword argument 'width'"),
    ([], {**FIELDS, "dip": "steep"}, "dip must be a number"),
], ids=["4 positional", "twice", "missing", "unknown", "text"])
def test_segment_calls_refused(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        vadrel.Segment(*args, **kwargs)


def test_segment_replace():
    s = vadrel.Segment(**FIELDS)
    t = s.replace(dip=30.0, name="other")
    assert (t.dip, t.name) == (30.0, "other")
    assert t == vadrel.Segment(**{**FIELDS, "dip": 30.0, "name": "other"}) and s.dip == 15.0
    with pytest.raises(ValueError, match="W must be positive"):
        s.replace(W=0.0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'Z'"):
        s.replace(Z=1.0)


@pytest.mark.parametrize("field,value,message", [
    ("L", 0.0, "L must be positive"),
    ("W", -2.0, "W must be positive"),
    ("X", 2e50, "X is beyond 1e50"),
    ("depth", -1e51, "depth is beyond 1e50"),
    ("U2", 1e60, "U2 is beyond 1e50"),
    ("strike", np.nan, "strike must be a finite number"),
    ("dip", np.inf, "dip must be a finite number"),
    ("mu", -3e10, "mu/\\(lam\\+mu\\)"),
    ("flag", 1.5, "flag must be a whole number"),
])
def test_segment_values_refused(field, value, message):
    with pytest.raises(ValueError, match=message):
        vadrel.Segment(**{**FIELDS, field: value})


def test_faults_from_any_iterable():
    a = SEG
    b = SEG.replace(strike=200.0, X=-20.0, dip=120.0)
    want = vadrel.displacement(vadrel.Faults([a, b]), GX, GY)
    objects = np.empty(2, dtype=object)
    objects[:] = [a, b]
    for segments in ((a, b), (s for s in (a, b)), objects, iter([a, b])):
        np.testing.assert_array_equal(vadrel.displacement(vadrel.Faults(segments), GX, GY), want)
    assert len(vadrel.Faults(a)) == 1
    with pytest.raises(TypeError, match=r"segments\[1\] is not a Segment"):
        vadrel.Faults([a, (1, 2)])


# -------------------------------------------------------- refused and large

BIG = 10 ** 6
REFUSED = [
    ("x beyond 1e50", lambda: vadrel.displacement(F, [[0.0], [2e50]], 0.0), ValueError, r"x\[1, 0\] is beyond 1e50"),
    ("y not finite", lambda: vadrel.strain(F, 0.0, np.array([[1.0, np.nan]])), ValueError, r"y\[0, 1\] is not finite"),
    ("look shape", lambda: vadrel.range_change(F, [1.0, 2.0], 0.0, np.ones((3, 3))), ValueError, "look must have"),
    ("grid dx nan", lambda: vadrel.regular_grid(0, 0, np.nan, 1, 3, 3), ValueError, "dx must be a finite number"),
    ("grid x0 inf", lambda: vadrel.regular_grid(np.inf, 0, 1, 1, 3, 3), ValueError, "x0 must be a finite number"),
    ("grid y0 text", lambda: vadrel.regular_grid(0, "a", 1, 1, 3, 3), ValueError, "y0 must be a number"),
    ("grid nx", lambda: vadrel.regular_grid(0, 0, 1, 1, 2.5, 3), ValueError, "nx must be a whole number"),
    ("grid beyond", lambda: vadrel.regular_grid(0, 0, 1e49, 1, 30, 3), ValueError, "x0, dx, nx: .*beyond 1e50"),
    ("G grid beyond pole", lambda: vadrel.regular_grid(0, 80, 1, 1, 3, 30, zone=31), ValueError, "beyond 90"),
    ("patch L", lambda: vadrel.patch_displacement(0, 0, L=0, W=1, depth=5, dip=45), ValueError, "L must be positive"),
    ("patch W", lambda: vadrel.patch_displacement(0, 0, L=1, W=-1, depth=5, dip=45), ValueError, "W must be positive"),
    ("patch slip", lambda: vadrel.patch_displacement(0, 0, L=1, W=1, depth=5, dip=45, U1=1e51), ValueError, "U1 is beyond"),
    ("patch above", lambda: vadrel.patch_displacement(0, 0, L=1, W=8, depth=5, dip=45), ValueError, "depth .* above the surface"),
    ("patch in surface", lambda: vadrel.patch_displacement(0, 0, L=1, W=8, depth=0, dip=0), ValueError, "in the surface"),
    ("regular grid memory", lambda: vadrel.regular_grid(0, 0, 1, 1, BIG, BIG), MemoryError, "needs .* memory"),
    ("uplift memory", lambda: vadrel.uplift(F, np.zeros((1, BIG)), np.zeros((BIG, 1))), MemoryError, "needs .* memory"),
    ("cell points memory", lambda: vadrel.cell_points(np.broadcast_to(1.0, (BIG, BIG)), np.broadcast_to(1.0, (BIG, BIG))),
     MemoryError, "needs .* memory"),
]


@pytest.mark.parametrize("name,call,error,message", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_naming_the_argument(name, call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_uplift_depth_without_meaning():
    """NaN depth is land (as the docstring says), +inf deep water; 125 is
    half the full-taper depth of 250."""
    full = vadrel.uplift(F, 5.0, 5.0)
    got = vadrel.uplift(F, 5.0, 5.0, depth=[np.nan, np.inf, -np.inf, 125.0, 0.0, 1000.0])
    np.testing.assert_array_equal(got, [0.0, full, 0.0, full / 2, 0.0, full])


# ------------------------------------------------------- patch_displacement

def trace_points(L, W, depth, dip):
    """Points on the surface trace of an outcropping patch (ends and corners
    included), and points beside it, on its extensions and elsewhere."""
    s, c = np.sin(np.radians(dip)), np.cos(np.radians(dip))
    # where the shallower long edge meets the surface
    yt = W * c if depth - W * s <= depth else 0.0
    on = [(x, yt) for x in (0.0, 1e-15, L / 3, L / 2, L - 1e-15, L)]
    off = [(x, yt + d) for x in (0.0, L / 2, L) for d in (-1e-6, 1e-6, -0.5, 2.0)]
    off += [(x, yt) for x in (-1e-6, -3.0, L + 1e-6, L + 5.0)]       # the trace's line beyond the ends
    off += [(x, y) for x in (-7.0, 0.0, L / 2, L, L + 7.0) for y in (-9.0, 0.0, 4.0, 11.0) if abs(y - yt) > 0.1]
    return np.array(on), np.array(off)


@pytest.mark.parametrize("dip", [10.0, 45.0, 89.9, 90.0, 90.1, 120.0, 170.0, -60.0])
def test_patch_displacement_nan_only_on_the_trace(dip):
    L, W = 12.0, 8.0
    s = np.sin(np.radians(dip))
    depth = W * s if s > 0 else 0.0   # the shallower edge at the surface
    on, off = trace_points(L, W, depth, dip)
    u_on = vadrel.patch_displacement(on[:, 0], on[:, 1], L=L, W=W, depth=depth, dip=dip, U1=1, U2=1, U3=1)
    u_off = vadrel.patch_displacement(off[:, 0], off[:, 1], L=L, W=W, depth=depth, dip=dip, U1=1, U2=1, U3=1)
    assert np.isnan(u_on).all()
    assert np.isfinite(u_off).all()
    # The same patch 1 m deeper has a value everywhere.
    u = vadrel.patch_displacement(np.r_[on[:, 0], off[:, 0]], np.r_[on[:, 1], off[:, 1]], L=L, W=W,
                                  depth=depth + 0.001, dip=dip, U1=1, U2=1, U3=1)
    assert np.isfinite(u).all()
