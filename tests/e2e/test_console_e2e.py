"""The whole console seen from outside: the real `docentor` executable and the
real student agent simulator, the window driven through its accessibility
tree as a user or a UI-automation tool would, and the files a technician
would look at. Runs under an X server without a screen (Xvfb) with a private
accessibility bus; see CMakeLists.txt next to this file."""

import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pyatspi  # noqa: E402
from atspi_driver import App, wait_for  # noqa: E402

BUILD = os.environ.get("DOCENTOR_BINARY_DIR", "")
CONSOLE = os.path.join(BUILD, "docentor")
SIMULATOR = os.path.join(BUILD, "tools", "agentsim", "docentor-agentsim")
STUDENTS = 5


def free_port():
    # Below the system's range of ports for outgoing connections: the
    # console binds a few seconds after this probe, and a port handed out
    # meanwhile to another test's connection would be taken.
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        lowest = int(f.read().split()[0])
    for _ in range(200):
        port = random.randrange(max(1024, lowest - 12000), lowest)
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
            return port
    raise AssertionError("no free port below " + str(lowest))


def cp1250(text):
    return text.encode("cp1250")


class Output:
    """Collects a process's standard output lines as they come."""

    def __init__(self, stream):
        self.lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def matching(self, *parts):
        with self._lock:
            return [line for line in self.lines if all(p in line for p in parts)]


def close_window_like_a_user(title):
    """Asks the window to close, as a window manager does for the close button."""
    from Xlib import X, display, protocol

    d = display.Display()
    root = d.screen().root
    wm_delete = d.intern_atom("WM_DELETE_WINDOW")
    wm_protocols = d.intern_atom("WM_PROTOCOLS")
    name_atom = d.intern_atom("_NET_WM_NAME")
    utf8 = d.intern_atom("UTF8_STRING")

    def windows(w):
        yield w
        for child in w.query_tree().children:
            yield from windows(child)

    for w in windows(root):
        try:
            prop = w.get_full_property(name_atom, utf8)
            name = prop.value.decode() if prop else w.get_wm_name()
        except Exception:
            continue
        if name == title and w.get_attributes().map_state == X.IsViewable:
            event = protocol.event.ClientMessage(window=w, client_type=wm_protocols,
                                                 data=(32, [wm_delete, X.CurrentTime, 0, 0, 0]))
            w.send_event(event)
            d.flush()
            return
    raise AssertionError("no window titled " + title)


class ConsoleEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory()
        data = os.path.join(cls.home.name, "data")
        runtime = os.path.join(cls.home.name, "run")
        os.mkdir(data)
        os.mkdir(runtime, 0o700)
        cls.port = free_port()
        cls.env = dict(os.environ,
                       XDG_DATA_HOME=data,
                       XDG_RUNTIME_DIR=runtime,
                       DOCENTOR_PORT=str(cls.port),
                       DOCENTOR_UPDATE_HOST="http://127.0.0.1:1",
                       QT_QPA_PLATFORM="xcb",
                       QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                       LC_ALL="C.UTF-8")
        cls.env.pop("DOCENTOR_NONINTERACTIVE", None)
        cls.folder = os.path.join(data, "Mervix-Tablor")
        # The accessibility bus and its registry are started before the
        # console, so that the console finds them at once.
        App.desktop_apps("Docentor")
        cls.console_err = open(os.path.join(cls.home.name, "console.err"), "wb")
        cls.console = subprocess.Popen([CONSOLE], env=cls.env, stdout=subprocess.DEVNULL,
                                       stderr=cls.console_err)
        try:
            wait_for(lambda: cp1250("serwer uruchomiony") in cls.log(), 90, "the server start")
        except Exception:
            cls.show_console_errors()
            raise
        cls.app = App("Docentor")
        cls.simulator = subprocess.Popen(
            [SIMULATOR, "--port", str(cls.port), "--students", str(STUDENTS),
             "--source-base", "127.0.0.2", "--synthetic-processes", "--answer-delay", "100",
             "--screen-size", "800x600", "--yes-no", "yes"],
            env=cls.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        cls.sim_out = Output(cls.simulator.stdout)
        wait_for(lambda: len(cls.app.list_rows("Lista kompurerów", 3)) == STUDENTS, 30,
                 "five computers listed")

    @classmethod
    def show_console_errors(cls):
        cls.console_err.flush()
        with open(cls.console_err.name, "rb") as f:
            sys.stderr.write("console's standard error:\n" + f.read().decode("utf-8", "replace"))
        # A console that is still running without its server usually waits on
        # a box (the port taken, a refusal): say what its windows show.
        code = cls.console.poll()
        sys.stderr.write("console: %s\n" % ("running" if code is None else "ended with %d" % code))
        if code is None:
            try:
                for app in App.desktop_apps("Docentor"):
                    for node in App.walk(app):
                        if node.name:
                            sys.stderr.write("  %s: %s\n" % (node.getRoleName(), node.name))
            except Exception as error:  # the report must not hide the failure
                sys.stderr.write("  no accessibility tree: %s\n" % error)

    @classmethod
    def tearDownClass(cls):
        for process in (cls.simulator, cls.console):
            if process.poll() is None:
                process.kill()
                process.wait()
        cls.console_err.close()
        cls.home.cleanup()

    @classmethod
    def log(cls):
        day = time.strftime("%Y-%m-%d")
        try:
            with open(os.path.join(cls.folder, "log", "ADMIN_%s.txt" % day), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def log_entries(self, info):
        blocks = self.log().split(b"----\r\n")
        return [b for b in blocks if (b"Info: " + cp1250(info) + b"\r\n") in b]

    def select_computer(self, address):
        self.app.click_cell("Lista kompurerów", address)
        wait_for(lambda: self.app.text_of("Adres IP") == address, 10, "the selected computer")

    def quiet_link(self):
        """Every command sent so far has been answered, and every answer taken
        in: the simulator's students answer each command with one packet and
        send nothing unasked, and the console logs each packet it takes in."""
        for n in range(1, STUDENTS + 1):
            name = "UCZEN-%02d " % n
            if len(self.sim_out.matching(name, " sent no=")) < len(
                    self.sim_out.matching(name, " received ")):
                return False
        return self.traces(b"RCV") == len(self.sim_out.matching(" sent no="))

    def traces(self, kind):
        return len([b for b in self.log().split(b"----\r\n") if b"Info: " + kind + b": " in b])

    def link_traces(self):
        """What the teacher sees of the last exchange, and the log entries of all."""
        return {name: self.app.text_of(name) for name in ("SEND", "RCV", "STATUS")} | {
            "Stan podglądu ekranu": self.app.status_text("Stan podglądu ekranu"),
            "log": (self.traces(b"SEND"), self.traces(b"RCV"))}

    def test_01_rows_and_connection_entries(self):
        rows = self.app.list_rows("Lista kompurerów", 3)
        self.assertEqual([r[0] for r in rows], ["127.0.0.%d" % (2 + i) for i in range(STUDENTS)])
        self.assertTrue(all(r[2].isdigit() for r in rows))
        for i in range(STUDENTS):
            self.assertEqual(len(self.log_entries("Połączono z 127.0.0.%d" % (2 + i))), 1)
        self.assertEqual(len(self.log_entries("serwer uruchomiony, oczekiwanie na połączenia")), 1)

    def test_02_settings_marked(self):
        with open(os.path.join(self.folder, "settings.set"), "rb") as f:
            self.assertEqual(f.read(), b"<FIRST RUN>FALSE\r\n")

    def test_03_command_and_status_answer(self):
        self.select_computer("127.0.0.3")
        self.app.press("Wyłącz monitor")
        wait_for(lambda: self.app.text_of("SEND").startswith("wysłano dane: iCommand: 4, iFalg: 0,"),
                 10, "the send line")
        sent = self.log_entries("SEND: OK")
        self.assertTrue(sent)
        self.assertIn(b"Command: 4\r\nFlag: 0\r\n", sent[-1])
        wait_for(lambda: self.sim_out.matching("UCZEN-02 ", "received", "code=4", "flag=0"), 10,
                 "the simulator to get the command")
        # The agent reports what it did; the console logs the packet with its dump.
        wait_for(lambda: [e for e in self.log_entries("RCV: otrzymano dane") if b"Command: 1\r\n" in e],
                 10, "the status answer in the log")
        # Its status text replaces the outcome line in the STATUS field.
        wait_for(lambda: self.app.text_of("STATUS") and not self.app.text_of("STATUS").startswith(
            "wysłano polecenie"), 10, "the agent's status text")

    def test_04_process_list(self):
        self.select_computer("127.0.0.2")
        self.app.select_tab("Lista programów")
        self.app.press("Odśwież liste")
        wait_for(lambda: len(self.app.list_cells("Lista programów")) >= 3, 20, "process rows")
        status = wait_for(lambda: self.app.status_text("Stan listy programów"), 10, "list status")
        self.assertTrue(status.startswith("strumień danych od "), status)

    def test_05_screen_picture(self):
        self.select_computer("127.0.0.4")
        self.app.select_tab("Podgląd ekranu")
        self.app.press("Podgląd ekranu")
        status = wait_for(lambda: self.app.status_text("Stan podglądu ekranu"), 20, "screen status")
        self.assertTrue(status.startswith("strumień danych od: "), status)
        picture = self.app.find("Obraz ekranu", "image")
        # Fitted to the tab, proportions kept; "100 %" shows it as it came.
        extents = picture.queryComponent().getSize()
        self.assertTrue(extents[0] <= 800 and abs(extents[0] * 3 - extents[1] * 4) <= 4, extents)
        self.app.switch_on("100 %")
        wait_for(lambda: tuple(picture.queryComponent().getSize()) == (800, 600), 10,
                 "the picture at 100 %")

    def test_06_question_and_answer(self):
        self.select_computer("127.0.0.5")
        self.app.select_tab("Różne")
        field = self.app.find("Tekst komunikatu:", "text")
        field.queryEditableText().setTextContents("Czy skończyłeś zadanie?")
        self.app.choose("Pytanie ( przycisk TAK / NIE )")
        self.app.press("Wyślij komunikat")
        wait_for(lambda: self.sim_out.matching("UCZEN-04 ", "received", "code=6", "flag=1"), 10,
                 "the question at the student")
        wait_for(lambda: self.app.text_of("Odpowiedź:") == "odpowiedź brzmi: TAK", 10, "the answer")

    def test_07_group_command(self):
        before = len(self.log_entries("SEND: OK"))
        self.app.select_tab("Operacje zbiorcze ( wszystkie komputery z listy )")
        tab_buttons = self.app.find_all("Wyłącz monitor", "push button")
        self.assertEqual(len(tab_buttons), 2)
        # The second "Wyłącz monitor" is the one of the group tab.
        self.app.press("Wyłącz monitor", index=1)
        wait_for(lambda: len(self.log_entries("SEND: OK")) >= before + STUDENTS, 20,
                 "a send to every computer")
        for n in range(1, STUDENTS + 1):
            wait_for(lambda: len(self.sim_out.matching("UCZEN-%02d " % n, "code=4", "flag=0")) >= 1,
                     10, "student %d" % n)
        self.assertEqual(self.app.text_of("Adres IP"), "127.0.0.%d" % (1 + STUDENTS))

    def test_08_second_copy_refused(self):
        entries = len(self.log_entries("serwer uruchomiony, oczekiwanie na połączenia"))
        second = subprocess.Popen([CONSOLE], env=self.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            def refusal():
                for app in self.app.desktop_apps("Docentor"):
                    for node in App.walk(app):
                        try:
                            if node.name == "Ten program jest już uruchomiony !":
                                return app
                        except Exception:
                            pass
                return None
            box = wait_for(refusal, 20, "the refusal box")
            App.press_in(box, ["OK", "&OK"])
            self.assertEqual(second.wait(20), 0)
        finally:
            if second.poll() is None:
                second.kill()
        self.assertEqual(len(self.log_entries("serwer uruchomiony, oczekiwanie na połączenia")), entries)
        self.assertEqual(len(self.app.list_rows("Lista kompurerów", 3)), STUDENTS)

    def test_09_class_overview(self):
        wait_for(self.quiet_link, 20, "the answers to earlier commands")
        before = self.link_traces()
        rows = self.app.list_rows("Lista kompurerów", 3)
        address_of = {(host or address): address for address, host, _ in rows}
        self.app.select_tab("Podgląd klasy")

        def tiles():
            grid = self.app.find("Ekrany uczniów")
            return [t for t in App.walk(grid)
                    if t.getState().contains(pyatspi.STATE_FOCUSABLE) and t.name]

        wait_for(lambda: sorted(t.name for t in tiles()) == sorted(address_of), 10,
                 "a tile for every listed computer")
        # Without a state in front the picture is current, not a stale one.
        wait_for(lambda: all(re.fullmatch(r"obraz z \d\d:\d\d:\d\d", t.description)
                             for t in tiles()), 30, "a picture on every tile")
        # The pictures come quietly: what the teacher last sent, received
        # and looked at stays on show, and the log gets none of it.
        self.assertEqual(self.link_traces(), before)

        tile = tiles()[1]
        self.assertNotEqual(self.app.text_of("Adres IP"), address_of[tile.name])
        self.app.activate(tile)
        wait_for(lambda: self.app.text_of("Adres IP") == address_of[tile.name], 10,
                 "the tile's computer selected")

        # The question's panel is folded until the teacher unfolds it.
        self.app.switch_on("Pytanie do wszystkich")
        panel = self.app.find("Pytanie do wszystkich", "panel")
        field = self.app.find("Treść pytania:", "text")
        field.queryEditableText().setTextContents("Czy wszyscy skończyli?")
        self.app.choose("Pytanie ( przycisk TAK / NIE )", within=panel)
        self.app.press("Wyślij do wszystkich")

        def tally():
            for label in self.app.find_all(role="label", within=panel):
                found = re.fullmatch(r"TAK: (\d+), NIE: (\d+), bez odpowiedzi: 0",
                                     label.description or "")
                if label.name.startswith("Podsumowanie odpowiedzi") and found:
                    return int(found[1]), int(found[2])
            return None

        yes, no = wait_for(tally, 20, "an answer from every computer")
        self.assertEqual(yes + no, STUDENTS)
        results = self.app.list_rows("Wyniki pytania", 4)
        self.assertEqual(sorted(r[1] for r in results), sorted(address_of.values()))
        # The simulator is told to answer yes.
        self.assertEqual({r[2] for r in results}, {"TAK"})

    def test_10_close_asks_first(self):
        close_window_like_a_user("Docentor")
        wait_for(lambda: self.app.find_all("Czy na pewno chcesz zamknąć program ?"), 10,
                 "the close question")
        App.press_in(self.app.root, ["No", "&No", "Nie"])
        wait_for(lambda: not self.app.find_all("Czy na pewno chcesz zamknąć program ?"), 10,
                 "the question to go")
        self.assertIsNone(self.console.poll())
        self.assertEqual(len(self.app.list_rows("Lista kompurerów", 3)), STUDENTS)
        close_window_like_a_user("Docentor")
        wait_for(lambda: self.app.find_all("Czy na pewno chcesz zamknąć program ?"), 10, "question")
        App.press_in(self.app.root, ["Yes", "&Yes", "Tak"])
        self.assertEqual(self.console.wait(20), 0)
        # Every student goes when the console closes, and the simulator with them.
        self.assertEqual(self.simulator.wait(20), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
