"""Where ``Morrand`` and ``Sellwyn`` find their sibling modules ``Dovecar`` and ``Brisquell``.

Both are imported as top-level modules when ``Morrand`` or ``Sellwyn`` is loaded, so their
directory must be on ``sys.path`` first. By default that is the directory of the stand-ins
shipped with this library (simple made-up models with the real signatures); name the directory
of the real modules to use those instead.
"""

import os
import pathlib
import sys


def _standin_dir():
    # Installed (pip): the directory gmms_standins beside the package. Source tree: siblings/.
    root = pathlib.Path(__file__).resolve().parent.parent
    installed = root / "gmms_standins"
    return installed if installed.is_dir() else root / "siblings"


#: The directory of the stand-in sibling modules shipped with gmms: ``siblings/`` in the source
#: tree, ``gmms_standins/`` beside the installed package.
STANDIN_DIR = _standin_dir()


def use_siblings(directory=None):
    """Put ``directory`` (default: the stand-ins) first on ``sys.path``; return it as a Path.

    Call this before the first import of ``gmms.Morrand`` or ``gmms.Sellwyn``: a module already
    loaded keeps the sibling it imported. Calling it again with another directory puts that one
    first instead, for the models imported from then on.

    Parameters
    ----------
    directory : str or path-like, optional
        The directory that holds the sibling modules (``Dovecar.py``, ``Brisquell.py`` or their
        built counterparts). Default: ``STANDIN_DIR``, the stand-ins, whose numbers are made
        up.

    Returns
    -------
    pathlib.Path
        The directory put on ``sys.path``, absolute.

    Raises
    ------
    FileNotFoundError
        ``directory`` is not a directory.

    See Also
    --------
    gmms.models.load : import a model with its sibling module from a given directory.

    Examples
    --------
    >>> import gmms.siblings
    >>> gmms.siblings.use_siblings() == gmms.siblings.STANDIN_DIR
    True
    >>> from gmms import Morrand
    >>> Morrand.Dovecar.__file__.startswith(str(gmms.siblings.STANDIN_DIR))
    True
    >>> gmms.siblings.use_siblings("/no/such/directory")
    Traceback (most recent call last):
      ...
    FileNotFoundError: sibling module directory not found: /no/such/directory
    """
    path = pathlib.Path(directory).resolve() if directory is not None else STANDIN_DIR
    if not path.is_dir():
        raise FileNotFoundError(f"sibling module directory not found: {path}")
    text = os.fspath(path)
    if text in sys.path:
        sys.path.remove(text)
    sys.path.insert(0, text)
    return path
