"""Shared helpers of the binding's tests: the C header's declarations, a
scripted socket table, and a sandbox server process."""
import ctypes
import os
import re
import select
import subprocess
import time

import kivsdk
from kivsdk import _native

HERE = os.path.dirname(os.path.abspath(__file__))
HEADER = os.environ.get("KIVSDK_HEADER",
                        os.path.join(HERE, "..", "..", "..", "include", "kivsdk.h"))


def header_text():
    """kivsdk.h without comments and without its Windows-only block."""
    with open(HEADER, encoding="utf-8") as source:
        text = source.read()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"#ifdef _WIN32.*?#endif", " ", text, flags=re.S)
    return text


def header_functions():
    """{name: (return type, [parameter types])} as C text, normalised."""
    functions = {}
    for match in re.finditer(r"KIVSDK_API\s+([^;(]*?)\s*\b(kiv_\w+)\s*\(([^)]*)\)\s*;",
                             header_text()):
        result, name, parameters = match.groups()
        types = []
        for parameter in parameters.split(","):
            parameter = " ".join(parameter.split())
            if parameter == "void":
                continue
            array = parameter.endswith("]")
            parameter = re.sub(r"\[\d*\]$", "", parameter)
            # Drop the parameter name: the last identifier.
            declared = re.sub(r"\b\w+$", "", parameter).strip()
            if array:
                declared += "*"
            types.append(declared.replace(" *", "*"))
        functions[name] = (" ".join(result.split()).replace(" *", "*"), types)
    return functions


class ScriptedNet:
    """A socket table in Python: records sends and, inside each wait pass,
    posts the notifications queued for the newest socket."""

    def __init__(self, with_wait=True):
        self.connections = []   # the library's connection pointer per socket
        self.queued = []        # (kind, status)
        self.sent = []
        self.waits = 0
        self._lib = kivsdk.library()
        ops = dict(
            create=_native.CreateOp(self._create),
            destroy=_native.DestroyOp(self._destroy),
            connect=_native.ConnectOp(lambda socket, host, port: 0),
            send=_native.SendOp(self._send),
            recv=_native.RecvOp(lambda socket, buffer, capacity: -2),
            timeout=_native.TimeoutOp(lambda socket, seconds: 0),
        )
        if with_wait:
            ops["wait"] = _native.WaitOp(self._wait)
        self.config = kivsdk.NetConfig(**ops)

    def _create(self, connection, context):
        self.connections.append(connection)
        return len(self.connections)   # socket object: 1-based index

    def _destroy(self, socket):
        if socket:
            self.connections[socket - 1] = None
        return 0

    def _send(self, socket, data, length):
        self.sent.append(ctypes.string_at(data, length))
        return length

    def _wait(self, context, milliseconds):
        self.waits += 1
        queued, self.queued = self.queued, []
        for kind, status in queued:
            connection = self.connections[-1] if self.connections else None
            if connection:
                self._lib.kiv_net_notify(connection, kind, status)
        return 0


class Sandbox:
    """A kivsandbox process on loopback ports chosen by the system."""

    def __init__(self, *arguments):
        program = os.environ.get("KIVSANDBOX")
        if not program or not os.path.exists(program):
            raise FileNotFoundError("set KIVSANDBOX to the kivsandbox program")
        self.process = subprocess.Popen(
            [program, "--quiet", "--bind", "127.0.0.1", *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self._ready_line(timeout=20)
        fields = dict(re.findall(r"(\S+)=(\d+)", line))
        self.universe_port = int(fields.pop("universe"))
        self.world_ports = {name: int(port) for name, port in fields.items()}

    def _ready_line(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            readable, _, _ = select.select([self.process.stdout], [], [], 0.2)
            if readable:
                line = self.process.stdout.readline()
                if line.startswith("ready "):
                    return line
                if not line:
                    break
        self.close()
        raise RuntimeError("kivsandbox did not become ready: " + self.process.stderr.read())

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process.stdout.close()
        self.process.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
