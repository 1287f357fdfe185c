#!/usr/bin/python3
"""A desktop portal offering GlobalShortcuts, for the push-to-talk key's test: it answers
CreateSession and BindShortcuts through request objects as the real portal does, and once the
program has bound a shortcut suggesting F9, it reports that shortcut pressed and, a moment
later, released. Runs on the session bus in DBUS_SESSION_BUS_ADDRESS until killed."""

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
REQUEST = "org.freedesktop.portal.Request"


class Request(dbus.service.Object):
    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, response, results):
        pass


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.requests = []

    def request(self, sender, token, results):
        path = f"{PATH}/request/{sender[1:].replace('.', '_')}/{token}"
        req = Request(self.bus, path)
        self.requests.append(req)
        GLib.timeout_add(50, lambda: req.Response(dbus.UInt32(0), results) and False)
        return dbus.ObjectPath(path)

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        session = f"{PATH}/session/{sender[1:].replace('.', '_')}/{options['session_handle_token']}"
        self.session = dbus.ObjectPath(session)
        return self.request(sender, options["handle_token"],
                            {"session_handle": dbus.String(session, variant_level=1)})

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        path = self.request(sender, options["handle_token"], {"shortcuts": dbus.Array(
            [], signature="(sa{sv})", variant_level=1)})
        for shortcut_id, properties in shortcuts:
            if properties.get("preferred_trigger") == "F9" and properties.get("description"):
                GLib.timeout_add(200, self.press, session, shortcut_id, True)
                GLib.timeout_add(600, self.press, session, shortcut_id, False)
        return path

    def press(self, session, shortcut_id, down):
        (self.Activated if down else self.Deactivated)(session, shortcut_id, dbus.UInt64(0), {})
        return False

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Deactivated(self, session, shortcut_id, timestamp, options):
        pass


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = Portal(bus)
name = dbus.service.BusName(PORTAL, bus)
print("ready", flush=True)
GLib.MainLoop().run()
