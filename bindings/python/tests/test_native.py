"""The binding's view of the C interface against kivsdk.h itself: every
function's argtypes and restype, the structure layouts (the constants are
test_constants)."""
import ctypes
import unittest

import kivsdk
from kivsdk import _native

from . import support

C_TYPES = {
    "int": ctypes.c_int,
    "long long": ctypes.c_longlong,
    "float": ctypes.c_float,
    "double": ctypes.c_double,
    "void": None,
    "void*": ctypes.c_void_p,
    "const void*": ctypes.c_void_p,
    "const char*": ctypes.c_char_p,
    "const char**": ctypes.POINTER(ctypes.c_char_p),
    "int*": ctypes.POINTER(ctypes.c_int),
    "const int*": ctypes.POINTER(ctypes.c_int),
    "float*": ctypes.POINTER(ctypes.c_float),
    "double*": ctypes.POINTER(ctypes.c_double),
    "KIVInstance*": _native.InstancePtr,
    "KIVLoop*": _native.LoopPtr,
    "KIVNetConfig*": ctypes.POINTER(_native.NetConfig),
    "const KIVNetConfig*": ctypes.POINTER(_native.NetConfig),
    "const KIVTerrainCell*": ctypes.POINTER(_native.TerrainCell),
    "const KIVReconnectPolicy*": ctypes.POINTER(_native.ReconnectPolicy),
    "KIVStats*": ctypes.POINTER(_native.Stats),
    "KIVReplayStatus*": ctypes.POINTER(_native.ReplayStatus),
    "KIVEventHandler": _native.EventHandler,
    "KIVCallbackHandler": _native.CallbackHandler,
    "KIVLogHandler": _native.LogHandler,
}


def ctype_of(text):
    if text not in C_TYPES:
        raise AssertionError(f"the test does not know the C type {text!r}")
    return C_TYPES[text]


class SignatureTest(unittest.TestCase):
    def test_every_header_function_is_declared_with_its_exact_types(self):
        functions = support.header_functions()
        self.assertEqual(len(functions), 83)
        self.assertEqual(set(functions), set(_native.SIGNATURES))
        library = kivsdk.library()
        for name, (result, parameters) in functions.items():
            with self.subTest(function=name):
                restype, argtypes = _native.SIGNATURES[name]
                self.assertIs(restype, ctype_of(result))
                self.assertEqual(list(argtypes), [ctype_of(p) for p in parameters])
                function = getattr(library, name)
                self.assertIs(function.restype, restype)
                self.assertEqual(list(function.argtypes), list(argtypes))

    def test_float_arguments_and_results_travel_as_single_precision(self):
        # Without argtypes, 1.5 would be passed as a double where the C side
        # reads a float, and the float result read as an int.
        library = kivsdk.library()
        with kivsdk.Instance() as bot:
            self.assertEqual(library.kiv_float_set(bot.handle, kivsdk.FloatAttribute.MY_X, 1.5), 0)
            self.assertEqual(bot.my_x, 1.5)
            bot.my_y = 0.1
            self.assertEqual(library.kiv_float(bot.handle, kivsdk.FloatAttribute.MY_Y),
                             ctypes.c_float(0.1).value)
            value = ctypes.c_float()
            self.assertEqual(library.kiv_float_get(bot.handle, kivsdk.FloatAttribute.MY_Y,
                                                   ctypes.byref(value)), 0)
            self.assertEqual(value.value, ctypes.c_float(0.1).value)

    def test_structures_match_the_header_layout(self):
        pointer = ctypes.sizeof(ctypes.c_void_p)
        self.assertEqual(ctypes.sizeof(_native.NetConfig), 8 * pointer)
        self.assertEqual([f[0] for f in _native.NetConfig._fields_],
                         ["create", "destroy", "connect", "send", "recv", "timeout", "wait",
                          "context"])
        self.assertEqual(ctypes.sizeof(_native.TerrainCell), 8)


if __name__ == "__main__":
    unittest.main()
