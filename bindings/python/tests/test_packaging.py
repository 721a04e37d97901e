"""How the package finds the library, in order ($KIVSDK_LIBRARY, beside the
package, pkg-config, the system's search path), the error that names every
place, and the version check at import."""
import os
import shutil
import sys
import tempfile
import types
import unittest
from unittest import mock

from kivsdk import _native

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


if __name__ == "__main__":
    unittest.main()
