#!/usr/bin/env python3
"""Starts and stops the HTTPS test server of one build folder.

  server_ctl.py start <state dir>   start it in the background (or keep the
                                    one already running) and wait until it
                                    answers
  server_ctl.py stop <state dir>    stop it once no other user is left

Each start registers its caller (the ctest process) as a user and each stop
removes it, so two ctest runs in one build folder share one server and the
first to end does not pull it away from the other.
"""

import fcntl
import hashlib
import json
import os
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
            open(os.path.join(users_dir, user), "w").close()
            print("test server: https %d, untrusted %d, http %d (pid %d)"
                  % (info["https_port"], info["untrusted_port"], info["http_port"], info["pid"]))
        else:
            try:
                os.remove(os.path.join(users_dir, user))
            except FileNotFoundError:
                pass
            if not live_users(users_dir):
                stop_server(state_dir)
                print("test server stopped")
            else:
                print("test server kept for another test run")


if __name__ == "__main__":
    main()
