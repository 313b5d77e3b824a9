"""``python3 -m vadrel.invert``: faults fitted to radar line-of-sight and
GNSS data, the posterior of the geometry, and the slip on a fitted plane.

Exit status: 0 done; 1 an error; 2 a command line that cannot be run; 3 the
geometry fit stopped at its evaluation limit without converging, the
posterior's chains did not converge, or the slip's bounded solver stopped at
its iteration limit (the results are written all the same, with a
warning)."""
from __future__ import annotations

import json
import math
import os
import sys
import warnings
from collections.abc import Sequence

import numpy as np

import vadrel
from . import Parser, UsageError, check_files, command, warnings_as_lines
from ..invert import DEFAULT_FREE, PARAMETERS, fit_fault, fit_slip, load_dataset, write_faults
from ..invert.fault import _bound_text, _mw
from ..invert.problem import check_memory
from ..io.datasets import dataset_kind
from ..io.files import replace_file, write_bytes

__all__ = ["main", "NOT_CONVERGED"]

#: Exit status of a fit that stopped at its evaluation limit, or of chains
#: that did not converge (results written, with a warning).
NOT_CONVERGED = 3


def _fault_summary(fit):
    out = {"params": {n: {"value": fit.params[n], "sigma": fit.sigma[n]} for n in fit.params},
           "status": fit.status, "converged": fit.converged, "message": fit.message, "at_bound": fit.at_bound,
           "rms_mm": fit.rms, "variance_reduction": fit.variance_reduction, "moment_Nm": fit.moment,
           "Mw": fit.Mw, "evaluations": fit.nfev, "jacobians": fit.njev, "time_s": fit.time,
           "offsets": fit.offsets, "ramps": fit.ramps, "starts": fit.starts}
    if fit.frame is not None:
        out["frame"] = {"origin_lon": fit.frame.lon0, "origin_lat": fit.frame.lat0,
                        "projection": "transverse Mercator about the origin, WGS 84, km"}
        out["lonlat"] = fit.lonlat()
    return out


def _posterior_summary(post):
    out = {"method": post.method, "draws": int(post.samples.shape[0]), "chains": int(post.chains.shape[0]),
           "converged": post.converged, "status": post.status, "message": post.message,
           "acceptance": post.acceptance, "divergent": post.divergent, "time_s": post.time,
           "params": post.summary()}
    if post.frame is not None:
        ll = post.lonlat()
        out["lonlat"] = {k: {"mean": float(np.mean(v)), "p05": float(np.percentile(v, 5)),
                             "p95": float(np.percentile(v, 95))} for k, v in ll.items()}
    return out


def _floats(text, what):
    try:
        v = float(text)
    except ValueError:
        raise UsageError(f"{what}: '{text}' is not a number") from None
    if not np.isfinite(v):
        raise UsageError(f"{what}: '{text}' is not a finite number")
    return v


def _per_file(values, nfiles, what, parse):
    """Options given once per data file (repeated, or comma-separated), in
    the files' order; one value alone stands for every file; '-' for the
    file's own."""
    if not values:
        return [None] * nfiles
    items = [v.strip() for group in values for v in group.split(",")]
    if len(items) == 1:
        items = items * nfiles
    if len(items) != nfiles:
        raise UsageError(f"{what}: {len(items)} values for {nfiles} data files (one per file, or one for all)")
    return [None if v in ("-", "") else parse(v) for v in items]


def _sigma(text):
    v = _floats(text, "--sigma")
    if v <= 0:
        raise UsageError(f"--sigma: {text} is not positive")
    return v


def _bounds(text):
    """NAME=LOW:HIGH,... -> {(segment or None, name): (low, high)}; NAME_K
    for segment K alone."""
    out = {}
    if not text:
        return out
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        if "=" not in item or ":" not in item.split("=", 1)[1]:
            raise UsageError(f"--bounds: '{item}' is not NAME=LOW:HIGH")
        name, rng = item.split("=", 1)
        name, seg = name.strip(), None
        base, _, k = name.rpartition("_")
        if base and k.isdigit():
            name, seg = base, int(k)
            if seg < 1:
                raise UsageError(f"--bounds: segment numbers start at 1 ('{item}')")
        if name not in PARAMETERS + ("top",):
            raise UsageError(f"--bounds: unknown parameter '{name}' (one of {', '.join(PARAMETERS)}, top)")
        lo, hi = (_floats(v, f"--bounds {name}") for v in rng.split(":", 1))
        if not lo < hi:
            raise UsageError(f"--bounds: {name}: the low bound {lo:g} is not below the high one {hi:g}")
        out[(seg, name)] = (lo, hi)
    return out


def _bound_dicts(bounds, nseg):
    if not bounds:
        return None
    out = [{} for _ in range(nseg)]
    for (seg, name), b in bounds.items():
        if seg is not None and seg > nseg:
            raise UsageError(f"--bounds: {name}_{seg}: the start has {nseg} segment(s)")
        for k in ([seg - 1] if seg is not None else range(nseg)):
            out[k][name] = b
    return out


def _positivity(text):
    parts = [p.strip() for p in text.split(",")]
    signs = {"+": 1, "+1": 1, "1": 1, "-": -1, "-1": -1, "0": 0}
    if len(parts) != 2 or any(p not in signs for p in parts):
        raise UsageError(f"--positivity: '{text}' is not two signs (U1,U2), each +, - or 0")
    return tuple(signs[p] for p in parts)


def _slip_summary(fit):
    out = {"nx": fit.nx, "ny": fit.ny, "smoothing": fit.smoothing, "status": fit.status, "message": fit.message,
           "iterations": fit.iterations, "rms_mm": fit.rms, "variance_reduction": fit.variance_reduction,
           "moment_Nm": fit.moment, "Mw": fit.Mw, "roughness_mm_per_km2": fit.roughness,
           "max_slip_mm": float(np.abs(fit.patch_slip).max()), "patches": len(fit.patches),
           "patches_at_bound": int(fit.at_bound.sum()), "time_s": fit.time,
           "greens_time_s": fit.problem.greens_time,
           "offsets": fit.offsets, "ramps": fit.ramps, "joins": [[a + 1, b + 1] for a, b in fit.joins],
           "segments": [{"name": s.name, "nx": s.nx, "ny": s.ny, "max_slip_mm": float(np.abs(s.slip).max()),
                         "patches_at_bound": int(s.at_bound.sum())} for s in fit.segments]}
    if len(fit.segments) > 1:
        out["nx"], out["ny"] = list(fit.nx), list(fit.ny)
    return out


def _numbers(text, what):
    try:
        vals = [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise UsageError(f"{what}: numbers separated by commas, not '{text}'") from None
    if not vals or not all(math.isfinite(v) and v >= 0 for v in vals):
        raise UsageError(f"{what}: finite numbers >= 0, not '{text}'")
    return vals


def _check_slip_options(a):
    """The slip options checked before any work (UsageError)."""
    slip_only = [n for n, v in (("--smoothing", a.smoothing), ("--lcurve", a.lcurve), ("--segments", a.segments),
                                ("--join", a.join), ("--checkerboard", a.checkerboard),
                                ("--resolution", a.resolution or None), ("--rake", a.rake)) if v is not None]
    if not (a.slip or a.patch):
        if slip_only:
            raise UsageError(f"{slip_only[0]} needs --slip NX NY or --patch ALONG DOWN")
        return
    if a.slip and a.patch:
        raise UsageError("give --slip NX NY or --patch ALONG DOWN, not both")
    if a.slip and min(a.slip) < 1:
        raise UsageError(f"--slip: NX and NY must be at least 1, not {a.slip[0]} {a.slip[1]}")
    for name, pair in (("--patch", a.patch), ("--checkerboard", a.checkerboard)):
        if pair and not all(math.isfinite(v) and v > 0 for v in pair):
            raise UsageError(f"{name}: two lengths in km > 0, not {pair[0]:g} {pair[1]:g}")
    if a.extend and not all(math.isfinite(v) and v >= 0 for v in a.extend):
        raise UsageError(f"--extend: two lengths in km >= 0, not {a.extend[0]:g} {a.extend[1]:g}")
    if a.smoothing is not None and not (math.isfinite(a.smoothing) and a.smoothing >= 0):
        raise UsageError(f"--smoothing: a finite number >= 0, not {a.smoothing:g}")
    if a.rake and not (all(math.isfinite(v) for v in a.rake) and 0 < a.rake[1] - a.rake[0] < 180):
        raise UsageError(f"--rake: LOW HIGH in degrees with 0 < HIGH - LOW < 180, not {a.rake[0]:g} {a.rake[1]:g}")
    if a.lcurve is not None:
        a.lcurve = _numbers(a.lcurve, "--lcurve")
        if len({v for v in a.lcurve if v > 0}) < 4:
            raise UsageError("--lcurve: at least four different weights > 0 (the corner needs them)")
    if a.join is not None and a.join != "none":
        j = _numbers(a.join, "--join")
        if len(j) != 1:
            raise UsageError(f"--join: one distance in km, or none, not '{a.join}'")
        a.join = j[0]
    elif a.join == "none":
        a.join = False
    if a.segments is not None:
        try:
            a.segments = [int(v) for v in a.segments.split(",") if v.strip()]
        except ValueError:
            raise UsageError(f"--segments: segment numbers (from 1) separated by commas, not '{a.segments}'") \
                from None
        if not a.segments or len(set(a.segments)) != len(a.segments):
            raise UsageError("--segments: each segment once")


def _slip_pictures(a):
    """(label, path) of the slip pictures written with --plot."""
    if not (a.plot and (a.slip or a.patch)):
        return []
    r, e = os.path.splitext(a.plot)
    e = e or ".png"
    out = [("slip picture", r + "_slip" + e)]
    if a.lcurve:
        out.append(("L-curve picture", r + "_lcurve" + e))
    if a.resolution:
        out.append(("resolution picture", r + "_resolution" + e))
    if a.checkerboard:
        out.append(("checkerboard picture", r + "_checkerboard" + e))
    return out


def _fit_slip(a, datasets, faults, summary, say, positivity=None):
    """The slip on the chosen segments of the fitted model, with its L-curve,
    resolution and checkerboard when asked: (fit, extras for the pictures)."""
    segs = list(faults.segments)
    if a.segments:
        bad = [k for k in a.segments if not 1 <= k <= len(segs)]
        if bad:
            raise UsageError(f"--segments: the model has {len(segs)} segment(s), no segment {bad[0]}")
        segs = [segs[k - 1] for k in a.segments]
    with warnings_as_lines("vadrel.invert"):
        return _slip_steps(a, datasets, segs, summary, say, positivity)


def _slip_steps(a, datasets, segs, summary, say, positivity=None):
    from ..invert import slip as slipmod
    from ..invert.resolution import checkerboard, resolution
    mesh = dict(nx=a.slip[0], ny=a.slip[1]) if a.slip else dict(patch=tuple(a.patch))
    problem = slipmod.slip_problem(datasets, segs, extend=a.extend, rake=a.rake, positivity=positivity, join=a.join,
                                   progress=say, **mesh)
    extras = {}
    smoothing = a.smoothing
    if a.lcurve:
        lc = slipmod.lcurve(problem, smoothings=a.lcurve, progress=say)
        extras["lcurve"] = lc
        summary["lcurve"] = {"smoothings": list(lc.smoothings), "misfit": list(lc.misfit),
                             "roughness_mm_per_km2": list(lc.roughness), "corner_smoothing": lc.corner_smoothing,
                             "corner_at_edge": lc.corner_at_edge}
        say(f"L-curve: corner at smoothing {lc.corner_smoothing:.3g}"
            + (" (at the edge of the weights tried)" if lc.corner_at_edge else ""))
        if smoothing is None:
            smoothing = lc.corner_smoothing
    slip = slipmod.fit_slip(problem, smoothing=1.0 if smoothing is None else smoothing)
    if a.resolution:
        res = resolution(slip)
        extras["resolution"] = res
        summary["resolution"] = {"trace": res.trace, "smoothing": res.smoothing}
        say(f"resolution: {res.trace:.1f} parameters effectively fitted")
    if a.checkerboard:
        cb = checkerboard(slip, size=a.checkerboard)
        extras["checkerboard"] = cb
        summary["checkerboard"] = {"size_km": list(cb.size), "recovery": cb.recovery, "status": cb.status}
        say(f"checkerboard {cb.size[0]:g} x {cb.size[1]:g} km: {100 * cb.recovery:.1f} % recovered")
    return slip, extras


def _connect(address):
    try:
        import distributed
        return distributed.Client(address, timeout=20)
    except ImportError:
        raise ValueError("--scheduler needs python3-distributed") from None
    except (OSError, TimeoutError) as e:
        raise OSError(f"cannot reach the scheduler {address} ({e})") from None


@command("vadrel.invert")
def main(argv: Sequence[str] | None = None) -> int:
    ap = Parser(prog="python3 -m vadrel.invert",
                description="Fit faults to radar line-of-sight and GNSS data.",
                epilog="Exit status: 0 done, 1 error, 2 bad command line, 3 the fit stopped at its evaluation "
                       "limit or the chains did not converge (results written, with a warning).")
    ap.add_argument("data", nargs="+", help="data files (radar: x y los e n u [sigma]; GNSS: x y e n u se sn su; "
                                            "lon lat in degrees in place of x y)")
    ap.add_argument("--sigma", action="append", metavar="MM[,MM...]",
                    help="standard deviation of each data file's observations (mm), one per file in order "
                         "(repeat the option or separate by commas; one value for all; '-' for the file's own)")
    ap.add_argument("--name", action="append", metavar="NAME[,NAME...]",
                    help="name of each data file's dataset, one per file in order (default: the file's stem)")
    ap.add_argument("--origin", metavar="LON,LAT",
                    help="origin of the km frame of data in longitude/latitude (default: the first such "
                         "file's centre); the start's X, Y are km in that frame")
    ap.add_argument("--normalise", action="store_true", help="scale look vectors to unit length")
    ap.add_argument("--no-ramp", action="store_true", help="fit an offset but no ramp to each radar dataset")
    ap.add_argument("--bounds", metavar="NAME=LOW:HIGH,...",
                    help="bounds of free parameters (NAME_K for segment K only; 'top' is the depth of the "
                         "top edge, which the fit uses when depth is free)")
    ap.add_argument("--max-evaluations", type=int, metavar="N",
                    help="evaluation limit of each start (default 200 or 30 per parameter)")
    ap.add_argument("--start", required=True, help="faults file: the starting model")
    ap.add_argument("--free", default=",".join(DEFAULT_FREE),
                    help="parameters to fit, comma-separated; ';' between segments; '' for none")
    ap.add_argument("--jacobian", default="analytic", choices=("analytic", "forward", "central"))
    ap.add_argument("--starts", type=int, default=1, help="random restarts inside the bounds (best kept)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--scheduler", metavar="ADDRESS",
                    help="run the starts as tasks on this dask scheduler's workers (tcp://host:8786)")
    ap.add_argument("--slip", nargs=2, type=int, metavar=("NX", "NY"),
                    help="then fit the slip on every segment, each cut into NX x NY patches")
    ap.add_argument("--patch", nargs=2, type=float, metavar=("ALONG", "DOWN"),
                    help="instead of --slip: patches of about ALONG x DOWN km on every segment")
    ap.add_argument("--segments", metavar="LIST",
                    help="the segments (from 1, comma-separated) that carry the slip; all by default")
    ap.add_argument("--smoothing", type=float, help="weight of the slip's Laplacian (default 1, or the "
                    "L-curve's corner with --lcurve)")
    ap.add_argument("--lcurve", metavar="S1,S2,...", help="smoothing weights of an L-curve (at least 4); its "
                    "corner is the smoothing unless --smoothing is given")
    ap.add_argument("--extend", nargs=2, type=float, default=(0.0, 0.0), metavar=("ALONG", "DOWN"),
                    help="km added to each segment at each free end along strike, and down dip")
    ap.add_argument("--join", metavar="KM", help="segments whose top edges' ends lie within KM are smoothed "
                    "across (default half a patch; none for no joins)")
    ap.add_argument("--rake", nargs=2, type=float, metavar=("LOW", "HIGH"), help="rake range of the slip, degrees")
    ap.add_argument("--resolution", action="store_true",
                    help="the diagonal of the slip's resolution matrix (a picture with --plot)")
    ap.add_argument("--checkerboard", nargs=2, type=float, metavar=("ALONG", "DEPTH"),
                    help="a checkerboard test with squares of ALONG x DEPTH km (a picture with --plot)")
    ap.add_argument("--positivity", metavar="S1,S2",
                    help="signs of the slip's U1 and U2 (each +, - or 0 for free), for --slip or --patch")
    ap.add_argument("--sample", type=int, metavar="DRAWS",
                    help="then draw from the posterior of the geometry: DRAWS per chain (written to "
                         "NAME_posterior.npz, summarised in the .json; with --plot also NAME_posterior.png)")
    ap.add_argument("--chains", type=int, default=4, help="chains of --sample (default 4)")
    ap.add_argument("--method", default="hmc", choices=("hmc", "emcee"), help="sampler of --sample")
    ap.add_argument("-o", "--output", required=True, help="the fitted faults file (a summary .json beside it)")
    ap.add_argument("--plot", help="PNG of data, model and residuals (with --slip also NAME_slip.png)")
    a = ap.parse_args(argv)

    _check_slip_options(a)
    root = os.path.splitext(a.output)[0]
    outputs = [("output", a.output), ("summary", root + ".json")]
    if a.sample:
        outputs.append(("posterior draws", root + "_posterior.npz"))
    if a.plot:
        outputs.append(("--plot", a.plot))
        if a.sample:
            r, e = os.path.splitext(a.plot)
            outputs.append(("posterior picture", r + "_posterior" + (e or ".png")))
    outputs += _slip_pictures(a)
    check_files(outputs, [("data file", p) for p in a.data] + [("--start", a.start)])
    # Every option checked before any work.
    sigmas = _per_file(a.sigma, len(a.data), "--sigma", _sigma)
    names = _per_file(a.name, len(a.data), "--name", str)
    bounds = _bounds(a.bounds)
    positivity = _positivity(a.positivity) if a.positivity else None
    if positivity and not (a.slip or a.patch):
        raise UsageError("--positivity is a bound of the slip: give it with --slip or --patch")
    origin = None
    if a.origin:
        parts = a.origin.split(",")
        if len(parts) != 2:
            raise UsageError(f"--origin: '{a.origin}' is not LON,LAT")
        origin = tuple(_floats(v, "--origin") for v in parts)
        if abs(origin[1]) > 90:
            raise UsageError(f"--origin: latitude {origin[1]:g} is beyond 90 degrees")
    if a.max_evaluations is not None and a.max_evaluations < 1:
        raise UsageError("--max-evaluations must be at least 1")
    if a.sample is not None and a.sample < 10:
        raise UsageError("--sample: at least 10 draws per chain")
    if a.chains < 1:
        raise UsageError("--chains must be at least 1")
    if a.starts < 1:
        raise UsageError("--starts must be at least 1")
    if positivity and a.rake:
        raise UsageError("give --rake or --positivity, not both")
    with warnings_as_lines("vadrel.invert"):
        return _run(a, sigmas, names, bounds, positivity, origin)


def _run(a, sigmas, names, bounds, positivity, origin):
    def say(msg):
        print(f"vadrel.invert: {msg}", file=sys.stderr, flush=True)

    status = 0
    root = os.path.splitext(a.output)[0]
    try:
        for out in (a.output, a.plot):
            if out and not os.path.isdir(os.path.dirname(os.path.abspath(out))):
                raise OSError(f"{out}: no such directory")
        datasets = []
        for p, s, n in zip(a.data, sigmas, names):
            d = load_dataset(p, kind=dataset_kind(p), name=n, origin=origin, normalise=a.normalise, sigma=s)
            if d.frame is not None and origin is None:
                # Every file in longitude/latitude goes to the first one's frame.
                origin = (d.frame.lon0, d.frame.lat0)
                say(f"{p}: longitudes and latitudes, local frame about {origin[0]:.6f}, {origin[1]:.6f}")
            if a.no_ramp and d.kind == "los":
                d = d.with_options(ramp=False)
            datasets.append(d)
        for p, d in zip(a.data, datasets):
            say(f"{p}: {d.npoints} {'radar' if d.kind == 'los' else 'GNSS'} points")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = vadrel.read_faults(a.start)
        if a.segments and max(a.segments) > len(start):
            raise UsageError(f"--segments: the model has {len(start)} segment(s), no segment {max(a.segments)}")
        if a.slip:
            # The slip's memory checked before the fault is fitted.
            check_memory(len(a.segments or start) * a.slip[0] * a.slip[1],
                         sum(d.nuisance.shape[1] for d in datasets))
        parts = a.free.split(";")
        free = [[n.strip() for n in s.split(",") if n.strip()] for s in parts]
        if len(free) == 1:
            free = free * len(start)
        bound_dicts = _bound_dicts(bounds, len(start))
        summary = {"data": a.data, "start": a.start}
        client = _connect(a.scheduler) if a.scheduler else None
        try:
            fit = fit_fault(datasets, start, free=free, bounds=bound_dicts, jacobian=a.jacobian, starts=a.starts,
                            seed=a.seed, client=client, progress=say if a.starts > 1 else None,
                            max_nfev=a.max_evaluations)
        finally:
            if client is not None:
                client.close()
        summary["fault"] = _fault_summary(fit)
        bound = f", at a bound: {_bound_text(fit.at_bound)}" if fit.at_bound else ""
        state = "" if fit.converged else ", NOT CONVERGED (evaluation limit)"
        say(f"fault: Mw {_mw(fit.Mw)}, rms {fit.rms['all']:.2f} mm, "
            f"variance reduction {100 * fit.variance_reduction['all']:.1f} %, {fit.nfev} evaluations, "
            f"{fit.time:.2f} s{bound}{state}")
        if fit.frame is not None:
            for k, s in enumerate(fit.lonlat()):
                say(f"segment {k + 1}: reference point {s['lon']:.5f}, {s['lat']:.5f}, strike "
                    f"{s['strike_true']:.2f} from true north")
        if not fit.converged:
            status = NOT_CONVERGED
        post = None
        if a.sample:
            from ..invert.sample import sample_fault
            post = sample_fault(datasets, fit.faults, free=free, bounds=bound_dicts, draws=a.sample,
                                chains=a.chains, seed=a.seed, method=a.method, progress=say)
            summary["posterior"] = _posterior_summary(post)
            say(f"posterior: {post.samples.shape[0]} draws, {post.message}, {post.time:.1f} s")
            if not post.converged:
                status = NOT_CONVERGED
        result, comments = fit.faults, [f"fitted by vadrel.invert to {', '.join(fit.datasets)}: "
                                        f"Mw {_mw(fit.Mw)}, VR {100 * fit.variance_reduction['all']:.1f} %"]
        slip, extras = None, {}
        if a.slip or a.patch:
            slip, extras = _fit_slip(a, datasets, fit.faults, summary, say, positivity)
            summary["slip"] = _slip_summary(slip)
            say(f"slip: Mw {_mw(slip.Mw)}, rms {slip.rms['all']:.2f} mm, "
                f"variance reduction {100 * slip.variance_reduction['all']:.1f} %, smoothing {slip.smoothing:.3g}, "
                f"{slip.problem.greens_time:.2f} s for the Green's functions, {slip.time:.2f} s to solve, "
                f"{slip.message}")
            if not slip.converged:
                status = NOT_CONVERGED
            result = slip.patches
            shape = ", ".join(f"{s.nx} x {s.ny}" for s in slip.segments)
            comments = [f"slip on {shape} patches fitted by vadrel.invert: "
                        f"Mw {_mw(slip.Mw)}, VR {100 * slip.variance_reduction['all']:.1f} %, {slip.status}"]
        write_faults(result, a.output, comments=comments)
        text = json.dumps(summary, indent=1) + "\n"
        replace_file(root + ".json", lambda f: f.write(text))
        say(f"wrote {a.output} and {root}.json")
        if post is not None:
            write_bytes(root + "_posterior.npz", _npz(post))
            say(f"wrote {root}_posterior.npz")
        if a.plot:
            from ..plot import _mpl
            from ..plot.fit import plot_fit
            _mpl.use_agg()
            shown = slip or fit
            plot_fit(shown, datasets, a.plot)
            say(f"wrote {a.plot}")
            if slip is not None:
                from ..plot import slip as slip_pictures
                draw = {"slip picture": lambda p: slip_pictures.plot_slip(slip, p),
                        "L-curve picture": lambda p: slip_pictures.plot_lcurve(extras["lcurve"], p),
                        "resolution picture": lambda p: slip_pictures.plot_resolution(extras["resolution"], p),
                        "checkerboard picture": lambda p: slip_pictures.plot_checkerboard(extras["checkerboard"], p)}
                for label, path in _slip_pictures(a):
                    draw[label](path)
                    say(f"wrote {path}")
            if post is not None:
                from ..plot.posterior import plot_posterior
                r, e = os.path.splitext(a.plot)
                plot_posterior(post, r + "_posterior" + (e or ".png"))
                say(f"wrote {r}_posterior{e or '.png'}")
    except UsageError:
        raise
    except (ValueError, OSError) as e:
        say(f"error: {e}")
        return 1
    if status == NOT_CONVERGED:
        why = ("the fit stopped at its evaluation limit" if not fit.converged else
               "the posterior's chains did not converge" if post is not None and not post.converged else
               f"the slip fit stopped at its iteration limit: {slip.message}")
        say(f"warning: {why}: exit status {NOT_CONVERGED}")
    return status


def _npz(post):
    """The posterior's draws as .npz bytes: ``samples`` (draws x
    parameters), ``names``, ``rhat``, ``ess``, ``log_posterior``."""
    import io
    buf = io.BytesIO()
    np.savez(buf, samples=post.samples, names=np.array(post.names), rhat=post.rhat, ess=post.ess,
             log_posterior=post.log_posterior)
    return buf.getvalue()


if __name__ == "__main__":
    sys.exit(main())
