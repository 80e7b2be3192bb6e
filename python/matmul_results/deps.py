"""What the results tool needs beyond Python's standard library, each with
the Debian package that brings it."""

import importlib
import shutil

from .errors import Failure

MODULES = {"scipy.stats": "python3-scipy"}
PROGRAMS = {"gnuplot": "gnuplot-nox"}


def module(name, purpose):
    """The imported module, or a Failure that names its package."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise Failure(f"{purpose} needs {name.split('.')[0]} "
                      f"(Debian: apt-get install {MODULES[name]})", 2) from None


def program(name, purpose):
    """The program's path, or a Failure that names its package."""
    path = shutil.which(name)
    if path is None:
        raise Failure(f"{purpose} needs {name} (Debian: apt-get install {PROGRAMS[name]})", 2)
    return path


def have_module(name):
    try:
        importlib.import_module(name)
        return True
    except ImportError:
        return False
