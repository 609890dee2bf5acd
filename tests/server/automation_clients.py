#!/usr/bin/python3
"""Outside clients of the automation server, as other programs would be: dbus-python and GIO
clients on the session bus that automation_clients.sh set up, and tftp-hpa as the TFTP client.

  automation_clients.py ROOT CLIENT_DIR README SERVER_DBUS_DIR PIDFILE

Prints one line per failed check, then "N passed, N failed"; exit status 1 on any failure.
"""
import os
import re
import socket
import subprocess
import sys
import time
import traceback

import dbus
import dbus.bus
import dbus.service
import gi
from dbus.mainloop.glib import DBusGMainLoop

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

NAME = "net.quorvane.TFTP"
FACTORY = "net.quorvane.TFTP.Factory"
SERVER = "net.quorvane.TFTP.Server"
EVENTS = "net.quorvane.TFTP.ServerEvents"
PROPERTIES = "org.freedesktop.DBus.Properties"
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"
SINK_WAIT_S = 5  # how long a request waits for the sink's answer

root, client_dir, readme, interfaces_dir, pidfile = sys.argv[1:6]
DBusGMainLoop(set_as_default=True)
address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
passed = failed = 0


def check(what, ok):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAIL:", what, flush=True)


def wait_until(condition, seconds=30):
    """Runs the main loop until the condition holds; False when it did not within the bound."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        if not context.iteration(False):
            time.sleep(0.005)
    return True


def finish(process, seconds=60):
    """Serves the bus until the process ends; its exit status (None if it had to be killed)."""
    if not wait_until(lambda: process.poll() is not None, seconds):
        process.kill()
        process.wait()
        return None
    return process.returncode


def tftp(*command):
    """tftp-hpa against the server, in the background: `command` as given to its -c."""
    return subprocess.Popen(["tftp", "127.0.0.1", "-m", "binary", "-c", *command],
                            cwd=client_dir, stdout=subprocess.DEVNULL)


def make_file(folder, name, size):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(os.urandom(size))


def content(folder, name):
    try:
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()
    except OSError:
        return None


def error_name(call):
    try:
        call()
    except dbus.exceptions.DBusException as e:
        return e.get_dbus_name()
    return None


class Client:
    """One client program: a connection of its own and a Server object of its own."""

    def __init__(self):
        self.bus = dbus.bus.BusConnection(address)
        self.path = self.bus.get_object(NAME, "/").CreateServer(dbus_interface=FACTORY)
        self.object = self.bus.get_object(NAME, self.path)
        self.server = dbus.Interface(self.object, SERVER)
        self.properties = dbus.Interface(self.object, PROPERTIES)

    def get(self, name):
        return self.properties.Get(SERVER, name)

    def close(self):
        try:
            self.server.Release()
        finally:
            self.bus.close()


class Sink(dbus.service.Object):
    """A client's event sink. `on_start(filename, ip, reply)` answers when it likes."""

    def __init__(self, client, path="/events", on_start=None):
        super().__init__(client.bus, path)
        self.starts, self.completes = [], []
        self.on_start = on_start or (lambda filename, ip, reply: reply(filename, ip))
        client.server.SetEventSink("", path)

    @dbus.service.method(EVENTS, in_signature="ss", out_signature="ss",
                         async_callbacks=("reply", "error"))
    def ReceiveStart(self, filename, ip, reply, error):
        self.starts.append(str(filename))
        self.on_start(str(filename), str(ip), reply)

    @dbus.service.method(EVENTS, in_signature="ssb", out_signature="ssb")
    def ReceiveComplete(self, filename, ip, error):
        self.completes.append((str(filename), bool(error)))
        return filename, ip, error


def started_client():
    c = Client()
    c.server.Start()
    check("Start makes the server ready", bool(c.get("Ready")))
    return c


def sink_that_never_answers_holds_only_its_own_request():
    c = started_client()
    try:
        sink = Sink(c, on_start=lambda filename, ip, reply: None)
        heard = []
        c.bus.add_signal_receiver(lambda f, ip: heard.append(str(f)), "ReceiveStart", SERVER,
                                  None, c.path)
        make_file(client_dir, "held.bin", 3000)
        make_file(root, "big.bin", 100 * 1024)
        upload = tftp("put", "held.bin", "held.bin")
        check("the sink is asked", wait_until(lambda: sink.starts))
        download = tftp("get", "big.bin", "big.bin")
        status = finish(download)
        check("another client's read is served while the sink holds the write request",
              status == 0 and content(client_dir, "big.bin") == content(root, "big.bin"))
        check("... and the write request is still waiting then",
              not heard and upload.poll() is None and content(root, "held.bin") is None)
        # Past the limit the request goes on as it was sent.
        check("the held upload is stored once the wait is over", finish(upload) == 0 and
              content(root, "held.bin") == content(client_dir, "held.bin"))
        check("its events went out once each", wait_until(lambda: sink.completes) and
              sink.starts == ["held.bin"] and heard == ["held.bin"] and
              sink.completes == [("held.bin", False)])
    finally:
        c.close()


def serving_pid(bus):
    return int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s",
                                 (NAME,)))


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def port_69_free():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind(("0.0.0.0", 69))
        except OSError:
            return False
    return True


def release_while_a_request_waits_for_the_sink():
    c = started_client()
    released = False
    try:
        pid = serving_pid(c.bus)
        sink = Sink(c, on_start=lambda filename, ip, reply: None)
        make_file(client_dir, "let-go.bin", 3000)
        upload = tftp("put", "let-go.bin", "let-go.bin")
        check("the sink is asked", wait_until(lambda: sink.starts))
        c.server.Release()
        released = True
        check("with the object gone the waiting upload goes on as it was sent",
              finish(upload) == 0 and
              content(root, "let-go.bin") == content(client_dir, "let-go.bin"))
        make_file(root, "after-release.bin", 5000)
        check("the server serves on", finish(tftp("get", "after-release.bin")) == 0 and
              content(client_dir, "after-release.bin") == content(root, "after-release.bin"))
        check("in the same process", alive(pid) and serving_pid(c.bus) == pid)
    finally:
        if not released:
            c.server.Release()
        c.bus.close()


def terminate_while_a_request_waits_for_the_sink():
    c = started_client()
    try:
        pid = serving_pid(c.bus)
        sink = Sink(c, on_start=lambda filename, ip, reply: None)
        make_file(client_dir, "stopped.bin", 3000)
        upload = tftp("put", "stopped.bin", "stopped.bin")
        check("the sink is asked", wait_until(lambda: sink.starts))
        c.server.Terminate()
        check("Terminate stops the server while the request waits", port_69_free())
        # Past the sink's time: the wait ends with the server stopped.
        wait_until(lambda: False, SINK_WAIT_S + 1)
        check("the process lives on while its client holds the object",
              alive(pid) and serving_pid(c.bus) == pid)
        check("the stopped server took up nothing of the waiting request",
              port_69_free() and content(root, "stopped.bin") is None)
        upload.kill()
        upload.wait()
        c.server.Start()
        check("Start runs the server again", bool(c.get("Ready")))
        make_file(root, "after-terminate.bin", 5000)
        check("which serves", finish(tftp("get", "after-terminate.bin")) == 0 and
              content(client_dir, "after-terminate.bin") == content(root, "after-terminate.bin"))
        c.server.Terminate()
    finally:
        c.close()
    check("the process ends once its client lets go", wait_until(lambda: not alive(pid), 15))


def sink_may_call_the_server_from_its_handler():
    c = started_client()
    try:
        seen = []

        def rename(filename, ip, reply):
            seen.append(str(c.get("RootDir")))  # a call back into the server meanwhile
            reply("checked-" + filename, ip)

        Sink(c, on_start=rename)
        make_file(client_dir, "asked.bin", 2000)
        status = finish(tftp("put", "asked.bin", "asked.bin"))
        check("the handler reads RootDir", seen == [root])
        check("and its rename is taken", status == 0 and content(root, "asked.bin") is None and
              content(root, "checked-asked.bin") == content(client_dir, "asked.bin"))
    finally:
        c.close()


def client_that_resends_its_request_is_served_once():
    c = started_client()
    try:
        sink = Sink(c, on_start=lambda filename, ip, reply: GLib.timeout_add(
            3000, lambda: reply(filename, ip)))
        make_file(client_dir, "resent.bin", 50 * 1024)
        # Re-sends its request every second while it hears nothing.
        hpa = subprocess.Popen(["tftp", "127.0.0.1"], stdin=subprocess.PIPE, cwd=client_dir,
                               stdout=subprocess.DEVNULL)
        hpa.stdin.write(b"binary\nrexmt 1\ntimeout 20\nput resent.bin\nquit\n")
        hpa.stdin.close()
        finish(hpa)
        check("an upload re-sent while the sink takes 3 s is stored whole",
              content(root, "resent.bin") == content(client_dir, "resent.bin"))
        wait_until(lambda: sink.completes, 10)
        check(f"with one start and one completion: {sink.starts} {sink.completes}",
              sink.starts == ["resent.bin"] and sink.completes == [("resent.bin", False)])
    finally:
        c.close()


def objects_answer_only_their_own_client():
    a = Client()
    other = dbus.bus.BusConnection(address)
    try:
        theirs = other.get_object(NAME, a.path, introspect=False)
        attempts = {
            "set a sink": lambda: theirs.SetEventSink("", "/events", dbus_interface=SERVER),
            "call Start": lambda: theirs.Start(dbus_interface=SERVER),
            "call Terminate": lambda: theirs.Terminate(dbus_interface=SERVER),
            "release it": lambda: theirs.Release(dbus_interface=SERVER),
            "read a property": lambda: theirs.Get(SERVER, "RootDir", dbus_interface=PROPERTIES),
            "set a property": lambda: theirs.Set(SERVER, "RootDir", "/elsewhere",
                                                 dbus_interface=PROPERTIES),
        }
        for what, attempt in attempts.items():
            check(f"another client cannot {what} of a client's object",
                  error_name(attempt) == ACCESS_DENIED)
        check("the object is unchanged and still its client's",
              str(a.get("RootDir")) == root and not a.get("Ready"))
        check("a sink whose name has no owner is refused",
              error_name(lambda: a.server.SetEventSink("org.example.Nobody", "/events")) ==
              "org.freedesktop.DBus.Error.NameHasNoOwner")
    finally:
        other.close()
        a.close()


def gio_proxy_shows_current_values():
    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
             Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    connection = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
    path = connection.call_sync(NAME, "/", FACTORY, "CreateServer", None,
                                GLib.VariantType("(o)"), Gio.DBusCallFlags.NONE, -1,
                                None).unpack()[0]
    proxy = Gio.DBusProxy.new_sync(connection, Gio.DBusProxyFlags.NONE, None, NAME, path,
                                   SERVER, None)
    other = dbus.bus.BusConnection(address)
    elsewhere = os.path.join(os.path.dirname(root), "elsewhere")
    try:
        check("a new object is not ready", proxy.get_cached_property("Ready").unpack() is False)
        proxy.call_sync("Start", None, Gio.DBusCallFlags.NONE, -1, None)
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)
        check("the proxy shows Ready true once Start has returned",
              proxy.get_cached_property("Ready").unpack() is True)

        # Another client changes the setting, sending the value as a plain string.
        theirs = other.get_object(NAME, other.get_object(NAME, "/").CreateServer(
            dbus_interface=FACTORY), introspect=False)
        theirs.Set(SERVER, "RootDir", elsewhere, dbus_interface=PROPERTIES, signature="sss")
        check("the proxy shows the RootDir another client put",
              wait_until(lambda: proxy.get_cached_property("RootDir").unpack() == elsewhere, 10))
        check("a plain value of the wrong type is refused as such",
              error_name(lambda: theirs.Set(SERVER, "Ready", "yes", dbus_interface=PROPERTIES,
                                            signature="sss")) ==
              "org.freedesktop.DBus.Error.InvalidArgs")
        theirs.Set(SERVER, "RootDir", root, dbus_interface=PROPERTIES, signature="sss")
        theirs.Release(dbus_interface=SERVER)
    finally:
        other.close()
        connection.call_sync(NAME, path, SERVER, "Release", None, None, Gio.DBusCallFlags.NONE,
                             -1, None)
        connection.close_sync(None)


def objects_introspect_the_installed_interfaces():
    c = Client()
    try:
        for interface, path in [(SERVER, c.path), (FACTORY, "/")]:
            live = c.bus.call_blocking(NAME, path, "org.freedesktop.DBus.Introspectable",
                                       "Introspect", "", ())
            with open(os.path.join(interfaces_dir, interface + ".xml")) as f:
                text = f.read()
            described = text[text.index("<interface "):text.rindex("</interface>")]
            check(f"{interface} introspects as its interface file describes it",
                  described in str(live))
    finally:
        c.close()


def readme_client_runs_as_printed():
    with open(readme) as f:
        section = f.read().split("## Automation clients", 1)[1].split("\n## ", 1)[0]
    program = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    script = os.path.join(client_dir, "readme_client.py")
    with open(script, "w") as f:
        f.write(program)
    client = subprocess.Popen(["/usr/bin/python3", script], stdout=subprocess.PIPE, text=True)
    first = client.stdout.readline()
    check("the README client starts the server", first == f"serving {root}\n")
    make_file(client_dir, "readme.bin", 1500)
    status = finish(tftp("put", "readme.bin", "readme.bin"))
    code = finish(client)
    rest = client.stdout.read()
    check("the README client renames the upload through its sink and ends",
          status == 0 and code == 0 and
          content(root, "127.0.0.1-readme.bin") == content(client_dir, "readme.bin") and
          rest == "receiving readme.bin from 127.0.0.1 as 127.0.0.1-readme.bin\n"
                  "received 127.0.0.1-readme.bin\n")


def main():
    watcher = dbus.bus.BusConnection(address)
    for test in [objects_answer_only_their_own_client,
                 objects_introspect_the_installed_interfaces,
                 gio_proxy_shows_current_values,
                 sink_that_never_answers_holds_only_its_own_request,
                 sink_may_call_the_server_from_its_handler,
                 client_that_resends_its_request_is_served_once,
                 release_while_a_request_waits_for_the_sink,
                 terminate_while_a_request_waits_for_the_sink,
                 readme_client_runs_as_printed]:
        try:
            test()
        except Exception:
            check(test.__name__ + " ran to its end", False)
            traceback.print_exc()
        # The program ends whenever no client holds an object and the server is stopped; the
        # last one is waited for by the caller.
        try:
            pid = watcher.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                        "s", (NAME,))
            with open(pidfile, "w") as f:
                f.write(str(pid))
        except dbus.exceptions.DBusException:
            pass
        # A client that resolves the name while the last process is ending would be bound to
        # a process that has dropped its objects; the next test starts a fresh one instead. An
        # ending process gives up the name at once; one still serving a window keeps it.
        wait_until(lambda: not watcher.name_has_owner(NAME), 3)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


sys.exit(main())
