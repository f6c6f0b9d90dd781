# Sphinx configuration of the gmms documentation; built by `./dev docs` into build/docs/html.
# Offline by design: no intersphinx, no web fonts, nothing fetched at build or reading time.

import pathlib
import sys
import warnings

DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path[:0] = [str(ROOT), str(DOCS / "_ext")]

import gmms  # noqa: E402
import gmms.siblings  # noqa: E402

# The stand-in sibling modules, so that autodoc can import gmms.Morrand and gmms.Sellwyn.
sys.path.insert(0, str(gmms.siblings.STANDIN_DIR))

project = "gmms"
author = "the gmms developers"
copyright = "the gmms developers"
version = release = gmms.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "numpydoc",
    "sphinxarg.ext",
    "gmms_docs",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_generated", "_ext", "_static", "**/.*"]

# Every reference within the project must resolve. Names of other projects cannot (the build
# fetches no inventories), so they are not checked.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|pandas|pd|distributed|dask|pathlib|os|argparse|typing|shapely|h5py|matplotlib)(\..*)?"),
    (r"py:.*", r"(ndarray|DataFrame|Path|Client|Security|PathLike)"),
]

myst_heading_anchors = 3
myst_enable_extensions = ["deflist"]
# Pages written as plain Markdown may skip a heading level; that is no reason to fail the build.
suppress_warnings = ["myst.header"]

autodoc_member_order = "bysource"
autodoc_typehints = "none"
autodoc_class_signature = "separated"
autodoc_default_options = {"exclude-members": "__init__, __new__"}

# The entry functions' docstrings are the models' own and are shown verbatim (docs/_ext): numpydoc
# need not tell that they are not in its convention.
warnings.filterwarnings("ignore", r"Unknown section Parameter in the docstring of \w+_cy", UserWarning)

numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_class_members_toctree = False

html_theme = "furo"
html_title = f"gmms {release}"
html_static_path = ["_static"]
html_css_files = ["gmms.css"]
html_show_sphinx = False
html_copy_source = False
html_theme_options = {"navigation_with_keys": True}
pygments_style = "friendly"
