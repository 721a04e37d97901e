"""Python binding of the KIVSDK client library, over ctypes.

    import kivsdk
    bot = kivsdk.Instance()

    @bot.event(kivsdk.Event.CHAT)
    def on_chat(bot):
        print(bot.avatar_name, ":", bot.chat_message)

    bot.connect_universe("localhost", 6670)   # raises KIVError on failure
    bot.login("Bot", "password", "Greeter")
    bot.enter("sandbox")
    bot.reconnect()       # come back after a lost connection
    bot.liveness()        # notice a silent server (75 s)
    bot.run_for(60)

    kivsdk.log_to(logging.getLogger("kivsdk"), kivsdk.LogLevel.INFO)
    bot.stats().universe.rtt_smoothed_us

The shared library is found through, in order, $KIVSDK_LIBRARY, the
library installed beside this package (by CMake, as in the Debian package
python3-kivsdk), pkg-config (`pkg-config --variable=libdir kivsdk`), then
the system's library search (libKIVSDK.so.0). Importing the package loads
it and checks that its kiv_version() is this package's version.
"""
from .constants import (CALLBACK_COUNT, DATA_ATTRIBUTE_COUNT, EVENT_COUNT, FLOAT_ATTRIBUTE_COUNT,
                        INT_ATTRIBUTE_COUNT, INTERFACE_VERSION, LIVENESS_DEFAULT,
                        LIVENESS_DEFAULT_SECONDS, QUEUE_LIMIT_DEFAULT, STRING_ATTRIBUTE_COUNT,
                        Callback, DataAttribute, Detail, Event, FloatAttribute, IntAttribute,
                        LogLevel, NetNotification, ReplayFlag, ReplayWait, ReturnCode, Side,
                        State, StringAttribute)
from .instance import (Disconnection, Instance, KIVError, ReplayStatus, SideStats, Stats, as_code,
                       init, log_to, version)
from ._native import NetConfig, TerrainCell, library
from .loop import Loop
from . import _native

# A package and a library of different versions disagree on the interface:
# say so now rather than with a wrong value later.
_native.check_version()
__version__: str = _native.package_version() or _native.version_text(version())

__all__ = [
    "Instance", "KIVError", "init", "version", "log_to", "Stats", "SideStats", "LogLevel", "as_code", "library", "NetConfig", "TerrainCell",
    "Disconnection", "ReturnCode", "IntAttribute", "FloatAttribute", "StringAttribute",
    "DataAttribute", "Event", "Callback", "NetNotification", "Side", "State", "Detail",
    "INTERFACE_VERSION", "INT_ATTRIBUTE_COUNT", "FLOAT_ATTRIBUTE_COUNT", "STRING_ATTRIBUTE_COUNT",
    "DATA_ATTRIBUTE_COUNT", "EVENT_COUNT", "CALLBACK_COUNT", "LIVENESS_DEFAULT",
    "LIVENESS_DEFAULT_SECONDS", "QUEUE_LIMIT_DEFAULT", "ReplayFlag", "ReplayWait", "ReplayStatus", "Loop",
]
