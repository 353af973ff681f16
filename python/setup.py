"""Builds the project's shared libraries from source into the package.

`pip install ./python` (from a checkout of the repository) compiles each
library of NATIVE with the flags of ../cmake/library_flags.txt, the file the
CMake build reads too, so the package carries the same code, exports and
frame as `cmake --build`.  The wheel is tagged for the platform: it holds
x86-64 ELF files but no Python extension, so any Python 3 on the platform can
use it.
"""

import os
import pathlib
import re
import shlex
import subprocess
import sys

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
PACKAGE = "sampling_kernels"

# One entry per shared library built into the package, in build order.
#   name     file name of the library
#   sources  C++ sources, relative to the repository
#   exports  the linker's version script, naming the exported symbols
#   needs    libraries of this list it links by name, found next to it
#            through the run path $ORIGIN
# optional:
#   frame    False for a library outside the library frame (it may use the
#            C++ runtime): then -O3 -fPIC -ffp-contract=off -std=c++20 and
#            its own flags, instead of cmake/library_flags.txt
#   compile, link, libs   extra compile flags, link flags and -l libraries
#   include  extra include directories, relative to the repository
#   sources_file  a file listing more sources, one per line relative to the
#            file's directory (`#` comments), read instead of repeating it
#   program  True for an executable rather than a library
NATIVE = [
    {"name": "libsampling_kernels.so",
     "sources": ["src/Multi_Sample.cpp"],
     "exports": "src/exports.map",
     "needs": []},
    {"name": "libsampling_kernels_sparse.so",
     "sources": ["src/sparse/Multi_Sample_CSR.cpp"],
     "exports": "src/sparse/exports.map",
     "needs": ["libsampling_kernels.so"]},
    # The Poisson NMF sampler that PoissonNMF calls: a front end, outside the frame.
    {"name": "libsampling_kernels_nmf.so",
     "sources_file": "sampler/library_sources.txt",
     "frame": False,
     "include": ["sampler/src", "sampler/include"],
     "compile": ["-fno-fast-math", "-fvisibility=hidden", "-fvisibility-inlines-hidden",
                 "-pthread", "-Wall", "-Wextra", "-Wshadow"],
     "link": ["-pthread", "-Wl,--no-undefined", "-Wl,--exclude-libs,ALL"],
     "needs": ["libsampling_kernels_sparse.so", "libsampling_kernels.so"]},
    # The program of the fit's worker processes, which the fit looks for beside its library.
    {"name": "sk_nmf_worker",
     "program": True,
     "sources": ["sampler/worker/sk_nmf_worker.cpp"],
     "sources_file": "sampler/library_sources.txt",
     "frame": False,
     "include": ["sampler/src", "sampler/include"],
     "compile": ["-fno-fast-math", "-fvisibility=hidden", "-fvisibility-inlines-hidden",
                 "-pthread", "-Wall", "-Wextra", "-Wshadow"],
     "link": ["-pthread"],
     "needs": ["libsampling_kernels_sparse.so", "libsampling_kernels.so"]},
]


def read_flags(path):
    """Sections of the flags file: {section: [flag, ...]}."""
    sections, current = {}, None
    for raw in path.read_text().splitlines():
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        match = re.fullmatch(r"\[(.*)\]", line)
        if match:
            current = sections.setdefault(match.group(1), [])
        elif current is None:
            raise RuntimeError(f"{path}: flag {line!r} before any section")
        else:
            current.append(line)
    return sections


def compiler_family(cxx):
    """'clang' or 'gcc', from the compiler's own predefined macros."""
    try:
        macros = subprocess.run(cxx + ["-dM", "-E", "-x", "c++", os.devnull],
                                check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        sys.exit(f"cannot run the C++ compiler {' '.join(cxx)!r} ({e}): install one "
                 f"(Debian: g++) or set CXX")
    return "clang" if "__clang__" in macros else "gcc"


def run(command):
    print(" ".join(shlex.quote(c) for c in command), flush=True)
    try:
        subprocess.run(command, check=True)
    except FileNotFoundError:
        sys.exit(f"cannot run {command[0]!r}: install a C++ compiler (Debian: g++) or set CXX")


def cmake_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*sampling_kernels\s+VERSION\s+([0-9.]+)", text)
    return match.group(1) if match else None


def check_checkout():
    missing = [p for p in ("cmake/library_flags.txt", "include", "src") if not (ROOT / p).exists()]
    if missing:
        sys.exit(f"setup.py builds the libraries from the repository's sources, but "
                 f"{', '.join(missing)} is missing next to {HERE}; install from a checkout "
                 f"with `pip install --no-build-isolation ./python`")


class build_native(build_py):
    """build_py, then the shared libraries into the built package."""

    def run(self):
        super().run()
        check_checkout()
        flags = read_flags(ROOT / "cmake" / "library_flags.txt")
        cxx = shlex.split(os.environ.get("CXX", "c++"))
        family = compiler_family(cxx)
        # What CMake's Release configuration adds for a C++20 shared library,
        # then the project's own flags.
        compile_flags = (["-O3", "-DNDEBUG", "-fPIC"] + flags.get("compile", [])
                         + flags.get(f"compile:{family}", []) + ["-std=c++20"])
        link_flags = ["-fPIC", "-O3", "-DNDEBUG"] + flags.get("link", [])
        out_dir = pathlib.Path(self.build_lib) / PACKAGE
        tmp_dir = pathlib.Path(self.build_lib).parent / "native"
        out_dir.mkdir(parents=True, exist_ok=True)
        tmp_dir.mkdir(parents=True, exist_ok=True)
        for lib in NATIVE:
            in_frame = lib.get("frame", True)
            lib_compile = (compile_flags if in_frame else
                           ["-O3", "-DNDEBUG", "-fPIC", "-ffp-contract=off", "-std=c++20"])
            lib_link = link_flags if in_frame else ["-fPIC", "-O3", "-DNDEBUG"]
            includes = ["-I", str(ROOT / "include")]
            for directory in lib.get("include", []):
                includes += ["-I", str(ROOT / directory)]
            sources = list(lib.get("sources", []))
            if "sources_file" in lib:
                listing = ROOT / lib["sources_file"]
                sources += [str((listing.parent / line.strip()).relative_to(ROOT))
                            for line in listing.read_text().splitlines()
                            if line.strip() and not line.lstrip().startswith("#")]
            objects = []
            for source in sources:
                obj = tmp_dir / (source.replace("/", "_") + ".o")
                run(cxx + lib_compile + lib.get("compile", []) + includes
                    + ["-o", str(obj), "-c", str(ROOT / source)])
                objects.append(str(obj))
            needs = []
            for needed in lib["needs"]:
                stem = re.fullmatch(r"lib(.*)\.so", needed).group(1)
                needs += [f"-L{out_dir}", f"-l{stem}"]
            rpath = ["-Wl,-rpath,$ORIGIN"] if lib["needs"] else []
            exports = [f"-Wl,--version-script={ROOT / lib['exports']}"] if lib.get("exports") else []
            libs = [f"-l{name}" for name in lib.get("libs", [])]
            kind = [] if lib.get("program") else ["-shared"]
            run(cxx + lib_link + lib.get("link", []) + exports + kind + ["-o", str(out_dir / lib["name"])]
                + objects + needs + rpath + libs + (["-lc"] if in_frame else []))


cmdclass = {"build_py": build_native}
try:
    from wheel.bdist_wheel import bdist_wheel

    class bdist_platform_wheel(bdist_wheel):
        """Tagged py3-none-<platform>: native files, no Python ABI."""

        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    cmdclass["bdist_wheel"] = bdist_platform_wheel
except ImportError:  # no wheel package: pip cannot build a wheel anyway
    pass

setup(cmdclass=cmdclass)

