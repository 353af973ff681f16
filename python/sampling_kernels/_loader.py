"""Finding and loading the project's shared libraries, for every module of the package."""

from __future__ import annotations

import ctypes
import os
import pathlib
from typing import Iterable, Tuple

_HERE = pathlib.Path(__file__).resolve().parent


def load_library(file_name: str, variable: str, purpose: str,
                 first: Iterable[pathlib.Path] = ()) -> Tuple[ctypes.CDLL, str]:
    """Load ``file_name`` and return it with the path it was found at.

    The environment variable ``variable`` names the file outright; an
    explicit choice is final, so a wrong path is an error, not a hint.
    Otherwise the directories ``first``, this package's directory (where
    ``pip install`` puts the libraries), the source tree's ``build/`` and
    then the system's library path are tried in turn.
    """
    explicit = os.environ.get(variable)
    if explicit:
        if not os.path.isfile(explicit):
            raise OSError(f"{variable} names {explicit!r}, which is not a file")
        return ctypes.CDLL(explicit), explicit
    directories = [*first, _HERE, _HERE.parent.parent / "build"]
    names = list(dict.fromkeys(str(d / file_name) for d in directories)) + [file_name]
    errors = []
    for name in names:
        if os.sep in name and not os.path.isfile(name):
            errors.append(f"{name}: no such file")
            continue
        try:
            return ctypes.CDLL(name), name
        except OSError as e:
            errors.append(str(e))
    raise OSError(f"cannot find {file_name}{purpose}; set {variable} to its path "
                  "(tried: " + "; ".join(errors) + ")")
