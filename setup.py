"""Builds the compiled module through the project's CMake build for
``pip install .`` (pyproject.toml holds the metadata).

Offline, on Debian's setuptools, pybind11 and numpy:
    python3 -m venv --system-site-packages env
    env/bin/pip install --no-build-isolation --no-index .
"""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    """Configures the project with only the module, builds it, and puts the
    shared object where setuptools expects the extension."""

    def build_extension(self, ext):
        out = os.path.abspath(self.get_ext_fullpath(ext.name))
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        os.makedirs(build, exist_ok=True)
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("vadrel: building the module needs CMake (apt-get install cmake)")
        subprocess.run([cmake, "-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DVADREL_TESTS=OFF",
                        "-DVADREL_MANPAGE=OFF", "-DVADREL_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}"],
                       check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(min(os.cpu_count() or 1, 2)))
        subprocess.run([cmake, "--build", build, "--target", "vadrel_python", "-j", jobs], check=True)
        built = os.path.join(build, "python", "vadrel")
        so = [f for f in os.listdir(built) if f.startswith("_vadrel") and f.endswith(".so")]
        if len(so) != 1:
            sys.exit(f"vadrel: the CMake build left {so or 'no'} module in {built}")
        os.makedirs(os.path.dirname(out), exist_ok=True)
        shutil.copyfile(os.path.join(built, so[0]), out)


setup(ext_modules=[CMakeExtension("vadrel._vadrel")], cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": "build-pip"}})
