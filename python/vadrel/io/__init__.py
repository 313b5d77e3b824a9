"""File formats: readers and writers, one module per format.

* :mod:`~vadrel.io.files`: safe writes (every writer of the package).
* :mod:`~vadrel.io.text`: lines, numbers and errors of the text readers.
* :mod:`~vadrel.io.subfaults`: the subfault table the finite-fault readers fill.
* :mod:`~vadrel.io.columns`: the names, aliases and units of subfault
  table columns.
* :mod:`~vadrel.io.param`, :mod:`~vadrel.io.fsp`, :mod:`~vadrel.io.csv`: the
  finite-fault layouts; :mod:`~vadrel.io.recognise`: which one a file holds;
  :mod:`~vadrel.io.unit_sources`: unit-source tables.
* :mod:`~vadrel.io.grids`: longitude/latitude grids (dtopo layouts, bathymetry).
* :mod:`~vadrel.io.faults`: the program's faults file.
* :mod:`~vadrel.io.print_file`: the program's print files.
* :mod:`~vadrel.io.ini`: initial-condition files.
* :mod:`~vadrel.io.datasets`: radar and GNSS observations.
"""

__all__ = ["files", "text", "subfaults", "columns", "param", "fsp", "csv", "recognise", "unit_sources", "grids",
           "faults", "print_file", "ini", "datasets"]
