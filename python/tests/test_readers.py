"""Finite-fault files as published: a fixture of each variant, header spellings, units from
column names, aliases, impossible geometry, unit sources, and malformed files failing with
the file, the line and the reason."""
import math
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from vadrel import sources as vs, tsunami
from vadrel.io import recognise, text

FIX = pathlib.Path(__file__).parent / "fixtures" / "finite_faults"


def area_m2(length_km, width_km):
    return length_km * width_km * 1e6


# (file, reference given, format, subfaults, moment N m worked out by hand
# from the rows, segment labels, words one warning must hold or None)
CASES = [
    # mo column in dyne cm: (0.6 + 1.2 + 1.8)e26 dyne cm
    ("new_one_segment.param", None, "param", 4, 3.6e26 * 1e-7, ["1"], "without slip take the median"),
    # rigidity 4e11 dyne/cm^2 = 4e10 Pa; slips 5, 12, 3 m; 25 x 20 km
    ("old_markers.param", None, "param", 3, 4e10 * 20.0 * area_m2(25, 20), ["1"], None),
    # mo (2.7 + 4.5 + 1.8)e24 dyne cm; segment numbers 1 and 7 as written
    ("spaced_two_segments.param", None, "param", 3, 9.0e24 * 1e-7, ["1", "7"], None),
    ("modern.fsp", None, "fsp", 2, 2.4e19 + 4.8e19, ["1"], None),
    # no moment per subfault: the header's Mo
    ("era1994_lost_percent.fsp", None, "fsp", 2, 1.3e19, ["1"], "without '%' (line 11)"),
    ("segments_wrong_count.fsp", None, "fsp", 6, 4.0e16, ["3", "1000000000"], "declares 5; the rows are taken"),
    ("center_with_top_depths.fsp", None, "fsp", 2, 2.4e19, ["1"], "above the surface"),
    # 30 GPa, slips 3.5 and 6 m on 20 x 15 km
    ("toolkit.csv", "top center", "csv", 2, 3e10 * 9.5 * area_m2(20, 15), ["1"], "no rigidity column"),
    ("lon_c.csv", "centroid", "csv", 2, 4e10 * 30.0 * area_m2(50, 50), ["1"], "'quality' not used"),
    ("unitsrc.csv", "noaa sift", "csv", 2, 3e10 * 5.0 * area_m2(100, 50), ["1"], None),
    # slips 150 and 250 cm on 10 x 8 km
    ("whitespace_lonc.txt", "centroid", "csv", 2, 3e10 * 4.0 * area_m2(10, 8), ["1"], None),
    # the moments over slip and area give 30 GPa
    ("topdepth.csv", None, "csv", 2, 2.25e18 + 7.5e17, ["1"], None),
]


@pytest.mark.parametrize("name, reference, fmt, count, moment, labels, warning", CASES, ids=[c[0] for c in CASES])
def test_each_variant_reads_with_its_counts_and_moment(name, reference, fmt, count, moment, labels, warning):
    ff = vs.read(FIX / name, reference=reference)
    assert ff.format == fmt and len(ff.subfaults) == count
    assert ff.moment == pytest.approx(moment, rel=1e-3)
    assert ff.segment_labels == labels and ff.segments == len(labels)
    assert np.all(ff.subfaults["depth"] >= 0.0)
    assert ff.lines is not None and len(ff.lines) == count
    if warning is not None:
        assert sum(warning in w for w in ff.warnings) == 1, ff.warnings


def test_old_table_units_from_the_names():
    ff = vs.read(FIX / "old_markers.param")
    sub = ff.subfaults
    assert list(sub["slip"]) == pytest.approx([5.0, 12.0, 3.0])           # slip(cm)
    assert set(sub["rigidity"]) == {4e10}                                 # rigidity(dyne/cm2)
    assert list(sub["rupture_time"]) == [10.0, 25.0, 40.0]
    assert set(sub["rise_time"]) == {12.0} and ff.history.shape == "asymmetric cosine"
    assert list(ff.history.fall_time) == [4.0, 4.0, 4.0]
    # stated centroids at 8 km, 20 km wide at 30 degrees: tops at 3 km, the boundary's top
    assert sub["depth"] == pytest.approx(3.0) and "centroid (stated in the file)" in ff.reference[0]


def test_spaced_header_words_and_lon_before_lat(tmp_path):
    ff = vs.read(FIX / "spaced_two_segments.param")
    sub = ff.subfaults
    assert list(sub["length"]) == [2.0, 2.0, 2.0] and set(sub["width"]) == {3.0}     # Dx = 2000.0 m read
    assert list(sub["strike"]) == [0.0, 0.0, 40.0]
    # the first row is the boundary's first corner: lon -116.5, lat 34.2 (not swapped)
    assert "top corner" in ff.reference[0]
    assert sub["lat"][0] == pytest.approx(34.2 + 1.0 / 111.0, abs=2e-4)               # moved 1 km north
    assert ff.hypocentre[:2] == (-116.5, 34.2)
    # the second segment's column line left out, its row under the first's: the same model
    text = (FIX / "spaced_two_segments.param").read_text().splitlines()
    p = tmp_path / "one_column_line.param"
    p.write_text("\n".join(text[:-2] + text[-1:]) + "\n")
    b = vs.read(p)
    assert np.array_equal(ff.subfaults, b.subfaults) and b.segment_labels == ["1", "7"]


@pytest.mark.parametrize("line", [
    "#Fault_segment =   1 nx(Along-strike)=  3 Dx = 25.00km ny(downdip)=   2 Dy = 20.00km",
    "#Fault_segment=   1 nx(Along-strike)=   3 Dx=  25.00km ny(downdip)=   2 Dy=  20.00km",
    " #Fault_segment = 1 nx(Along-strike) = 3 Dx = 25.00 km ny(downdip) = 2 Dy = 20.00 km",
    "#Fault_segment =1 nx(Along-strike)=3 Dx =25km ny(downdip)=2 Dy =20km",
    "#+++Fault_segment = 1 nx(Along-strike)= 3 Dx =  25.00km ny(downdip)= 2 Dy = 20000 m+++",
])
def test_segment_header_spellings(tmp_path, line):
    rows = "".join(f" {-30 + 0.2 * i:.4f} {-71.9 + 0.1 * j:.4f} 5.0 100.0 90 10 20 0 1 1 1E+26\n"
                   for j in range(2) for i in range(3))
    p = tmp_path / "t.param"
    p.write_text("#Total number of fault_segments=1\n" + line + "\n#Lat. Lon. depth slip rake strike dip "
                 "t_rup t_ris t_fal mo\n" + rows)
    ff = vs.read(p)
    assert len(ff.subfaults) == 6
    assert set(ff.subfaults["length"]) == {25.0} and set(ff.subfaults["width"]) == {20.0}


def test_database_file_eras(tmp_path):
    old = vs.read(FIX / "era1994_lost_percent.fsp")
    assert set(old.subfaults["length"]) == {9.0}                     # from the line that lost its '%'
    assert old.history.shape == "triangle" and set(old.subfaults["rise_time"]) == {1.0}
    assert any("'x'" in w for w in old.warnings)
    new = vs.read(FIX / "modern.fsp")
    # "center" at 8.4202 km, 20 km wide at 20 degrees: the top at the header's Htop = 5 km
    assert new.subfaults["depth"] == pytest.approx(5.0, abs=1e-4)
    assert new.history.shape == "cosine" and "Asymetriccosine" in new.history.stated
    assert list(new.subfaults["rupture_time"]) == [4.0, 8.0]
    # a rise-time statement, and a row with a leading stray token
    p = tmp_path / "rise.fsp"
    p.write_text((FIX / "era1994_lost_percent.fsp").read_text()
                 .replace("% STF  : triangular", "% RISE TIME : 2.5 s (constant)\n% STF  : triangular")
                 .replace(" 34.2071  -118.5168", " * 34.2071  -118.5168"))
    ff = vs.read(p)
    assert set(ff.subfaults["rise_time"]) == {2.5} and not any("avTr" in w for w in ff.warnings)
    assert len(ff.subfaults) == 2 and ff.subfaults["lat"][1] == pytest.approx(34.2071)
    # the row is the fixture's line 22, one line lower for the inserted statement
    assert any("'*'" in w and "1 rows (lines 23..23)" in w for w in ff.warnings)


def test_center_whose_depths_are_tops_takes_the_fitting_convention():
    ff = vs.read(FIX / "center_with_top_depths.fsp")
    w = next(w for w in ff.warnings if "above the surface" in w)
    assert "centroid" in w and "top center" in w and "Htop = 0.5" in w
    assert ff.subfaults["depth"] == pytest.approx(0.5)
    # the stated centre would put the top 10 sin(30) / 2 - 0.5 = 2 km above the ground
    assert "2.000 km above" in w
    # forced to the stated convention, it is refused where it is used
    forced = vs.read(FIX / "center_with_top_depths.fsp", reference="centroid")
    with pytest.raises(ValueError, match=r"line 9: subfault 1 \(segment 1\): its top is 2.000 km above"):
        forced.to_faults()
    assert len(forced.to_faults(above_surface="allow")) == 2


def test_csv_fault_above_ground_is_refused_unless_allowed(tmp_path):
    p = tmp_path / "high.csv"
    p.write_text("lon,lat,depth,length,width,strike,dip,rake,slip\n"
                 "10.0,45.0,2.0,10,5,0,45,90,1\n10.0,45.1,-5.0,10,5,0,45,90,1\n")
    ff = vs.read(p, reference="top center")
    assert any("line 3" in w and "5.000 km above the surface" in w for w in ff.warnings)
    for call in (lambda **k: ff.to_faults(**k),
                 lambda **k: tsunami.dtopo(ff, np.linspace(9.5, 10.5, 5), np.linspace(44.8, 45.4, 5), **k)):
        with pytest.raises(ValueError, match=rf"{p}: line 3: subfault 2 \(segment 1\): its top is 5.000 km"):
            call()
        call(above_surface="allow")


def test_units_and_aliases_in_table_names():
    ws = vs.read(FIX / "whitespace_lonc.txt", reference="centroid").subfaults
    assert list(ws["slip"]) == [1.5, 2.5]                                    # slip(cm)
    # depth(m): centroids at 8 km, 8 km wide at 60 degrees
    assert ws["depth"] == pytest.approx(8.0 - 4.0 * math.sin(math.radians(60.0)))
    top = vs.read(FIX / "topdepth.csv", reference="centroid")
    assert list(top.subfaults["depth"]) == [1.0, 1.0]                        # a top depth whatever the point
    assert top.subfaults["rigidity"] == pytest.approx([3e10, 3e10]) and top.names == ["p1", "p2"]
    extra = vs.read(FIX / "lon_c.csv", reference="centroid")
    assert extra.extra == {"quality": ["good", "fair"]} and extra.names == ["a1", "a2"]


@pytest.mark.parametrize("name, data", [
    ("spaced_units.txt", "lon lat Depth (km) Length [km] Width Strike Dip Rake Slip (m)\n"
                         "130.0 33.0 2.5 10 8 45 60 0 1.5\n".encode()),
    ("words.csv", b"Longitude, Latitude, Depth (kilometres), Length (km), Width (km), Strike (deg), Dip, Rake, "
                  b"Slip (meters)\n130.0, 33.0, 2.5, 10, 8, 45, 60, 0, 1.5\n"),
    ("trailing.csv", b"lon,lat,depth,length,width,strike,dip,rake,slip,\n130.0,33.0,2.5,10,8,45,60,0,1.5,\n"),
    ("latin1.csv", "Longitude,Latitude,Depth(km),Length,Width,Strike (\u00b0),Dip (\u00b0),Rake,Slip\r\n"
                   "130.0,33.0,2.5,10,8,45,60,0,1.5\r\n".encode("latin-1")),
    ("bom.csv", "\ufeffLON;LAT;DEPTH;LENGTH;WIDTH;STRIKE;DIP;RAKE;SLIP\n130.0;33.0;2.5;10;8;45;60;0;1.5\n".encode()),
    ("title.csv", b"Subfaults of a test model, top centres\n\nlon,lat,depth,length,width,strike,dip,rake,slip\n"
                  b"130.0,33.0,2.5,10,8,45,60,0,1.5\n"),
    ("quoted.csv", b'"lon","lat","depth","length","width","strike","dip","rake","slip"\n'
                   b'"130.0","33.0","2.5","10","8","45","60","0","1.5"\n'),
])
def test_table_spellings(tmp_path, name, data):
    p = tmp_path / name
    p.write_bytes(data)
    ff = vs.read(p, reference="top center")
    sub = ff.subfaults
    assert (sub["lon"][0], sub["lat"][0], sub["depth"][0], sub["slip"][0]) == (130.0, 33.0, 2.5, 1.5)
    assert (sub["length"][0], sub["strike"][0], sub["dip"][0]) == (10.0, 45.0, 60.0)
    assert not any("not used" in w for w in ff.warnings)


def test_columns_and_units_maps(tmp_path):
    p = tmp_path / "odd.csv"
    p.write_text("xs,ys,zz,L,W,phi,delta,lambda,D,flag\n130.0,33.0,2500,10,8,45,60,0,150,q\n")
    with pytest.raises(ValueError, match=r"line 1: the header has no 'lon' column"):
        vs.read(p, reference="top center")
    cols = {"xs": "lon", "YS": "lat", "zz": "depth", "phi": "strike", "delta": "dip", "lambda": "rake", "D": "slip"}
    ff = vs.read(p, reference="top center", columns={**cols, "flag": None}, units={"depth": "m", "slip": "cm"})
    sub = ff.subfaults
    assert (sub["lon"][0], sub["lat"][0], sub["depth"][0], sub["slip"][0]) == (130.0, 33.0, 2.5, 1.5)
    assert ff.extra == {"flag": ["q"]}
    with pytest.raises(ValueError, match=r"line 1: column 'zz': unknown unit 'furlong'"):
        vs.read(p, reference="top center", columns=cols, units={"depth": "furlong"})


def test_unit_sources_from_a_table_and_slips():
    ff = vs.unit_sources(FIX / "unit_sources.txt", {"ut1a": 2.0, "UT2B": -1.5})
    sub = ff.subfaults
    assert ff.names == ["ut1a", "ut2b"] and list(sub["slip"]) == [2.0, 1.5]
    assert list(sub["rake"]) == [90.0, 270.0]                                 # a negative slip reverses
    assert ff.moment == pytest.approx(3e10 * 3.5 * area_m2(100, 50))
    # the table's depth is the top's; the position the bottom centre's, 50 cos(15) km
    # up dip (to the left of strike 260: 350) of the top centre
    assert list(sub["depth"]) == [5.0, 17.94]
    up = 50.0 * math.cos(math.radians(15.0))
    dlat = (sub["lat"][0] - 51.2) * 111.25
    dlon = (sub["lon"][0] + 179.0) * 111.25 * math.cos(math.radians(51.2))
    assert math.hypot(dlat, dlon) == pytest.approx(up, rel=5e-3)
    for name, slips, message in (("unit_sources.txt", {"ut1a": 1.0, "UT1A": 2.0}, "'UT1A' is given a slip twice"),
                                 ("unit_sources.txt", {"ut1a": None}, "not a number"),
                                 ("unit_sources.txt", {"ut9z": 1.0}, "no unit source named 'ut9z'"),
                                 ("toolkit.csv", {"a": 1.0}, "line 1: no column naming the unit sources")):
        with pytest.raises(ValueError, match=message):
            vs.unit_sources(FIX / name, slips)


def test_segment_numbers_are_labels_not_sizes(tmp_path):
    p = tmp_path / "big.csv"
    p.write_text("lon,lat,depth,length,width,strike,dip,rake,slip,segment\n"
                 "10,45,2,10,5,0,45,90,1,1000000000\n10,45.1,2,10,5,0,45,90,1,7\n10,45.2,2,10,5,0,45,90,1,1e9\n")
    ff = vs.read(p, reference="top center")
    assert list(ff.subfaults["segment"]) == [0, 1, 0] and ff.segment_labels == ["1e+09", "7"]
    assert [s.name for s in ff.to_faults(zone=32).segments] == ["S1_1", "S2_1", "S1_2"]


ROW = "  -32.0 -72.0 1.0 100.0 90.0 10.0 20.0 1.0 1.0 1.0 3.0E+26\n"
HEAD = (" #Total number of fault_segments=           1\n"
        "#Fault_segment =   1 nx(Along-strike)=  2 Dx = 10.00km ny(downdip)=   1 Dy = 10.00km\n"
        " #Lat. Lon. depth slip rake strike dip t_rup t_ris t_fal rigidity\n")
CSV = "lon,lat,depth,length,width,strike,dip,rake,slip,rigidity\n"
FSP = ("% Invs : Dx = 2.0 km Dz = 2.0 km\n% Mech : STRK = 10 DIP = 80 RAKE = 0\n"
       "% Coordinates are given for top-center of each subfault\n% LAT LON Z SLIP\n")


@pytest.mark.parametrize("name, text, line, reason", [
    ("mu.param", HEAD + ROW + ROW.replace("3.0E+26", "-3.0E+11"), 5, "rigidity -3e+10 Pa is not positive"),
    ("zero.csv", CSV + "10,45,2,10,5,0,45,90,1,3e10\n10,45,2,10,5,0,45,90,1,0\n", 3, "rigidity 0 Pa is not positive"),
    ("lat.csv", CSV + "10,95,2,10,5,0,45,90,1,3e10\n", 2, "latitude 95 is beyond 90"),
    ("inf.csv", CSV + "10,45,2,10,5,0,45,90,inf,3e10\n", 2, "not a finite number"),
    ("lat.fsp", FSP + " 91.0 -72.0 5.0 1.0\n", 5, "latitude 91 is beyond 90"),
    ("nan.fsp", FSP + " -31.0 nan 5.0 1.0\n", 5, "not a finite number"),
    ("quote.csv", CSV + '"10,45,2,10,5,0,45,90,1,3e10\n', 2, "fields that do not parse"),
    ("fields.csv", CSV + "10,45,2,10,5,0,45,90,1\n", 2, "9 fields, the header names 10"),
    ("long.csv", CSV + "10,45," + "9" * 100000 + ",10,5,0,45,90,1,3e10\n", 2, "(100000 characters)"),
    ("twice.csv", "lon,longitude,lat,depth,length,width,strike,dip,rake,slip\n", 1, "both give the lon"),
    ("nx.param", HEAD.replace("nx(Along-strike)=  2", "nx(Along-strike)=  1e12"), 2, "not a whole number"),
    ("binary.param", HEAD + "\x00\x01\n", 4, "not a text file"),
    ("moment.param", (FIX / "spaced_two_segments.param").read_text().replace("0.45E+25", "-0.45E+25"), 12,
     "a negative moment"),
])
def test_impossible_values_name_the_file_and_line(tmp_path, name, text, line, reason):
    p = tmp_path / name
    p.write_text(text)
    with pytest.raises(ValueError) as e:
        vs.read(p)
    assert str(e.value).startswith(f"{p}: line {line}: ") and reason in str(e.value), str(e.value)


LONG = 2_000_000


@pytest.mark.parametrize("name, make", [
    ("word.fsp", lambda: "% Event : " + "a" * LONG + "\n" + FSP + " -31.0 -72.0 5.0 1.0\n"),
    ("pairs.fsp", lambda: "% Invs : " + "Dx=" * (LONG // 3) + "\n" + FSP + " -31.0 -72.0 5.0 1.0\n"),
    ("digits.fsp", lambda: FSP + " -31.0 -72.0 5.0 " + "1" * LONG + "x\n"),
    ("header.param", lambda: HEAD.replace("Dx = 10.00km", "Dx = 10.00km " + "cell(1,1) " * (LONG // 10)) + ROW * 2),
    ("boundary.param", lambda: HEAD.replace(" #Lat.", "#Boundary of Fault_segment 1. EQ in cell "
                                            + "( 9, 5). Lon: " * (LONG // 15) + "\n #Lat.") + ROW * 2),
    ("row.param", lambda: HEAD + ROW + ROW.replace("1.0 1.0 1.0", "1" * LONG + " 1.0 1.0")),
    ("header.csv", lambda: "lon,lat," + "x" * LONG + "\n1,2,3\n"),
    ("cell.csv", lambda: CSV + "10,45,2,10,5,0,45,90,1," + "3" * LONG + "\n"),
    ("comment.csv", lambda: "#" + " lon lat" * (LONG // 8) + "\n" + CSV + "10,45,2,10,5,0,45,90,1,3e10\n"),
    ("spaces.txt", lambda: "lon lat depth length width strike dip rake slip" + " " * LONG + "x\n"),
])
def test_a_2mb_line_reads_or_fails_cleanly(tmp_path, name, make):
    # no exception other than ValueError, and no hang (quadratic scans took minutes on such lines)
    p = tmp_path / name
    p.write_text(make())
    try:
        recognise.read_model(p, reference="top center" if name.endswith((".csv", ".txt")) else None)
    except ValueError as e:
        assert str(e).startswith(f"{p}: line "), str(e)[:200]


@pytest.mark.parametrize("token, value", [
    ("1.5", 1.5), ("-2", -2.0), ("0.119633E+27", 0.119633e27), ("1.0D+03", 1000.0), ("+.5d-1", 0.05),
    ("nan", None), ("inf", None), ("1_0", None), ("0x10", None), ("", None), ("1" * 65, None),
])
def test_numbers_as_text_files_write_them(token, value):
    assert text.is_number(token) == (value is not None)
    if value is not None:
        assert text.number(None, 1, token, "x") == value


@pytest.mark.parametrize("line, expected", [
    ("Dx = 17.93km", [("Dx", 17.93, "km")]),
    ("Dx= 25.00 km ny(downdip)=   9", [("Dx", 25.0, "km"), ("ny(downdip)", 9.0, "")]),
    ("STRK = 6.6 DIP = 19.3", [("STRK", 6.6, ""), ("DIP", 19.3, "")]),
    ("Nsbfs = 207 subfaults", [("Nsbfs", 207.0, "")]),
    ("a == b = c = 1", [("c", 1.0, "")]),
])
def test_statements(line, expected):
    assert text.statements(line) == expected


def test_command_line_columns_units_and_tops_above_the_surface(tmp_path):
    p = tmp_path / "odd.csv"
    p.write_text("xs,ys,zz,L,W,phi,delta,lambda,D\n130.0,33.0,2500,10,8,45,60,0,150\n"
                 "130.1,33.0,-3000,10,8,45,60,0,150\n")
    cmd = [sys.executable, "-m", "vadrel.sources", str(p), "--reference", "top center", "--columns",
           "xs=lon,ys=lat,zz=depth,phi=strike,delta=dip,lambda=rake,D=slip", "--units", "depth=m,slip=cm"]
    r = subprocess.run(cmd + ["-o", "f.txt"], cwd=tmp_path, capture_output=True, text=True)
    assert r.returncode == 1 and r.stderr.count("\n") == 1
    assert f"{p}: line 3: subfault 2 (segment 1): its top is 3.000 km above the surface" in r.stderr
    assert not (tmp_path / "f.txt").exists()
    r = subprocess.run(cmd + ["--allow-above-surface", "-o", "f.txt"], cwd=tmp_path, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert "wrote f.txt: 2 segments" in r.stdout and "warning: line 3:" in r.stdout
