#!/usr/bin/env python3
"""Starts and stops the HTTPS test server of one build folder, and the
shared virtual display (Xvfb) that tools/wine-run gives every test when no
DISPLAY is set.

  server_ctl.py start <state dir>   start both in the background (or keep the
                                    ones already running) and wait until they
                                    answer
  server_ctl.py stop <state dir>    stop both once no other user is left

One display for all tests of a run matters under Wine: the prefix's desktop
process stays on the display of whichever test came first, and a display that
went away with that test would take the desktop from the tests still running.

Each start registers its caller (the ctest process) as a user and each stop
removes it, so two ctest runs in one build folder share one server and the
first to end does not pull it away from the other.
"""

import fcntl
import hashlib
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "https_server.py")
START_SECONDS = 20
STOP_SECONDS = 10


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def is_our_server(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as source:
            return SERVER.encode() in source.read()
    except OSError:
        return False


def read_info(state_dir):
    try:
        with open(os.path.join(state_dir, "server.json")) as source:
            return json.load(source)
    except (OSError, ValueError):
        return None


def ping(info):
    """True when the server of info answers its control ping."""
    url = "http://127.0.0.1:%d/__control/ping" % info["http_port"]
    try:
        with urllib.request.urlopen(url, timeout=2) as response:
            return response.read().decode().strip() == "ok %d" % info["pid"]
    except (OSError, ValueError, KeyError):
        return False


def running_server(state_dir):
    info = read_info(state_dir)
    if info and pid_alive(info.get("pid", -1)) and is_our_server(info["pid"]) and ping(info):
        return info
    return None


def live_users(users_dir):
    users = []
    for name in os.listdir(users_dir):
        if name.isdigit() and pid_alive(int(name)):
            users.append(int(name))
        else:
            os.remove(os.path.join(users_dir, name))
    return users


def script_digest():
    with open(SERVER, "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def stop_server(state_dir):
    info = read_info(state_dir)
    if not info or not pid_alive(info.get("pid", -1)) or not is_our_server(info["pid"]):
        return
    pid = info["pid"]
    try:
        request = urllib.request.Request("http://127.0.0.1:%d/__control/stop" % info["http_port"], data=b"")
        urllib.request.urlopen(request, timeout=2).read()
    except (OSError, KeyError):
        os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + STOP_SECONDS
    # A zombie has no command line any more, so it no longer counts.
    while pid_alive(pid) and is_our_server(pid) and time.monotonic() < deadline:
        # Reap it when it is our own child (a start in this very process).
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass
        time.sleep(0.05)
    if pid_alive(pid) and is_our_server(pid):
        os.kill(pid, signal.SIGKILL)


def start_server(state_dir):
    for name in ("server.pem", "server.key", "untrusted-server.pem", "untrusted-server.key"):
        if not os.path.isfile(os.path.join(state_dir, "certs", name)):
            sys.exit("missing test certificate %s: run tools/prepare-test-prefix <build> first" % name)
    try:
        os.remove(os.path.join(state_dir, "server.json"))
    except FileNotFoundError:
        pass
    # Files of earlier runs would answer where a test expects a 404.
    www = os.path.join(state_dir, "www")
    subprocess.run(["rm", "-rf", "--", www], check=True)
    os.makedirs(www)
    log = open(os.path.join(state_dir, "server.log"), "ab")
    # Detached from ctest's pipes and session, so ctest does not wait for it.
    process = subprocess.Popen([sys.executable, SERVER, "--state-dir", state_dir],
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                               close_fds=True, start_new_session=True)
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit("the test server ended at once (exit %d); see %s"
                     % (process.returncode, os.path.join(state_dir, "server.log")))
        info = read_info(state_dir)
        if info and info.get("pid") == process.pid and ping(info):
            return info
        time.sleep(0.05)
    process.kill()
    sys.exit("the test server did not answer within %d s" % START_SECONDS)


def display_file(state_dir):
    return os.path.join(state_dir, "display")


def running_display(state_dir):
    """The number of the shared display when its Xvfb still runs, else None."""
    try:
        with open(display_file(state_dir)) as source:
            number, pid = (int(field) for field in source.read().split())
    except (OSError, ValueError):
        return None
    if pid_alive(pid) and is_xvfb(pid) and os.path.exists("/tmp/.X11-unix/X%d" % number):
        return number
    return None


def is_xvfb(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as source:
            return source.read().split(b"\0")[0].endswith(b"Xvfb")
    except OSError:
        return False


def start_display(state_dir):
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        return None  # wine-run then runs each test without a shared display
    read_end, write_end = os.pipe()
    # -displayfd picks a free display number atomically; xvfb-run -a races.
    process = subprocess.Popen([xvfb, "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               pass_fds=(write_end,), start_new_session=True)
    os.close(write_end)
    text = b""
    deadline = time.monotonic() + START_SECONDS
    while not text.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_end], [], [], 0.1)
        if ready:
            chunk = os.read(read_end, 64)
            if not chunk:
                break
            text += chunk
    os.close(read_end)
    if not text.strip().isdigit():
        process.kill()
        sys.exit("Xvfb did not start")
    number = int(text)
    with open(display_file(state_dir) + ".tmp", "w") as out:
        out.write("%d %d\n" % (number, process.pid))
    os.replace(display_file(state_dir) + ".tmp", display_file(state_dir))
    return number


def stop_display(state_dir):
    try:
        with open(display_file(state_dir)) as source:
            pid = int(source.read().split()[1])
        os.remove(display_file(state_dir))
    except (OSError, ValueError, IndexError):
        return
    if pid_alive(pid) and is_xvfb(pid):
        os.kill(pid, signal.SIGTERM)


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit(__doc__)
    command, state_dir = sys.argv[1], os.path.abspath(sys.argv[2])
    users_dir = os.path.join(state_dir, "server-users")
    os.makedirs(users_dir, exist_ok=True)
    user = str(os.getppid())

    with open(os.path.join(state_dir, "server.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if command == "start":
            others = [pid for pid in live_users(users_dir) if str(pid) != user]
            info = running_server(state_dir)
            if info and info.get("script") != script_digest() and not others:
                stop_server(state_dir)  # started from older server code
                info = None
            if not info:
                info = start_server(state_dir)
            display = running_display(state_dir)
            if display is None:
                display = start_display(state_dir)
            open(os.path.join(users_dir, user), "w").close()
            print("test server: https %d, untrusted %d, http %d (pid %d); display :%s"
                  % (info["https_port"], info["untrusted_port"], info["http_port"], info["pid"], display))
        else:
            try:
                os.remove(os.path.join(users_dir, user))
            except FileNotFoundError:
                pass
            if not live_users(users_dir):
                stop_server(state_dir)
                stop_display(state_dir)
                print("test server stopped")
            else:
                print("test server kept for another test run")


if __name__ == "__main__":
    main()
