"""Drives a running console through its accessibility tree (AT-SPI), the way
a screen reader or a UI-automation tool does: controls are found by their
accessible names, buttons are pressed through their accessible action, and a
row of a list is clicked with a real (synthesised) mouse click at its place on
the screen."""

import time

import pyatspi


class Timeout(AssertionError):
    pass


def wait_for(predicate, timeout=15.0, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Timeout("timed out waiting for " + what)
        time.sleep(0.05)


def _walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    try:
        count = node.childCount
    except Exception:
        return
    for i in range(count):
        try:
            child = node.getChildAtIndex(i)
        except Exception:
            continue
        yield from _walk(child, depth + 1)


_KEYSYM_RETURN = 0xFF0D


def _do_action(node, name):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return False
    for i in range(action.nActions):
        if action.getName(i) == name:
            action.doAction(i)
            return True
    return False


class App:
    def __init__(self, name, timeout=30.0):
        def find_app():
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                app = desktop.getChildAtIndex(i)
                if app is not None and app.name == name:
                    return app
            return None

        self.root = wait_for(find_app, timeout, "application " + name)

    walk = staticmethod(_walk)

    @staticmethod
    def desktop_apps(name):
        desktop = pyatspi.Registry.getDesktop(0)
        apps = []
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name == name:
                apps.append(app)
        return apps

    @staticmethod
    def press_in(root, names):
        """Presses the first push button under root whose name is one of names."""
        def look():
            for node in _walk(root):
                try:
                    if node.getRoleName() == "push button" and node.name in names:
                        return node
                except Exception:
                    continue
            return None

        button = wait_for(look, 15.0, "a button named one of %r" % (names,))
        action = button.queryAction()
        for i in range(action.nActions):
            if action.getName(i) == "Press":
                action.doAction(i)
                return
        raise AssertionError("button has no Press action")

    def find_all(self, name=None, role=None, within=None):
        found = []
        for node in _walk(within or self.root):
            try:
                if (name is None or node.name == name) and (
                    role is None or node.getRoleName() == role
                ):
                    found.append(node)
            except Exception:
                continue
        return found

    def find(self, name, role=None, index=0, timeout=15.0):
        def look():
            nodes = self.find_all(name, role)
            return nodes[index] if len(nodes) > index else None

        return wait_for(look, timeout, "%s %r" % (role or "control", name))

    def press(self, name, index=0):
        button = self.find(name, "push button", index)
        # A button is disabled until what it needs is there (a field filled
        # in, say), and a disabled button offers no action.
        wait_for(lambda: button.getState().contains(pyatspi.STATE_ENABLED), 10,
                 "the button %r to be enabled" % name)
        if not _do_action(button, "Press"):
            raise AssertionError("button %r has no Press action" % name)

    def switch_on(self, name):
        """Turns a toggle button on, as a click does when it is off."""
        # Qt offers a checkable push button as a check box.
        roles = ("toggle button", "check box", "push button")
        button = wait_for(lambda: next((n for n in self.find_all(name)
                                        if n.getRoleName() in roles), None), 15, name)
        if not button.getState().contains(pyatspi.STATE_CHECKED):
            _do_action(button, "Toggle") or _do_action(button, "Press")
        wait_for(lambda: button.getState().contains(pyatspi.STATE_CHECKED), 10, name + " on")

    def activate(self, node):
        """Does what a click on the control does: through its own action when
        it offers one, otherwise as a keyboard user would, by focusing it and
        pressing Enter."""
        if any(_do_action(node, name) for name in ("Press", "Click", "Activate")):
            return
        if not _do_action(node, "SetFocus"):
            node.queryComponent().grabFocus()
        wait_for(lambda: node.getState().contains(pyatspi.STATE_FOCUSED), 10,
                 "the focus on %r" % node.name)
        pyatspi.Registry.generateKeyboardEvent(_KEYSYM_RETURN, None, pyatspi.KEY_SYM)

    def text_of(self, name, role="text"):
        node = self.find(name, role)
        text = node.queryText()
        return text.getText(0, -1)

    def status_text(self, name):
        # A status line reports its message as its description or its text.
        node = self.find(name, "status bar")
        try:
            return node.queryText().getText(0, -1)
        except Exception:
            return node.description

    def list_cells(self, list_name):
        tree = self.find(list_name, "tree")
        cells = []
        for i in range(tree.childCount):
            child = tree.getChildAtIndex(i)
            if child is not None and child.getRoleName() == "table cell":
                cells.append(child)
        return cells

    def list_rows(self, list_name, columns):
        cells = [c.name for c in self.list_cells(list_name)]
        return [cells[i:i + columns] for i in range(0, len(cells), columns)]

    def click(self, node):
        ext = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(ext.x + min(5, ext.width // 2),
                                            ext.y + ext.height // 2, "b1c")

    def click_cell(self, list_name, text):
        cell = wait_for(
            lambda: next((c for c in self.list_cells(list_name) if c.name == text), None),
            15.0, "row " + text)
        self.click(cell)

    def choose(self, item_name, combo_index=0, within=None):
        """Opens a drop-down list (the combo_index-th under within, the whole
        window by default) and clicks one of its items."""
        def combo():
            return self.find_all(role="combo box", within=within)[combo_index]

        _do_action(combo(), "ShowMenu")
        item = wait_for(lambda: next(iter(self.find_all(item_name, "list item", combo())), None),
                        15, "the item " + item_name)
        wait_for(lambda: item.getState().contains(pyatspi.STATE_SHOWING)
                 and item.queryComponent().getExtents(pyatspi.DESKTOP_COORDS).width > 0,
                 10, "the list of " + item_name)
        self.click(item)
        # On Linux a combo box is named after its current choice.
        wait_for(lambda: combo().name == item_name, 10, "the choice " + item_name)

    def select_tab(self, name):
        tab = self.find(name, "page tab")
        self.click(tab)
