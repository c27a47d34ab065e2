"""Builds the extension vemk._vemk from the library's own C++ sources.

Everything the build writes goes under the repository's build/python/, so a
checkout stays clean. The version is the one the C header declares.
"""
import base64
import csv
import hashlib
import io
import os
import re
import sys
import sysconfig
import zipfile
from glob import glob

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# One build folder for each interpreter, since two of one version may differ in their flags.
BUILD = os.path.join(
    ROOT, "build", "python", "%s-%s" % (sys.implementation.cache_tag, hashlib.sha256(sys.base_prefix.encode()).hexdigest()[:8])
)

# The library: every .cpp in its folders of the repository (the program's
# own, cli/, is not one of them), plus this system's file of the platform
# layer.
LIBRARY_FOLDERS = ["common", "model", "rc", "lib"]
PLATFORM_FILE = "platform/windows.cpp" if sys.platform == "win32" else "platform/posix.cpp"


def library_sources():
    found = [os.path.relpath(p, ROOT) for folder in LIBRARY_FOLDERS for p in glob(os.path.join(ROOT, folder, "*.cpp"))]
    return sorted(p.replace(os.sep, "/") for p in found) + [PLATFORM_FILE]


def header_version():
    with open(os.path.join(ROOT, "include", "vemk.h"), encoding="utf-8") as f:
        return re.search(r'#define VEMK_VERSION_STRING "([^"]+)"', f.read()).group(1)


class BuildExt(build_ext):
    """build_ext without the C-only warning flags that Python's own build passes to every compiler."""

    def build_extensions(self):
        for flag in ("-Wstrict-prototypes", "-Wmissing-prototypes"):
            while flag in self.compiler.compiler_so:
                self.compiler.compiler_so.remove(flag)
        super().build_extensions()


def wheel_tag():
    version = "%d%d" % sys.version_info[:2]
    abi = "cp" + version if sys.implementation.name == "cpython" else "none"
    implementation = {"cpython": "cp", "pypy": "pp"}.get(sys.implementation.name, "py")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s%s-%s-%s" % (implementation, version, abi, platform)


class BdistWheel(Command):
    """A wheel of the built package, for setuptools releases that leave bdist_wheel to the separate
    `wheel` project, which a machine without a package index may not have."""

    description = "build a wheel"
    user_options = [("dist-dir=", "d", "where to put the wheel")]

    def initialize_options(self):
        self.dist_dir = None

    def finalize_options(self):
        self.dist_dir = self.dist_dir or "dist"

    def egg2dist(self, egg_info_dir, dist_info_dir):
        # PKG-INFO already holds the core metadata in the format METADATA needs.
        os.makedirs(dist_info_dir, exist_ok=True)
        with open(os.path.join(egg_info_dir, "PKG-INFO"), "rb") as src:
            metadata = src.read()
        with open(os.path.join(dist_info_dir, "METADATA"), "wb") as dst:
            dst.write(metadata)

    def run(self):
        self.run_command("build")
        build_lib = self.get_finalized_command("build").build_lib
        egg_info = self.get_finalized_command("egg_info")
        self.run_command("egg_info")
        name, version = self.distribution.get_name(), self.distribution.get_version()
        dist_info = "%s-%s.dist-info" % (name, version)
        files = []
        for folder, _, names in os.walk(build_lib):
            files += [os.path.join(folder, n) for n in names]
        with open(os.path.join(egg_info.egg_info, "PKG-INFO"), "rb") as f:
            metadata = f.read()
        wheel = "Wheel-Version: 1.0\nGenerator: vemk setup.py\nRoot-Is-Purelib: false\nTag: %s\n" % wheel_tag()
        os.makedirs(self.dist_dir, exist_ok=True)
        path = os.path.join(self.dist_dir, "%s-%s-%s.whl" % (name, version, wheel_tag()))
        record = io.StringIO()
        writer = csv.writer(record, lineterminator="\n")
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as whl:
            entries = [(os.path.relpath(p, build_lib).replace(os.sep, "/"), open(p, "rb").read()) for p in sorted(files)]
            entries += [(dist_info + "/METADATA", metadata), (dist_info + "/WHEEL", wheel.encode())]
            for arcname, data in entries:
                whl.writestr(arcname, data)
                digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
                writer.writerow([arcname, "sha256=" + digest, len(data)])
            writer.writerow([dist_info + "/RECORD", "", ""])
            whl.writestr(dist_info + "/RECORD", record.getvalue())


def has_own_bdist_wheel():
    try:
        import setuptools.command.bdist_wheel  # noqa: F401  (setuptools 70.1 and later)
        return True
    except ImportError:
        return False


os.chdir(HERE)
os.makedirs(BUILD, exist_ok=True)
# Absolute names: the objects then land under build_temp, apart for each Python.
sources = [os.path.join(ROOT, p) for p in library_sources()]
defines = [("VEMK_STATIC", None)] + ([] if sys.platform == "win32" else [("_FILE_OFFSET_BITS", "64")])
extension = Extension(
    "vemk._vemk",
    sources=["src/_vemk.cpp"] + sources,
    include_dirs=[os.path.join(ROOT, "include"), ROOT],
    define_macros=defines,
    language="c++",
    # The release build's code generation (Python's own flags ask for -fwrapv and debug
    # information, which the library is not built with); only the module's entry is exported.
    extra_compile_args=["-std=c++20", "-O3", "-DNDEBUG", "-fno-wrapv", "-g0", "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-pthread"],
    extra_link_args=["-pthread"],
)
commands = {"build_ext": BuildExt}
if not has_own_bdist_wheel():
    commands["bdist_wheel"] = BdistWheel
setup(
    version=header_version(),
    ext_modules=[extension],
    cmdclass=commands,
    options={
        "build": {"build_base": os.path.relpath(BUILD, HERE)},
        "egg_info": {"egg_base": os.path.relpath(BUILD, HERE)},
    },
)
