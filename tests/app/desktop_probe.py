"""What a desktop sees of the program, for tests/app/desktop_e2e.sh.

Usage: desktop_probe.py COMMAND [ARGS]

On the session bus (DBUS_SESSION_BUS_ADDRESS), with python3-dbus:
  host              registers a StatusNotifierHost with the StatusNotifierWatcher, writes "registered" to
                    standard output and stays until it is ended: the watcher then tells items a host is there
  item              the first registered StatusNotifierItem as "BUS-NAME OBJECT-PATH"; fails when there is none
  menu-path         the item's Menu property
  layout            the item's exported menu (com.canonical.dbusmenu GetLayout), one line per item:
                    LABEL;TOGGLE;PICTURE;ENABLED;VISIBLE with TOGGLE x (checked), o (unchecked) or empty,
                    PICTURE "pic" for a PNG icon-data, "bad" for other icon-data, empty for none, ENABLED and
                    VISIBLE 1 or 0; a separator's LABEL is "---"; a first line "children-display=..." for the
                    root
  picture LABEL     a digest of the icon-data of the item with this label
  click LABEL       sends the "clicked" event for the visible item with this label
  activate          calls the item's Activate (a left click on the icon)
  icon              a digest of the item's IconName and IconPixmap

Without a bus:
  mapped LOG TITLE  succeeds when the WAYLAND_DEBUG=1 log of a client shows that the compositor mapped a
                    toplevel window with this title: the compositor sent wl_surface.enter for its surface
"""

import hashlib
import os
import re
import sys
import time

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"


def bus():
    import dbus  # python3-dbus, only for the bus commands

    return dbus, dbus.SessionBus()


def item_address(connection):
    watcher = connection.get_object(WATCHER, "/StatusNotifierWatcher")
    items = watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=PROPERTIES)
    if not items:
        sys.exit("no StatusNotifierItem registered")
    # An entry is a bus name, optionally followed by the object path.
    name, _, path = str(items[0]).partition("/")
    return name, "/" + path if path else "/StatusNotifierItem"


def item_property(connection, name):
    address, path = item_address(connection)
    return connection.get_object(address, path).Get(ITEM, name, dbus_interface=PROPERTIES)


def menu_object(connection):
    address, path = item_address(connection)
    menu = str(connection.get_object(address, path).Get(ITEM, "Menu", dbus_interface=PROPERTIES))
    if menu == "/NO_DBUSMENU":
        sys.exit("the item exports no menu")
    return connection.get_object(address, menu)


def menu_items(connection):
    _, (_, root, children) = menu_object(connection).GetLayout(0, -1, [], dbus_interface=MENU)
    return root, [(int(ident), dict(props)) for ident, props, _ in children]


def describe(props):
    if props.get("type") == "separator":
        label, toggle, picture = "---", "", ""
    else:
        label = str(props.get("label", ""))
        toggle = ""
        if props.get("toggle-type") in ("checkmark", "radio"):
            toggle = "x" if int(props.get("toggle-state", 0)) == 1 else "o"
        data = bytes(props.get("icon-data", b""))
        picture = "" if not data else "pic" if data.startswith(b"\x89PNG\r\n\x1a\n") else "bad"
    enabled = int(bool(props.get("enabled", True)))
    visible = int(bool(props.get("visible", True)))
    return f"{label};{toggle};{picture};{enabled};{visible}"


def find(connection, label):
    for ident, props in menu_items(connection)[1]:
        if str(props.get("label", "")) == label and bool(props.get("visible", True)):
            return ident, props
    sys.exit(f"no visible menu item {label!r}")


def host():
    _, connection = bus()
    name = f"org.kde.StatusNotifierHost-{os.getpid()}"
    connection.request_name(name)
    watcher = connection.get_object(WATCHER, "/StatusNotifierWatcher")
    watcher.RegisterStatusNotifierHost(name, dbus_interface=WATCHER)
    print("registered", flush=True)
    while True:
        time.sleep(3600)


def mapped(log, title):
    surface_of = {}  # xdg_surface -> wl_surface
    toplevel_surface = {}  # xdg_toplevel -> wl_surface
    titled = set()  # wl_surfaces whose toplevel carries the title
    request = re.compile(r"->\s+(\w+)@(\d+)\.(\w+)\((.*)\)\s*$")
    event = re.compile(r"wl_surface@(\d+)\.enter\(")  # an event: a line without "->"
    with open(log, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            entered = "->" not in line and event.search(line)
            if entered:
                if entered.group(1) in titled:
                    return 0
                continue
            found = request.search(line)
            if not found:
                continue
            interface, ident, method, args = found.groups()
            if interface == "xdg_wm_base" and method == "get_xdg_surface":
                ids = re.findall(r"@(\d+)", args)
                surface_of[ids[0]] = ids[1]
            elif interface == "xdg_surface" and method == "get_toplevel":
                toplevel_surface[re.findall(r"@(\d+)", args)[0]] = surface_of.get(ident)
            elif interface == "xdg_toplevel" and method == "set_title":
                surface = toplevel_surface.get(ident)
                if args == '"' + title + '"':
                    titled.add(surface)
                else:
                    titled.discard(surface)
            elif interface == "xdg_toplevel" and method == "destroy":
                titled.discard(toplevel_surface.pop(ident, None))
    return 1


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    command, args = argv[1], argv[2:]
    if command == "host":
        host()
    elif command == "mapped":
        return mapped(*args)
    dbus, connection = bus()
    if command == "item":
        print(*item_address(connection))
    elif command == "menu-path":
        print(item_property(connection, "Menu"))
    elif command == "layout":
        root, items = menu_items(connection)
        print(f"children-display={root.get('children-display', '')}")
        for _, props in items:
            print(describe(props))
    elif command == "picture":
        print(hashlib.sha1(bytes(find(connection, args[0])[1].get("icon-data", b""))).hexdigest()[:12])
    elif command == "click":
        ident, _ = find(connection, args[0])
        menu_object(connection).Event(ident, "clicked", dbus.String("", variant_level=1), dbus.UInt32(0),
                                      dbus_interface=MENU)
    elif command == "activate":
        address, path = item_address(connection)
        connection.get_object(address, path).Activate(0, 0, dbus_interface=ITEM)
    elif command == "icon":
        digest = hashlib.sha1(str(item_property(connection, "IconName")).encode())
        for width, height, data in item_property(connection, "IconPixmap"):
            digest.update(f"{width}x{height}".encode() + bytes(data))
        print(digest.hexdigest()[:12])
    else:
        sys.exit(f"unknown command {command}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
