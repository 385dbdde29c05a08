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

    def find_all(self, name=None, role=None):
        found = []
        for node in _walk(self.root):
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
        action = button.queryAction()
        for i in range(action.nActions):
            if action.getName(i) == "Press":
                action.doAction(i)
                return
        raise AssertionError("button %r has no Press action" % name)

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

    def choose(self, item_name, combo_index=0):
        """Opens a drop-down list and clicks one of its items."""
        combo = self.find_all(role="combo box")[combo_index]
        action = combo.queryAction()
        for i in range(action.nActions):
            if action.getName(i) == "ShowMenu":
                action.doAction(i)
        item = self.find(item_name, "list item")
        wait_for(lambda: item.getState().contains(pyatspi.STATE_SHOWING)
                 and item.queryComponent().getExtents(pyatspi.DESKTOP_COORDS).width > 0,
                 10, "the list of " + item_name)
        self.click(item)
        wait_for(lambda: self.find_all(role="combo box")[combo_index].name == item_name, 10,
                 "the choice " + item_name)

    def select_tab(self, name):
        tab = self.find(name, "page tab")
        self.click(tab)
