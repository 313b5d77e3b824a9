"""``python3 -m vadrel.invert``: faults fitted to radar line-of-sight and
GNSS data, the posterior of the geometry, and the slip on a fitted plane.

Exit status: 0 done; 1 an error; 2 a command line that cannot be run; 3 the
geometry fit stopped at its evaluation limit without converging (the
results are written all the same, with a warning), or the posterior's
chains did not converge."""
from __future__ import annotations

import json
import os
import sys
import warnings

import numpy as np

import vadrel
from . import Parser, check_files, command
from ..invert import DEFAULT_FREE, PARAMETERS, fit_fault, fit_slip, load_dataset, write_faults
from ..invert.fault import _bound_text, _mw
from ..io.datasets import dataset_kind
from ..io.files import replace_file, write_bytes
from . import UsageError, warnings_as_lines

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
    return {"nx": fit.nx, "ny": fit.ny, "smoothing": fit.smoothing, "rms_mm": fit.rms,
            "variance_reduction": fit.variance_reduction, "moment_Nm": fit.moment, "Mw": fit.Mw,
            "roughness_mm_per_km2": fit.roughness, "max_slip_mm": float(np.abs(fit.slip).max()),
            "time_s": fit.time, "greens_time_s": fit.greens_time, "offsets": fit.offsets,
            "ramps": fit.ramps}


def _connect(address):
    try:
        import distributed
        return distributed.Client(address, timeout=20)
    except ImportError:
        raise ValueError("--scheduler needs python3-distributed") from None
    except (OSError, TimeoutError) as e:
        raise OSError(f"cannot reach the scheduler {address} ({e})") from None


@command("vadrel.invert")
def main(argv=None) -> int:
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
                    help="then fit the slip on the first segment cut into NX x NY patches")
    ap.add_argument("--smoothing", type=float, default=1.0, help="weight of the slip's Laplacian")
    ap.add_argument("--extend", nargs=2, type=float, default=(0.0, 0.0), metavar=("ALONG", "DOWN"),
                    help="km added to the plane at each end along strike, and down dip")
    ap.add_argument("--rake", nargs=2, type=float, metavar=("LOW", "HIGH"), help="rake range of the slip, degrees")
    ap.add_argument("--positivity", metavar="S1,S2",
                    help="signs of the slip's U1 and U2 (each +, - or 0 for free), for --slip")
    ap.add_argument("--sample", type=int, metavar="DRAWS",
                    help="then draw from the posterior of the geometry: DRAWS per chain (written to "
                         "NAME_posterior.npz, summarised in the .json; with --plot also NAME_posterior.png)")
    ap.add_argument("--chains", type=int, default=4, help="chains of --sample (default 4)")
    ap.add_argument("--method", default="hmc", choices=("hmc", "emcee"), help="sampler of --sample")
    ap.add_argument("-o", "--output", required=True, help="the fitted faults file (a summary .json beside it)")
    ap.add_argument("--plot", help="PNG of data, model and residuals (with --slip also NAME_slip.png)")
    a = ap.parse_args(argv)

    root = os.path.splitext(a.output)[0]
    outputs = [("output", a.output), ("summary", root + ".json")]
    if a.sample:
        outputs.append(("posterior draws", root + "_posterior.npz"))
    if a.plot:
        r, e = os.path.splitext(a.plot)
        outputs.append(("--plot", a.plot))
        if a.slip:
            outputs.append(("slip picture", r + "_slip" + (e or ".png")))
        if a.sample:
            outputs.append(("posterior picture", r + "_posterior" + (e or ".png")))
    check_files(outputs, [("data file", p) for p in a.data] + [("--start", a.start)])
    # Every option checked before any work.
    sigmas = _per_file(a.sigma, len(a.data), "--sigma", _sigma)
    names = _per_file(a.name, len(a.data), "--name", str)
    bounds = _bounds(a.bounds)
    positivity = _positivity(a.positivity) if a.positivity else None
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
        if a.slip and min(a.slip) < 1:
            raise ValueError(f"--slip: NX and NY must be at least 1, not {a.slip[0]} {a.slip[1]}")
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
        slip = None
        if a.slip:
            slip = fit_slip(datasets, fit.faults.segments[0], nx=a.slip[0], ny=a.slip[1],
                            smoothing=a.smoothing, extend=a.extend, rake=a.rake, positivity=positivity,
                            progress=say)
            summary["slip"] = _slip_summary(slip)
            say(f"slip: Mw {_mw(slip.Mw)}, rms {slip.rms['all']:.2f} mm, "
                f"variance reduction {100 * slip.variance_reduction['all']:.1f} %, {slip.time:.2f} s")
            result = slip.patches
            comments = [f"slip on {a.slip[0]} x {a.slip[1]} patches fitted by vadrel.invert: "
                        f"Mw {_mw(slip.Mw)}, VR {100 * slip.variance_reduction['all']:.1f} %"]
        write_faults(result, a.output, comments=comments)
        text = json.dumps(summary, indent=1) + "\n"
        replace_file(root + ".json", lambda f: f.write(text))
        say(f"wrote {a.output} and {root}.json")
        if post is not None:
            write_bytes(root + "_posterior.npz", _npz(post))
            say(f"wrote {root}_posterior.npz")
        if a.plot:
            from ..plot import _mpl
            from ..plot.fit import plot_fit, plot_slip
            _mpl.use_agg()
            plot_fit(slip or fit, datasets, a.plot)
            say(f"wrote {a.plot}")
            if slip is not None:
                r, e = os.path.splitext(a.plot)
                plot_slip(slip, r + "_slip" + (e or ".png"))
                say(f"wrote {r}_slip{e or '.png'}")
            if post is not None:
                from ..plot.posterior import plot_posterior
                r, e = os.path.splitext(a.plot)
                plot_posterior(post, r + "_posterior" + (e or ".png"))
                say(f"wrote {r}_posterior{e or '.png'}")
    except (ValueError, OSError) as e:
        say(f"error: {e}")
        return 1
    if status == NOT_CONVERGED:
        say("warning: " + ("the fit stopped at its evaluation limit" if not fit.converged else
                           "the posterior's chains did not converge") + f": exit status {NOT_CONVERGED}")
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
