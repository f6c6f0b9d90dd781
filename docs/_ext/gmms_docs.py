"""What the gmms documentation adds to Sphinx.

- The entry functions' docstrings are shown exactly as Python has them, in a literal block:
  they are not written in the convention of the rest of the API, and are not to be reformatted.
- The figures of the guide (the trellis, the plots of the hazard and hazard-map examples) are drawn from
  the library during the build, into ``docs/_generated/``, when missing or older than what
  draws them.
- ``command_line()`` gives sphinx-argparse the whole parser of ``python3 -m gmms``.
"""

import os
import pathlib

DOCS = pathlib.Path(__file__).resolve().parent.parent
ROOT = DOCS.parent
GENERATED = DOCS / "_generated"
HAZARD_EXAMPLE = ROOT / "examples" / "hazard"
MAP_EXAMPLE = ROOT / "examples" / "hazard-map"


def command_line():
    """The parser of ``python3 -m gmms`` with every subcommand registered."""
    from gmms.__main__ import build_parser

    return build_parser([])


def entry_functions():
    from gmms.models import MODELS

    return {f"gmms.{name}.{model.entry}" for name, model in MODELS.items()}


def show_verbatim(app, what, name, obj, options, lines):
    """An entry function's docstring as a literal block of ``obj.__doc__``, whatever the
    docstring processors before this one made of it."""
    if name not in entry_functions():
        return
    import textwrap

    text = textwrap.dedent(obj.__doc__ or "").strip("\n")
    lines[:] = ["The docstring, as ``help()`` shows it:", "", ".. code-block:: text", ""]
    lines.extend("    " + line.replace("\t", "    ") if line.strip() else "" for line in text.splitlines())
    lines.append("")


# ---------------------------------------------------------------------------------------------
# Figures

def _newest(paths):
    return max((p.stat().st_mtime for p in paths if p.exists()), default=0.0)


def _stale(outputs, inputs):
    return not all(p.exists() for p in outputs) or min(p.stat().st_mtime for p in outputs) < _newest(inputs)


def _sources(*patterns):
    found = []
    for pattern in patterns:
        found.extend(ROOT.glob(pattern))
    return found


def draw_figures(app):
    """The trellis and the hazard example's plots, as the command line draws them."""
    modules = _sources("gmms/*.so", "gmms/*.pyd", "gmms/models.py", "siblings/*.py")
    trellis_png = GENERATED / "trellis.png"
    if _stale([trellis_png], modules + _sources("gmms/trellis.py")):
        from gmms import models, trellis

        GENERATED.mkdir(exist_ok=True)
        loaded = {name: models.load(name) for name in models.MODELS}
        figure = trellis.plot(loaded, [5.0, 6.0, 7.0, 8.0], [760.0, 360.0, 180.0])
        figure.savefig(trellis_png, format="png")

    plots = GENERATED / "hazard"
    expected = [plots / "hazard-curves.png", plots / "disagg-site1-rp475.png"]
    inputs = modules + _sources("gmms/hazard/*.py", "gmms/catalogue/*.py", "examples/hazard/*")
    if _stale(expected, inputs):
        from gmms import hazard

        # The example of the hazard page, run in this process.
        hazard.run("Tarvik", os.fspath(HAZARD_EXAMPLE / "tarvik-scenarios.csv"),
                   os.fspath(HAZARD_EXAMPLE / "tarvik-pairs.csv"), levels_from=0.1,
                   levels_to=100, levels_n=30, serial=True, plot=os.fspath(plots))

    plots = GENERATED / "hazard-map"
    expected = [plots / "hazard-map-mean.png", plots / "hazard-curves.png",
                plots / "disagg-site418-poe0.1.png"]
    inputs = modules + _sources("gmms/hazard/*.py", "gmms/sources/*.py", "gmms/pairs/*.py",
                                "gmms/_geometry*", "examples/hazard-map/*")
    if _stale(expected, inputs):
        from gmms.hazard import maps
        from gmms.run.options import RunOptions

        # The example of the hazard-map page, in this process, its outputs left out.
        maps.run_job(MAP_EXAMPLE / "job.ini", RunOptions(serial=True, progress=False),
                     plot=os.fspath(plots))


def setup(app):
    # After numpydoc's processing of the docstring (priority 500), so that this has the last word.
    app.connect("autodoc-process-docstring", show_verbatim, priority=900)
    app.connect("builder-inited", draw_figures)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
