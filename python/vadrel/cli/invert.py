"""``python3 -m vadrel.invert``: faults fitted to radar line-of-sight and
GNSS data, and the slip on a fitted plane."""
from __future__ import annotations

import json
import os
import sys
import warnings

import numpy as np

import vadrel
from . import Parser, check_files, command
from ..invert import DEFAULT_FREE, fit_fault, fit_slip, load_dataset, write_faults
from ..invert.fault import _mw
from ..io.datasets import dataset_kind
from ..io.files import replace_file

__all__ = ["main"]


def _fault_summary(fit):
    return {"params": {n: {"value": fit.params[n], "sigma": fit.sigma[n]} for n in fit.params},
            "rms_mm": fit.rms, "variance_reduction": fit.variance_reduction, "moment_Nm": fit.moment,
            "Mw": fit.Mw, "evaluations": fit.nfev, "jacobians": fit.njev, "time_s": fit.time,
            "offsets": fit.offsets, "ramps": fit.ramps, "starts": fit.starts}


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
                                 description="Fit faults to radar line-of-sight and GNSS data.")
    ap.add_argument("data", nargs="+", help="data files (radar: x y los e n u [sigma]; GNSS: x y e n u se sn su)")
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
    ap.add_argument("-o", "--output", required=True, help="the fitted faults file (a summary .json beside it)")
    ap.add_argument("--plot", help="PNG of data, model and residuals (with --slip also NAME_slip.png)")
    a = ap.parse_args(argv)

    def say(msg):
        print(f"vadrel.invert: {msg}", file=sys.stderr, flush=True)

    outputs = [("output", a.output), ("summary", os.path.splitext(a.output)[0] + ".json")]
    if a.plot:
        r, e = os.path.splitext(a.plot)
        outputs.append(("--plot", a.plot))
        if a.slip:
            outputs.append(("slip picture", r + "_slip" + (e or ".png")))
    check_files(outputs, [("data file", p) for p in a.data] + [("--start", a.start)])
    try:
        if a.slip and min(a.slip) < 1:
            raise ValueError(f"--slip: NX and NY must be at least 1, not {a.slip[0]} {a.slip[1]}")
        for out in (a.output, a.plot):
            if out and not os.path.isdir(os.path.dirname(os.path.abspath(out))):
                raise OSError(f"{out}: no such directory")
        datasets = [load_dataset(p, kind=dataset_kind(p)) for p in a.data]
        for p, d in zip(a.data, datasets):
            say(f"{p}: {d.npoints} {'radar' if d.kind == 'los' else 'GNSS'} points")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = vadrel.read_faults(a.start)
        parts = a.free.split(";")
        free = [[n.strip() for n in s.split(",") if n.strip()] for s in parts]
        if len(free) == 1:
            free = free * len(start)
        summary = {"data": a.data, "start": a.start}
        client = _connect(a.scheduler) if a.scheduler else None
        try:
            fit = fit_fault(datasets, start, free=free, jacobian=a.jacobian, starts=a.starts, seed=a.seed,
                            client=client, progress=say if a.starts > 1 else None)
        finally:
            if client is not None:
                client.close()
        summary["fault"] = _fault_summary(fit)
        say(f"fault: Mw {_mw(fit.Mw)}, rms {fit.rms['all']:.2f} mm, "
            f"variance reduction {100 * fit.variance_reduction['all']:.1f} %, {fit.nfev} evaluations, "
            f"{fit.time:.2f} s")
        result, comments = fit.faults, [f"fitted by vadrel.invert to {', '.join(fit.datasets)}: "
                                        f"Mw {_mw(fit.Mw)}, VR {100 * fit.variance_reduction['all']:.1f} %"]
        slip = None
        if a.slip:
            slip = fit_slip(datasets, fit.faults.segments[0], nx=a.slip[0], ny=a.slip[1],
                            smoothing=a.smoothing, extend=a.extend, rake=a.rake, progress=say)
            summary["slip"] = _slip_summary(slip)
            say(f"slip: Mw {_mw(slip.Mw)}, rms {slip.rms['all']:.2f} mm, "
                f"variance reduction {100 * slip.variance_reduction['all']:.1f} %, {slip.time:.2f} s")
            result = slip.patches
            comments = [f"slip on {a.slip[0]} x {a.slip[1]} patches fitted by vadrel.invert: "
                        f"Mw {_mw(slip.Mw)}, VR {100 * slip.variance_reduction['all']:.1f} %"]
        write_faults(result, a.output, comments=comments)
        root = os.path.splitext(a.output)[0]
        text = json.dumps(summary, indent=1) + "\n"
        replace_file(root + ".json", lambda f: f.write(text))
        say(f"wrote {a.output} and {root}.json")
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
    except (ValueError, OSError) as e:
        say(f"error: {e}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
