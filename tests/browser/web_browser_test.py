#!/usr/bin/env python3
"""Browser test of the web interface: starts the real server daemon in a
scratch folder, drives headless Chromium through the shipped pages (sign in,
the live overview, a player logged in over UDP seen and kicked, a channel
created and deleted, a settings change, adding and deleting an account,
adding, stopping and starting a server, the log, sign out and a failed sign
in) and saves screenshots at desktop and phone widths.

Usage: web_browser_test.py --server PATH --vxcli PATH --httpdocs DIR --out DIR
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

ADMIN_PASSWORD = "Br0wserPw"
DESKTOP = (1280, 900)
PHONE = (390, 844)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Daemon:
    def __init__(self, binary, httpdocs):
        self.dir = tempfile.mkdtemp(prefix="vx-browser-")
        shutil.copytree(httpdocs, os.path.join(self.dir, "httpdocs"))
        self.web_port = free_port(socket.SOCK_STREAM)
        self.udp_port = free_port(socket.SOCK_DGRAM)
        with open(os.path.join(self.dir, "server.ini"), "w") as ini:
            ini.write(
                "[Main Config]\n"
                f"HTTPServer Port={self.web_port}\n"
                "HTTPServer Enabled=1\n"
                "TCPQueryPort=0\n"
                "BoundToIp=127.0.0.1\n"
                "[WebPost]\n"
                "Enabled=0\n"
                "[Servers]\n"
                "0=server_cfg Default\n"
                "[server_cfg Default]\n"
                f"ServerUDPPort={self.udp_port}\n")
        self.pid_file = os.path.join(self.dir, "server.pid")
        result = subprocess.run(
            [binary, f"-pid={self.pid_file}", f"-adminpw={ADMIN_PASSWORD}"],
            cwd=self.dir, capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            raise RuntimeError(f"server did not start: {result.stdout} {result.stderr}")
        self.pid = int(open(self.pid_file).read().strip())
        deadline = time.time() + 10
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.web_port), timeout=1):
                    break
            except OSError:
                if time.time() > deadline:
                    raise RuntimeError("the web interface does not answer:\n" + self.log())
                time.sleep(0.1)

    def url(self, path=""):
        return f"http://127.0.0.1:{self.web_port}/{path}"

    def log(self):
        try:
            with open(os.path.join(self.dir, "server.log"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return "(no log)"

    def ini(self):
        with open(os.path.join(self.dir, "server.ini"), errors="replace") as f:
            return f.read()

    def stop(self):
        try:
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                os.kill(self.pid, 0)
            except ProcessLookupError:
                break
            time.sleep(0.2)
        shutil.rmtree(self.dir, ignore_errors=True)


def make_driver(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}",
                 f"--window-size={DESKTOP[0]},{DESKTOP[1]}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(20)
    return driver


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def expect(self, condition, what):
        if condition:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAILED: {what}", flush=True)


def view(driver, width, height, mobile):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})


def shoot(driver, out, name, width, mobile):
    """A screenshot of the whole page at the given width."""
    view(driver, width, 600, mobile)
    height = driver.execute_script(
        "return Math.max(document.documentElement.scrollHeight, document.body.scrollHeight)")
    view(driver, width, max(600, min(int(height), 4000)), mobile)
    path = os.path.join(out, name)
    with open(path, "wb") as f:
        f.write(driver.get_screenshot_as_png())
    return path


def text_of(driver, css):
    return driver.find_element(By.CSS_SELECTOR, css).text.strip()


def wait_title(driver, fragment):
    WebDriverWait(driver, 10).until(lambda d: fragment in d.title)


def no_markers_left(driver):
    return "%%" not in driver.page_source and "%!" not in driver.page_source


def notice(driver):
    notices = driver.find_elements(By.CSS_SELECTOR, ".notice")
    return notices[0].text.strip() if notices else ""


def click_button(driver, text):
    driver.find_element(By.XPATH, f"//button[normalize-space()='{text}']").click()


def wait_until(condition, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def console_pages(driver, daemon, args, checks):
    """The live overview, players, channels: with a player online over UDP."""
    # The overview keeps its figures current by itself.
    checks.expect(wait_until(lambda: text_of(driver, "#live-state").startswith("Updated")),
                  "live figures updated: " + text_of(driver, "#live-state"))
    checks.expect(len(driver.find_elements(By.CSS_SELECTOR, "#live-charts .chart")) == 3,
                  "three live charts")
    player = subprocess.Popen(
        [args.vxcli, f"127.0.0.1:{daemon.udp_port}", "--nick", "Tester", "--stay", "120"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        checks.expect(wait_until(lambda: text_of(driver, "#users") == "1", 15),
                      "the overview counts the player without a reload")
        checks.expect(wait_until(lambda: driver.find_elements(
            By.CSS_SELECTOR, "#live-charts svg"), 15), "charts drawn")
        shoot(driver, args.out, "overview-live-desktop.png", DESKTOP[0], False)
        view(driver, DESKTOP[0], DESKTOP[1], False)

        driver.find_element(By.LINK_TEXT, "Players").click()
        wait_title(driver, "Players")
        checks.expect(no_markers_left(driver), "players page without markers")
        nicks = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#players tbody td:first-child")]
        checks.expect(nicks == ["Tester"], f"the player is listed: {nicks}")
        cells = " ".join(e.text for e in driver.find_elements(By.CSS_SELECTOR, "#players tbody td"))
        checks.expect("guest" in cells and "127.0.0.1:" in cells, "account and address shown")
        shoot(driver, args.out, "players-desktop.png", DESKTOP[0], False)
        shoot(driver, args.out, "players-phone.png", PHONE[0], True)
        view(driver, DESKTOP[0], DESKTOP[1], False)
        driver.find_element(By.XPATH, "//a[normalize-space()='Manage Tester']").click()
        wait_title(driver, "Player")
        checks.expect(no_markers_left(driver), "player page without markers")
        checks.expect(text_of(driver, "h1") == "Tester", "player page heading")
        shoot(driver, args.out, "player-desktop.png", DESKTOP[0], False)
        shoot(driver, args.out, "player-phone.png", PHONE[0], True)
        view(driver, DESKTOP[0], DESKTOP[1], False)
        driver.find_element(By.NAME, "reason").send_keys("Browser kick")
        click_button(driver, "Kick from the server")
        wait_title(driver, "Players")
        checks.expect(notice(driver) == "Tester was kicked from the server.", "kick notice: " + notice(driver))
        try:
            output, _ = player.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            output = ""
        checks.expect(player.returncode == 6 and 'reason 2, "Browser kick"' in output,
                      f"the player was kicked with the reason: {player.returncode} {output[-200:]}")
        driver.get(daemon.url("players.html"))
        checks.expect("Nobody is online." in driver.page_source, "nobody online after the kick")
    finally:
        if player.poll() is None:
            player.kill()
            player.wait()

    # A channel created and deleted again.
    driver.find_element(By.LINK_TEXT, "Channels").click()
    wait_title(driver, "Channels")
    checks.expect(no_markers_left(driver), "channels page without markers")
    driver.find_element(By.NAME, "name").send_keys("Browser Room")
    driver.find_element(By.NAME, "topic").send_keys("made in the browser")
    click_button(driver, "Create channel")
    wait_title(driver, "Channels")
    checks.expect(notice(driver) == "The channel Browser Room was created.", "created: " + notice(driver))
    names = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#channel-tree .tree-name")]
    checks.expect("Browser Room" in names, f"channel in the tree: {names}")
    shoot(driver, args.out, "channels-desktop.png", DESKTOP[0], False)
    shoot(driver, args.out, "channels-phone.png", PHONE[0], True)
    view(driver, DESKTOP[0], DESKTOP[1], False)
    driver.find_element(By.XPATH, "//a[normalize-space()='Edit Browser Room']").click()
    wait_title(driver, "Channel")
    checks.expect(no_markers_left(driver), "channel page without markers")
    driver.find_element(By.CSS_SELECTOR, "details.confirm summary").click()
    shoot(driver, args.out, "channel-desktop.png", DESKTOP[0], False)
    shoot(driver, args.out, "channel-phone.png", PHONE[0], True)
    view(driver, DESKTOP[0], DESKTOP[1], False)
    click_button(driver, "Delete Browser Room for good")
    wait_title(driver, "Channels")
    checks.expect(notice(driver) == "The channel Browser Room was deleted.", "deleted: " + notice(driver))
    names = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#channel-tree .tree-name")]
    checks.expect("Browser Room" not in names, f"channel gone from the tree: {names}")


def server_rows(driver):
    """The servers page's rows by their first cell."""
    return {r.find_element(By.CSS_SELECTOR, "td").text: r.text
            for r in driver.find_elements(By.CSS_SELECTOR, "#servers tbody tr")}


def server_pages(driver, daemon, args, checks):
    """A server added, stopped and started again; the log."""
    driver.get(daemon.url("servers.html"))
    wait_title(driver, "Servers")
    port = free_port(socket.SOCK_DGRAM)
    driver.find_element(By.NAME, "name").send_keys("Second")
    driver.find_element(By.NAME, "port").send_keys(str(port))
    click_button(driver, "Add and start")
    wait_title(driver, "Servers")
    checks.expect(notice(driver).startswith("The server server_cfg Second was added"), "added: " + notice(driver))
    checks.expect("server_cfg Second" in daemon.ini(), "new server listed in server.ini")
    click_button(driver, "Stop server_cfg Second")
    wait_title(driver, "Servers")
    checks.expect(notice(driver) == "The server server_cfg Second was stopped.", "stopped: " + notice(driver))
    rows = server_rows(driver)
    checks.expect("stopped" in rows.get("server_cfg Second", ""), f"shown as stopped: {rows}")
    shoot(driver, args.out, "servers-desktop.png", DESKTOP[0], False)
    shoot(driver, args.out, "servers-phone.png", PHONE[0], True)
    view(driver, DESKTOP[0], DESKTOP[1], False)
    click_button(driver, "Start server_cfg Second")
    wait_title(driver, "Servers")
    checks.expect(notice(driver) == "The server server_cfg Second was started.", "started: " + notice(driver))
    rows = server_rows(driver)
    checks.expect("running" in rows.get("server_cfg Second", ""), f"shown as running: {rows}")

    driver.find_element(By.LINK_TEXT, "Log").click()
    wait_title(driver, "Log")
    checks.expect(no_markers_left(driver), "log page without markers")
    checks.expect(len(driver.find_elements(By.CSS_SELECTOR, "#log tbody tr")) > 5, "log lines shown")
    driver.find_element(By.NAME, "text").send_keys("PLAYER_KICK")
    click_button(driver, "Show lines")
    # The filtered page has the same title as the one it replaces: wait for
    # its address and for it to be loaded.
    WebDriverWait(driver, 10).until(
        lambda d: "text=PLAYER_KICK" in d.current_url
        and d.execute_script("return document.readyState") == "complete")
    messages = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#log tbody td:last-child")]
    checks.expect(len(messages) == 1 and "admin from 127.0.0.1: PLAYER_KICK.VXCMD done" in messages[0],
                  f"the kick is in the log: {messages}")
    driver.get(daemon.url("log.html"))
    shoot(driver, args.out, "log-desktop.png", DESKTOP[0], False)
    shoot(driver, args.out, "log-phone.png", PHONE[0], True)
    view(driver, DESKTOP[0], DESKTOP[1], False)


def run(args):
    args.server = os.path.abspath(args.server)
    args.vxcli = os.path.abspath(args.vxcli)
    args.httpdocs = os.path.abspath(args.httpdocs)
    os.makedirs(args.out, exist_ok=True)
    checks = Checks()
    daemon = Daemon(args.server, args.httpdocs)
    profile = tempfile.mkdtemp(prefix="vx-browser-profile-")
    driver = None
    try:
        driver = make_driver(profile)
        # Sign in through the shipped login page.
        driver.get(daemon.url())
        wait_title(driver, "Sign in")
        checks.expect(no_markers_left(driver), "login page without markers")
        options = Select(driver.find_element(By.NAME, "serverport")).options
        checks.expect(len(options) == 1 and options[0].get_attribute("value") == str(daemon.udp_port),
                      "server drop-down lists the server")
        shoot(driver, args.out, "login-desktop.png", DESKTOP[0], False)
        shoot(driver, args.out, "login-phone.png", PHONE[0], True)
        view(driver, DESKTOP[0], DESKTOP[1], False)
        driver.find_element(By.NAME, "username").send_keys("admin")
        driver.find_element(By.NAME, "password").send_keys(ADMIN_PASSWORD)
        driver.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        wait_title(driver, "Overview")

        # The overview with its live figures.
        checks.expect(no_markers_left(driver), "overview without markers")
        checks.expect(re.fullmatch(r"(\d+D )?\d\d:\d\d:\d\d", text_of(driver, "#uptime")) is not None,
                      "uptime shown: " + text_of(driver, "#uptime"))
        checks.expect(text_of(driver, "#users") == "0", "no users online")
        checks.expect(text_of(driver, "#channels").isdigit(), "channel count shown")
        checks.expect(text_of(driver, "#bytes-sent").isdigit(), "traffic shown")
        checks.expect(text_of(driver, "h1") == "Vorlantix Server", "server name as heading")
        shoot(driver, args.out, "overview-desktop.png", DESKTOP[0], False)
        shoot(driver, args.out, "overview-phone.png", PHONE[0], True)
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        shoot(driver, args.out, "overview-dark-desktop.png", DESKTOP[0], False)
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
        view(driver, DESKTOP[0], DESKTOP[1], False)

        console_pages(driver, daemon, args, checks)

        # Change a setting: the server restarts with it and keeps it.
        driver.find_element(By.LINK_TEXT, "Settings").click()
        wait_title(driver, "Settings")
        checks.expect(no_markers_left(driver), "settings page without markers")
        shoot(driver, args.out, "settings-desktop.png", DESKTOP[0], False)
        shoot(driver, args.out, "settings-phone.png", PHONE[0], True)
        view(driver, DESKTOP[0], DESKTOP[1], False)
        name = driver.find_element(By.NAME, "SERVERNAME")
        name.clear()
        name.send_keys("Browser <Test> Server")
        codec = driver.find_element(By.NAME, "CODECCelp51")
        if codec.is_selected():
            codec.click()
        driver.find_element(By.CSS_SELECTOR, "form button[type=submit]").click()
        wait_title(driver, "operation successfully")
        checks.expect("server config was changed and will be restarted now" in text_of(driver, ".box-text"),
                      "settings ok box")
        shoot(driver, args.out, "okbox-desktop.png", DESKTOP[0], False)
        view(driver, DESKTOP[0], DESKTOP[1], False)
        driver.find_element(By.LINK_TEXT, "Continue").click()
        wait_title(driver, "Overview")
        checks.expect(text_of(driver, "h1") == "Browser <Test> Server", "new name on the overview")
        ini = daemon.ini()
        checks.expect("ServerName=Browser <Test> Server" in ini, "name saved in server.ini")
        checks.expect("AllowCodecCelp51=0" in ini, "codec saved in server.ini")

        # Add an account, then delete it.
        driver.find_element(By.LINK_TEXT, "Accounts").click()
        wait_title(driver, "Accounts")
        checks.expect(no_markers_left(driver), "accounts page without markers")
        driver.find_element(By.NAME, "CLIENTLOGINNAME").send_keys("guest1")
        driver.find_element(By.NAME, "CLIENTPW1").send_keys("pw1")
        driver.find_element(By.NAME, "CLIENTPW2").send_keys("pw1")
        driver.find_element(By.NAME, "CLIENTSERVERADMIN").click()
        driver.find_element(By.XPATH, "//button[normalize-space()='Add account']").click()
        wait_title(driver, "operation successfully")
        checks.expect(text_of(driver, ".box-text") == "the user guest1 was added to server",
                      "account added box")
        driver.get(daemon.url("accounts.html"))
        wait_title(driver, "Accounts")
        logins = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#accounts tbody td:first-child")]
        checks.expect(logins == ["admin", "guest1"], f"account list {logins}")
        shoot(driver, args.out, "accounts-desktop.png", DESKTOP[0], False)
        shoot(driver, args.out, "accounts-phone.png", PHONE[0], True)
        view(driver, DESKTOP[0], DESKTOP[1], False)
        # Edit page of the new account.
        driver.find_element(By.XPATH, "//button[normalize-space()='Edit guest1']").click()
        wait_title(driver, "Edit account")
        checks.expect(no_markers_left(driver), "edit page without markers")
        checks.expect(driver.find_element(By.NAME, "CLIENTSERVERADMIN").is_selected(),
                      "server admin right shown")
        shoot(driver, args.out, "edit-desktop.png", DESKTOP[0], False)
        view(driver, DESKTOP[0], DESKTOP[1], False)
        driver.get(daemon.url("accounts.html"))
        driver.find_element(By.XPATH, "//button[normalize-space()='Delete guest1']").click()
        wait_title(driver, "please choose")
        checks.expect(text_of(driver, ".box-text") == "you really want do delete guest1", "choice box")
        shoot(driver, args.out, "choicebox-desktop.png", DESKTOP[0], False)
        shoot(driver, args.out, "choicebox-phone.png", PHONE[0], True)
        view(driver, DESKTOP[0], DESKTOP[1], False)
        driver.find_element(By.LINK_TEXT, "Yes").click()
        wait_title(driver, "operation successfully")
        checks.expect(text_of(driver, ".box-text") == "user guest1 deleted", "account deleted box")
        driver.get(daemon.url("accounts.html"))
        logins = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#accounts tbody td:first-child")]
        checks.expect(logins == ["admin"], f"account list after delete {logins}")

        # An error box: passwords that differ.
        driver.find_element(By.NAME, "CLIENTLOGINNAME").send_keys("guest2")
        driver.find_element(By.NAME, "CLIENTPW1").send_keys("a")
        driver.find_element(By.NAME, "CLIENTPW2").send_keys("b")
        driver.find_element(By.XPATH, "//button[normalize-space()='Add account']").click()
        wait_title(driver, "error occured")
        checks.expect(text_of(driver, ".box-text") == "the passwords dont match", "error box")
        shoot(driver, args.out, "errorbox-phone.png", PHONE[0], True)
        view(driver, DESKTOP[0], DESKTOP[1], False)

        driver.get(daemon.url("servers.html"))
        wait_title(driver, "Servers")
        checks.expect(no_markers_left(driver), "servers page without markers")
        server_pages(driver, daemon, args, checks)

        # Sign out: the login page again, and nothing else before a new login.
        driver.find_element(By.LINK_TEXT, "Sign out").click()
        wait_title(driver, "Sign in")
        driver.get(daemon.url("accounts.html"))
        checks.expect("Sign in" in driver.title, "pages need a login again")
        # A failed sign-in says so.
        driver.find_element(By.NAME, "username").send_keys("admin")
        driver.find_element(By.NAME, "password").send_keys("wrong")
        driver.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        wait_title(driver, "Sign in")
        checks.expect(notice(driver).startswith("Sign-in failed"), "failed sign-in: " + notice(driver))
        shoot(driver, args.out, "login-failed-phone.png", PHONE[0], True)
    except Exception:
        checks.expect(False, "exception:\n" + traceback.format_exc())
        if driver is not None:
            try:
                with open(os.path.join(args.out, "failure.html"), "w") as f:
                    f.write(driver.page_source)
                driver.save_screenshot(os.path.join(args.out, "failure.png"))
            except Exception:
                pass
        print(daemon.log())
    finally:
        if driver is not None:
            driver.quit()
        daemon.stop()
        shutil.rmtree(profile, ignore_errors=True)
    print(f"browser: {checks.passed} passed, {checks.failed} failed")
    print(f"screenshots in {args.out}")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--vxcli", required=True)
    parser.add_argument("--httpdocs", required=True)
    parser.add_argument("--out", required=True)
    sys.exit(run(parser.parse_args()))
