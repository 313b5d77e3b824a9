"""From a GeoTIFF interferogram to a fitted fault with its posterior.

    PYTHONPATH=build/python /usr/bin/python3 examples/insar_example.py [OUTPUT_DIR]

The interferogram is made here, so that the answer is known: the
line-of-sight displacement of a steep left-lateral fault striking north-east
(like the 2015 Sarez earthquake) seen by an ascending radar, plus correlated
noise (exponential, 8 mm, 12 km), written as a GeoTIFF in longitude and
latitude with three GeoTIFFs of the look vector's east, north and up
components.  Then, as with a real interferogram: read it into a km frame
about an origin, downsample it by a quadtree, fit a fault with uniform
weights (twice: the second time without the pixels next to the first
fit's trace), estimate the noise covariance from that fit's residual away from
the fault, fit again with the covariance, and draw the posterior of the
geometry.  Pictures: the leaves, the semivariogram, the fit, the posterior.
"""
import os
import sys

import numpy as np
import rasterio
from rasterio.transform import from_origin

import vadrel
import vadrel.insar
from vadrel.geodesy import LocalFrame
from vadrel.invert import fit_fault, sample_fault
from vadrel.plot import plot_fit, plot_leaves, plot_posterior, plot_semivariogram

out = sys.argv[1] if len(sys.argv) > 1 else "insar_example"
os.makedirs(out, exist_ok=True)
origin = (72.0, 38.5)
frame = LocalFrame(origin)

# The truth: 60 km long, 15 km wide, dip 80, 2.5 m left-lateral, top at 1 km.
truth = vadrel.Segment(X=-25.0, Y=-20.0, strike=40.0, depth=15.77, dip=80.0, lam=3e10, mu=3e10, U1=2500.0, U2=0.0,
                       U3=0.0, L=60.0, W=15.0, name="truth")

# A 0.01-degree grid of 1.6 x 1.4 degrees about the origin.
step = 0.01
lon = origin[0] - 0.8 + step * (np.arange(160) + 0.5)
lat = origin[1] + 0.7 - step * (np.arange(140) + 0.5)          # rows from the north, as GeoTIFFs go
glon, glat = np.meshgrid(lon, lat)
x, y = frame.to_km(glon, glat)
incidence, heading = np.radians(39.0), np.radians(-12.0)        # ascending, right-looking
look = np.array([-np.cos(heading) * np.sin(incidence), np.sin(heading) * np.sin(incidence), np.cos(incidence)])
los = vadrel.range_change(vadrel.Faults([truth]), x, y, look)   # mm towards the radar
los += vadrel.insar.noise_field(los.shape, (0.87, 1.11), 64.0, 12.0, seed=3)

profile = dict(driver="GTiff", width=lon.size, height=lat.size, count=1, dtype="float64", crs="EPSG:4326",
               transform=from_origin(lon[0] - step / 2, lat[0] + step / 2, step, step), nodata=np.nan)
for name, values in (("los.tif", los / 1000.0), ("e.tif", np.full(los.shape, look[0])),
                     ("n.tif", np.full(los.shape, look[1])), ("u.tif", np.full(los.shape, look[2]))):
    with rasterio.open(os.path.join(out, name), "w", **profile) as f:
        f.write(values, 1)

# --- what one does with a real interferogram -------------------------------
p = lambda name: os.path.join(out, name)
ifg = vadrel.insar.read(p("los.tif"), units="m", positive="towards", look=(p("e.tif"), p("n.tif"), p("u.tif")),
                        origin=origin)
start = vadrel.Faults([truth.replace(X=-15.0, Y=-10.0, strike=50.0, dip=70.0, U1=1500.0, L=40.0, name="start")])
first = fit_fault([ifg.quadtree(25.0, min_size=1.0, max_size=20.0)], start)     # mm^2, km
# A model predicts a sample at its leaf's centre, the data are the leaf's
# mean: leaves over the steep signal above the fault's top edge are left out.
ifg = ifg.masked_near(first.faults, 2.0)
ds = ifg.quadtree(25.0, min_size=1.0, max_size=20.0)
plot_leaves(ds, p("leaves.png"), ifg=ifg, faults=first.faults)
first = fit_fault([ds], first.faults)
cov = vadrel.insar.covariance(ifg, exclude=first.faults, distance=10.0, subtract=first.faults)
plot_semivariogram(cov, p("semivariogram.png"))
weighted = ds.with_covariance(cov)
fit = fit_fault([weighted], first.faults)
plot_fit(fit, [weighted], p("fit.png"))
post = sample_fault([weighted], fit.faults, draws=500, chains=4, seed=1)
plot_posterior(post, p("posterior.png"))

print(f"{ds.npoints} samples of {int(ifg.valid.sum())} pixels; noise: sill {cov.sill:.1f} mm^2, "
      f"range {cov.range:.1f} km, nugget {cov.nugget:.1f} mm^2")
print(f"fit: {fit.message}, rms {fit.rms['all']:.2f} mm")
print(f"{'':12}{'truth':>10}{'fit':>10}{'sigma':>8}{'posterior 5%':>14}{'95%':>10}")
for name in post.names:
    base = name.split("_")[0]
    true = getattr(truth, base, float("nan")) if base in ("X", "Y", "strike", "dip", "U1", "U2", "L", "W") else \
        float("nan")
    if base == "depth":
        true = truth.depth
    value = fit.params.get(name, float("nan"))
    sigma = fit.sigma.get(name, float("nan"))
    lo, hi = post.interval(name, 0.90)
    print(f"{name:12}{true:10.2f}{value:10.2f}{sigma:8.2f}{lo:14.2f}{hi:10.2f}")
print(f"R-hat at most {np.max(post.rhat):.3f}, effective draws at least {np.min(post.ess):.0f}, {post.time:.0f} s")
segment = fit.lonlat()[0]
print(f"the fault's reference point: {segment['lon']:.4f} E, {segment['lat']:.4f} N, strike "
      f"{segment['strike_true']:.1f} from true north")
print(f"pictures in {out}/: leaves.png, semivariogram.png, fit.png, posterior.png")
