"""Python binding of the KIVSDK client library, over ctypes.

    import kivsdk
    bot = kivsdk.Instance()

    @bot.event(kivsdk.Event.CHAT)
    def on_chat(bot):
        print(bot.avatar_name, ":", bot.chat_message)

    bot.connect_universe("localhost", 6670)   # raises KIVError on failure
    bot.login("Bot", "password", "Greeter")
    bot.enter("sandbox")
    bot.run_for(60)

The shared library is found through $KIVSDK_LIBRARY, then the system's
library search (libKIVSDK.so).
"""
from .constants import (CALLBACK_COUNT, DATA_ATTRIBUTE_COUNT, EVENT_COUNT, FLOAT_ATTRIBUTE_COUNT,
                        INT_ATTRIBUTE_COUNT, INTERFACE_VERSION, STRING_ATTRIBUTE_COUNT, Callback,
                        DataAttribute, Event, FloatAttribute, IntAttribute, NetNotification,
                        ReturnCode, StringAttribute)
from .instance import Instance, KIVError, as_code, init
from ._native import NetConfig, TerrainCell, library

__all__ = [
    "Instance", "KIVError", "init", "as_code", "library", "NetConfig", "TerrainCell",
    "ReturnCode", "IntAttribute", "FloatAttribute", "StringAttribute", "DataAttribute", "Event",
    "Callback", "NetNotification", "INTERFACE_VERSION", "INT_ATTRIBUTE_COUNT",
    "FLOAT_ATTRIBUTE_COUNT", "STRING_ATTRIBUTE_COUNT", "DATA_ATTRIBUTE_COUNT", "EVENT_COUNT",
    "CALLBACK_COUNT",
]
