"""How the package finds the library, in order ($KIVSDK_LIBRARY, beside the
package, pkg-config, the system's search path), the error that names every
place, the version check at import, and the type hints the package promises
with its py.typed."""
import ast
import glob
import os
import re
import shutil
import sys
import tempfile
import types
import typing
import unittest
from unittest import mock

import kivsdk
from kivsdk import _native, instance

LIBRARY = os.environ["KIVSDK_LIBRARY"]


class LookupTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="kivsdk-lookup-")
        self.addCleanup(shutil.rmtree, self.work)
        # No place but the ones a test sets up: no $KIVSDK_LIBRARY, no
        # _build_info, no pkg-config module, nothing by the system's names.
        self.environment = mock.patch.dict(os.environ, {"PKG_CONFIG_PATH": self.work,
                                                        "PKG_CONFIG_LIBDIR": self.work})
        self.environment.start()
        self.addCleanup(self.environment.stop)
        os.environ.pop("KIVSDK_LIBRARY", None)
        for patcher in (mock.patch.dict(sys.modules, {"kivsdk._build_info": None}),
                        mock.patch.object(_native, "_library_names",
                                          return_value=["libKIVSDK-absent.so.0"]),
                        mock.patch("ctypes.util.find_library", return_value=None)):
            patcher.start()
            self.addCleanup(patcher.stop)

    def build_info(self, library):
        info = types.ModuleType("kivsdk._build_info")
        info.VERSION = _native.package_version()
        info.LIBRARY = library
        return mock.patch.dict(sys.modules, {"kivsdk._build_info": info})

    def pkg_config_module(self):
        """A kivsdk.pc whose libdir holds the library under the first name
        looked for."""
        libdir = os.path.join(self.work, "lib")
        os.makedirs(libdir)
        os.symlink(os.path.abspath(LIBRARY), os.path.join(libdir, "libKIVSDK-absent.so.0"))
        with open(os.path.join(self.work, "kivsdk.pc"), "w", encoding="utf-8") as pc:
            pc.write(f"libdir={libdir}\nName: KIVSDK\nDescription: test\nVersion: 0\n"
                     "Libs: -L${libdir} -lKIVSDK\n")
        return libdir

    def test_nothing_found_names_all_four_places_in_order(self):
        with self.assertRaises(OSError) as raised:
            _native._find()
        message = str(raised.exception)
        positions = [message.find(place) for place in _native.SEARCH_ORDER]
        self.assertNotIn(-1, positions, message)
        self.assertEqual(positions, sorted(positions), message)
        self.assertIn("KIVSDK_LIBRARY", message)

    def test_an_explicit_library_that_fails_is_final(self):
        self.pkg_config_module()
        os.environ["KIVSDK_LIBRARY"] = os.path.join(self.work, "missing.so")
        with self.assertRaises(OSError) as raised:
            _native._find()
        self.assertIn("missing.so", str(raised.exception))
        self.assertIn("not tried", str(raised.exception))

    @unittest.skipUnless(shutil.which("pkg-config") or shutil.which("pkgconf"), "no pkg-config")
    def test_pkg_config_comes_after_the_library_beside_the_package(self):
        libdir = self.pkg_config_module()
        _, path = _native._find()
        self.assertEqual(path, os.path.join(libdir, "libKIVSDK-absent.so.0"))
        package_dir = os.path.dirname(os.path.abspath(_native.__file__))
        beside = os.path.relpath(os.path.abspath(LIBRARY), package_dir)
        with self.build_info(beside):
            _, path = _native._find()
        self.assertEqual(os.path.realpath(path), os.path.realpath(LIBRARY))

    def test_the_library_beside_the_package_after_kivsdk_library(self):
        with self.build_info("no/such/libKIVSDK.so.0"):
            os.environ["KIVSDK_LIBRARY"] = LIBRARY
            _, path = _native._find()
            self.assertEqual(path, LIBRARY)
            del os.environ["KIVSDK_LIBRARY"]
            with self.assertRaises(OSError) as raised:
                _native._find()
        self.assertIn("no/such/libKIVSDK.so.0", str(raised.exception))


class VersionTest(unittest.TestCase):
    def test_the_package_and_the_library_have_one_version(self):
        number = _native.library().kiv_version()
        self.assertEqual(_native.package_version(), _native.version_text(number))
        self.assertEqual(_native.version_text(10203), "1.2.3")

    def test_a_mismatch_names_both_versions_and_the_library(self):
        with mock.patch.object(_native, "package_version", return_value="9.8.7"):
            with self.assertRaises(ImportError) as raised:
                _native.check_version()
        message = str(raised.exception)
        self.assertIn("9.8.7", message)
        self.assertIn(_native.version_text(_native.library().kiv_version()), message)
        self.assertIn(str(_native.library_path()), message)


PACKAGE = os.path.dirname(os.path.abspath(kivsdk.__file__))
CONSTANT = re.compile(r"[A-Z][A-Z0-9_]*$")


def _public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def missing_hints(source, filename="<source>"):
    """What a module's source leaves without a type hint, one line each: a
    parameter or the return of a public function or method (of any class,
    also in if/try blocks at module level), or a module-level constant
    (an UPPER_CASE name that is not deleted again). Read from the source,
    so that a module whose imports are missing here (kivsdk.locust without
    Locust) is checked too."""
    tree = ast.parse(source, filename)
    missing = []
    deleted = {target.id for node in ast.walk(tree) if isinstance(node, ast.Delete)
               for target in node.targets if isinstance(target, ast.Name)}

    def function(node, owner):
        if not _public(node.name):
            return
        where = f"{filename}:{node.lineno} {owner}{node.name}"
        arguments = node.args.posonlyargs + node.args.args
        decorators = {getattr(d, "id", getattr(d, "attr", None)) for d in node.decorator_list}
        if owner and "staticmethod" not in decorators:
            arguments = arguments[1:]   # self or cls
        arguments = arguments + node.args.kwonlyargs + [
            argument for argument in (node.args.vararg, node.args.kwarg) if argument]
        for argument in arguments:
            if argument.annotation is None:
                missing.append(f"{where}: parameter {argument.arg}")
        if node.returns is None:
            missing.append(f"{where}: return value")

    def body(nodes, owner):
        for node in nodes:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                function(node, owner)
            elif isinstance(node, ast.ClassDef):
                body(node.body, f"{owner}{node.name}.")
            elif isinstance(node, (ast.If, ast.Try)):
                body(node.body + node.orelse + getattr(node, "finalbody", []), owner)
            elif isinstance(node, ast.Assign) and not owner:
                for target in node.targets:
                    if (isinstance(target, ast.Name) and CONSTANT.match(target.id)
                            and target.id not in deleted):
                        missing.append(f"{filename}:{node.lineno} constant {target.id}")
    body(tree.body, "")
    return missing


class TypeHintsTest(unittest.TestCase):
    maxDiff = None

    def test_the_checker_finds_what_lacks_a_hint(self):
        source = ("LIMIT = 3\nTYPED: int = 4\nI = 1\ndel I\n"
                  "def f(a: int, b, *rest, key: str = '', **more) -> None: ...\n"
                  "def g(a: int): ...\ndef _private(a): ...\n"
                  "class C:\n    def m(self, x: int) -> int: ...\n"
                  "    def n(self, y) -> None: ...\n"
                  "    @staticmethod\n    def s(z) -> None: ...\n"
                  "    async def __aexit__(self, *exc) -> None: ...\n"
                  "if True:\n    def h() -> None: ...\n    def k(): ...\n")
        found = [line.split(" ", 1)[1] for line in missing_hints(source)]
        self.assertEqual(found, ["constant LIMIT", "f: parameter b", "f: parameter rest",
                                 "f: parameter more", "g: return value", "C.n: parameter y",
                                 "C.s: parameter z", "C.__aexit__: parameter exc",
                                 "k: return value"])

    def test_every_public_callable_and_constant_has_hints(self):
        modules = sorted(glob.glob(os.path.join(PACKAGE, "*.py")))
        self.assertIn(os.path.join(PACKAGE, "locust.py"), modules)
        self.assertTrue(os.path.exists(os.path.join(PACKAGE, "py.typed")))
        for path in modules:
            with self.subTest(module=os.path.basename(path)):
                with open(path, encoding="utf-8") as source:
                    self.assertEqual(missing_hints(source.read(), os.path.basename(path)), [])

    def test_each_attribute_property_is_declared_with_its_kind(self):
        # The properties are made at import from the attribute enumerations;
        # the class declares them for type checkers, and the two must agree.
        hints = typing.get_type_hints(kivsdk.Instance)
        expected = {}
        for kind, value in ((kivsdk.IntAttribute, int), (kivsdk.FloatAttribute, float),
                            (kivsdk.StringAttribute, str), (kivsdk.DataAttribute, bytes)):
            for attribute in kind:
                typed = instance._TYPED.get(attribute)
                expected[attribute.name.lower()] = typing.Union[typed, int] if typed else value
        self.assertEqual(hints, expected)

    def test_the_counter_tuples_have_the_fields_of_the_c_structures(self):
        self.assertEqual(kivsdk.SideStats._fields,
                         tuple(name for name, _ in _native.SideStats._fields_))
        self.assertEqual(kivsdk.Stats._fields, ("universe", "world"))
        self.assertEqual(kivsdk.ReplayStatus._fields,
                         tuple(name for name, _ in _native.ReplayStatus._fields_
                               if name != "size"))


if __name__ == "__main__":
    unittest.main()
