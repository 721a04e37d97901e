"""Build of the Python package kivsdk (pyproject.toml has the metadata).

The version is the library's, from the KIVSDK_VERSION_* lines of
include/kivsdk.h ($KIVSDK_HEADER, else the header of the source tree this
folder is in); the built package carries it in kivsdk/_build_info.py, which
the package compares with the loaded library's kiv_version() at import.
"""
import os
import re

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))


def library_version() -> str:
    header = os.environ.get("KIVSDK_HEADER") or os.path.join(HERE, "..", "..", "include",
                                                              "kivsdk.h")
    try:
        with open(header, encoding="utf-8") as source:
            text = source.read()
    except OSError as error:
        raise SystemExit(f"kivsdk: cannot read the library's header for the version "
                         f"({error}); set KIVSDK_HEADER to include/kivsdk.h") from error
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        match = re.search(rf"^#define KIVSDK_VERSION_{part} (\d+)$", text, re.MULTILINE)
        if not match:
            raise SystemExit(f"kivsdk: {header} has no KIVSDK_VERSION_{part}")
        parts.append(match.group(1))
    return ".".join(parts)


VERSION = library_version()


class BuildWithVersion(build_py):
    """Writes kivsdk/_build_info.py beside the built modules."""

    def run(self) -> None:
        super().run()
        target = os.path.join(self.build_lib, "kivsdk", "_build_info.py")
        with open(target, "w", encoding="utf-8") as out:
            out.write('"""Written by setup.py when the package was built."""\n'
                      f'VERSION = "{VERSION}"\n'
                      "# No library was installed with this package.\n"
                      "LIBRARY = None\n")


setup(version=VERSION, cmdclass={"build_py": BuildWithVersion})
