"""kivsdk/constants.py against kivsdk.h: the numbers are written in the header
and copied into the binding, and this suite keeps the copy exact. Every
enumeration and every numeric KIV_ macro of the header must be in the binding
with the same value, and the binding must hold nothing else. Needs no built
library."""
import enum
import re
import unittest

from kivsdk import constants

from . import support

# Each C enumeration, the IntEnum mirroring it, and the prefix its constants
# carry in C (KIV_RC_TIMEOUT is ReturnCode.TIMEOUT).
ENUMS = {
    "KIVReturnCode": (constants.ReturnCode, "KIV_RC_"),
    "KIVNetNotification": (constants.NetNotification, "KIV_NET_"),
    "KIVIntAttribute": (constants.IntAttribute, "KIV_"),
    "KIVFloatAttribute": (constants.FloatAttribute, "KIV_"),
    "KIVStringAttribute": (constants.StringAttribute, "KIV_"),
    "KIVDataAttribute": (constants.DataAttribute, "KIV_"),
    "KIVEvent": (constants.Event, "KIV_EVENT_"),
    "KIVCallback": (constants.Callback, "KIV_CALLBACK_"),
    "KIVLogLevel": (constants.LogLevel, "KIV_LOG_"),
    "KIVSide": (constants.Side, "KIV_SIDE_"),
    "KIVReplayFlag": (constants.ReplayFlag, "KIV_REPLAY_"),
    "KIVReplayWait": (constants.ReplayWait, "KIV_REPLAY_"),
    "KIVState": (constants.State, "KIV_STATE_"),
    "KIVDetail": (constants.Detail, "KIV_DETAIL_"),
}

# Numeric macros of the header that are the library's release, not a part of
# the interface the binding speaks; KIVSDK_INTERFACE_VERSION is.
RELEASE_MACROS = {"KIVSDK_VERSION_MAJOR", "KIVSDK_VERSION_MINOR", "KIVSDK_VERSION_PATCH",
                  "KIVSDK_VERSION_NUMBER"}


def c_integer(text):
    """The value of a C integer constant expression of the simple kinds the
    header uses ("12", "-1", "0x10", "(3)"); None for anything else."""
    text = text.strip()
    while text.startswith("(") and text.endswith(")"):
        text = text[1:-1].strip()
    text = re.sub(r"(?<=[0-9a-fA-F])[uUlL]+$", "", text)
    try:
        return int(text, 0)
    except ValueError:
        return None


def header_enums(text):
    """{enum type name: {constant: value}} for every enum of the header, with
    C's numbering of members that give no value."""
    enums = {}
    for body, name in re.findall(r"typedef\s+enum\s*\w*\s*\{(.*?)\}\s*(\w+)\s*;", text, re.S):
        members, following = {}, 0
        for entry in filter(None, (part.strip() for part in body.split(","))):
            constant, _, value = (part.strip() for part in entry.partition("="))
            if value:
                following = c_integer(value)
                if following is None:
                    raise AssertionError(f"{name}: cannot read the value of {entry!r}")
            members[constant] = following
            following += 1
        enums[name] = members
    return enums


def header_macros(text):
    """{name: value} for every object-like KIV macro with a value; fails on
    one whose value is not a plain integer, so none is passed over."""
    macros = {}
    for name, value in re.findall(r"^[ \t]*#[ \t]*define[ \t]+(KIV\w*)[ \t]+(.+?)[ \t]*$", text,
                                  re.M):
        if name == "KIVSDK_API":
            continue
        number = c_integer(value)
        if number is None:
            raise AssertionError(f"cannot read the value of #define {name} {value}")
        macros[name] = number
    return macros


def python_name(macro):
    return macro[len("KIVSDK_"):] if macro.startswith("KIVSDK_") else macro[len("KIV_"):]


class ConstantsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        text = support.header_text()
        cls.enums = header_enums(text)
        cls.macros = header_macros(text)

    def test_every_header_enumeration_is_mirrored_member_for_member(self):
        self.assertEqual(set(self.enums), set(ENUMS), "enumerations of kivsdk.h")
        for c_name, (python_enum, prefix) in ENUMS.items():
            with self.subTest(enum=c_name):
                members = self.enums[c_name]
                self.assertTrue(members, f"no members read from {c_name}")
                for constant in members:
                    self.assertTrue(constant.startswith(prefix), f"{constant} lacks {prefix}")
                expected = {constant[len(prefix):]: value for constant, value in members.items()}
                self.assertEqual({m.name: m.value for m in python_enum}, expected)

    def test_every_interface_macro_has_its_value_in_the_binding(self):
        interface = {name: value for name, value in self.macros.items()
                     if name not in RELEASE_MACROS}
        self.assertIn("KIVSDK_INTERFACE_VERSION", interface)
        self.assertIn("KIV_EVENT_COUNT", interface)
        for macro, value in interface.items():
            with self.subTest(macro=macro):
                self.assertEqual(getattr(constants, python_name(macro), None), value)

    def test_the_binding_holds_only_numbers_of_the_header(self):
        mirrored_enums = {python_enum for python_enum, _ in ENUMS.values()}
        macro_names = {python_name(m) for m in self.macros if m not in RELEASE_MACROS}
        for name, value in vars(constants).items():
            if name.startswith("_") or value is enum.IntEnum:
                continue
            with self.subTest(name=name):
                if isinstance(value, type) and issubclass(value, enum.Enum):
                    self.assertIn(value, mirrored_enums, f"{name} mirrors no header enumeration")
                elif isinstance(value, int):
                    self.assertIn(name, macro_names, f"{name} is not a macro of kivsdk.h")

    def test_each_count_is_one_past_the_highest_number_of_its_enumeration(self):
        # Counts are slot counts: a slot may have no name (int slot 37).
        counts = {"KIV_INT_ATTRIBUTE_COUNT": "KIVIntAttribute",
                  "KIV_FLOAT_ATTRIBUTE_COUNT": "KIVFloatAttribute",
                  "KIV_STRING_ATTRIBUTE_COUNT": "KIVStringAttribute",
                  "KIV_DATA_ATTRIBUTE_COUNT": "KIVDataAttribute",
                  "KIV_EVENT_COUNT": "KIVEvent",
                  "KIV_CALLBACK_COUNT": "KIVCallback"}
        for macro, c_name in counts.items():
            with self.subTest(macro=macro):
                values = self.enums[c_name].values()
                self.assertGreaterEqual(min(values), 0)
                self.assertEqual(self.macros[macro], max(values) + 1)


if __name__ == "__main__":
    unittest.main()
