"""The Python package norvo_retarget, found where the build or the installation put it.

Without it the add-on still registers, and says what is missing.
"""
import importlib
import os
import sys

try:  # written by the build: the package's Python, the folders it is in, and its folder in an install prefix
    from ._build import INSTALLED_PACKAGE, PACKAGE_FOLDERS, PYTHON_VERSION
except ImportError:
    INSTALLED_PACKAGE, PACKAGE_FOLDERS, PYTHON_VERSION = None, [], None

module = None
problem = ""


def load():
    """Imports the package, looking also in the folders the build names."""
    global module, problem
    folders = list(PACKAGE_FOLDERS)
    if INSTALLED_PACKAGE:  # installed in PREFIX/share/norvo/blender/ beside the package
        prefix = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..")
        folders.insert(0, os.path.normpath(os.path.join(prefix, INSTALLED_PACKAGE)))
    for folder in folders:
        if os.path.isdir(folder) and folder not in sys.path:
            sys.path.append(folder)
    try:
        module = importlib.import_module("norvo_retarget")
        problem = ""
    except ImportError as error:
        module, problem = None, str(error)
    return module


def blender_python():
    return "%d.%d" % sys.version_info[:2]


def modules_folder():
    """Where Blender looks for the user's Python modules."""
    import bpy
    return bpy.utils.user_resource("SCRIPTS", path="modules")


def missing_lines():
    """What the panel says when the package cannot be imported."""
    needs = PYTHON_VERSION or "the Python it was built for"
    lines = ["norvo_retarget cannot be imported: %s" % problem,
             "The package needs Python %s; this Blender runs Python %s." % (needs, blender_python())]
    if PYTHON_VERSION and PYTHON_VERSION != blender_python():
        lines.append("Build the package with Blender's Python (-DPython3_EXECUTABLE=...), or run a Blender "
                     "on Python %s." % PYTHON_VERSION)
    lines.append("Install the package (norvo_retarget*.so) into %s" % modules_folder())
    return lines


def missing_text():
    return " ".join(missing_lines())
