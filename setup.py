"""Builds the model modules (and the plain modules beside them) as extensions of the package gmms (the rest is in pyproject.toml).

The sources come from sources.txt, which the CMake build reads too. The compile flags that
decide the results are the CMake build's: C++20 and no contraction of a*b+c into a fused
multiply-add (never -ffast-math), so both builds give the same bits. -fno-math-errno only lets a
square root be an instruction (nothing reads errno), which keeps loops vectorisable.
"""

import pathlib

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent

# MSVC: /fp:precise keeps IEEE semantics (no reassociation, no fast-math) and, at the x64 default
# code generation (SSE2, no FMA instruction to contract into), contracts nothing; from VS2022 it
# contracts nothing with /arch:AVX2 either, while VS2019's /fp:precise then may. /utf-8: the
# sources and their docstrings are read and kept as UTF-8, as GCC does. /std:c++20 needs VS2019
# 16.11 or later.
FLAGS = {
    "unix": ["-std=c++20", "-ffp-contract=off", "-fno-math-errno", "-fvisibility=hidden", "-O3"],
    "msvc": ["/std:c++20", "/fp:precise", "/utf-8", "/O2"],
}


def read_sources(path=ROOT / "sources.txt"):
    """Returns {"frame": [...], "model": [...], "module": [...]}: paths relative to the source tree."""
    sources = {"frame": [], "model": [], "module": []}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        kind, _, source = line.partition(" ")
        if kind not in sources or not source.strip():
            raise SystemExit(f"{path}:{number}: expected 'frame PATH', 'model PATH' or 'module PATH', got {line!r}")
        sources[kind].append(source.strip())
    return sources


class BuildExt(build_ext):
    def build_extensions(self):
        flags = FLAGS.get(self.compiler.compiler_type, FLAGS["unix"])
        for extension in self.extensions:
            extension.extra_compile_args = flags
        super().build_extensions()


def extensions():
    sources = read_sources()
    headers = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "gmms").rglob("*.hpp"))
    # A model module is its source and the frame's; a plain module is its source alone.
    builds = [(source, [source, *sources["frame"]]) for source in sources["model"]]
    builds += [(source, [source]) for source in sources["module"]]
    return [
        Extension(
            f"gmms.{pathlib.PurePosixPath(source).stem}",
            sources=files,
            include_dirs=["gmms"],
            depends=headers,
            language="c++",
        )
        for source, files in builds
    ]


setup(
    # gmms_standins is the directory of the stand-in sibling modules (siblings/ in the source
    # tree). It goes beside the package, not inside it: the siblings are imported as top-level
    # modules, and gmms.siblings.use_siblings() puts this directory on sys.path.
    packages=[*find_packages(include=["gmms", "gmms.*"]), "gmms_standins"],
    package_dir={"gmms_standins": "siblings"},
    ext_modules=extensions(),
    cmdclass={"build_ext": BuildExt},
    # Out of the way of the CMake build, which also lives in build/.
    options={"build": {"build_base": "build/pip"}},
)
