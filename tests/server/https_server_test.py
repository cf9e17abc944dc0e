#!/usr/bin/env python3
"""Unit tests of the test server's own logic: ranges, rules, the in-flight
peaks and the bookkeeping of server users. Host-side; no Wine needed."""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import https_server  # noqa: E402
import server_ctl  # noqa: E402


class RangeTest(unittest.TestCase):
    def test_single_ranges_are_clipped_or_refused(self):
        parse = https_server.parse_range
        self.assertEqual(parse("bytes=0-0", 1000), (0, 0))
        self.assertEqual(parse("bytes=10-19", 1000), (10, 19))
        self.assertEqual(parse("bytes=990-", 1000), (990, 999))
        self.assertEqual(parse("bytes=990-5000", 1000), (990, 999))
        self.assertEqual(parse("bytes=-10", 1000), (990, 999))
        self.assertEqual(parse("bytes=-5000", 1000), (0, 999))
        for refused in ("bytes=1000-", "bytes=5-4", "bytes=-0", "bytes=a-b", "bytes=1-2,4-5",
                        "items=1-2", "bytes=5", "bytes=-1-2"):
            self.assertIsNone(parse(refused, 1000), refused)
        self.assertIsNone(parse("bytes=0-", 0))
        self.assertIsNone(parse("bytes=-1", 0))


class RuleTest(unittest.TestCase):
    def test_rule_lines_parse_and_bad_ones_are_refused(self):
        rule = https_server.parse_rule("status=503&ignore_range=1&content_range=bytes%200-1%2F2&times=3&reset=0")
        self.assertEqual((rule["status"], rule["ignore_range"], rule["content_range"], rule["times"], rule["reset"]),
                         (503, True, "bytes 0-1/2", 3, False))
        self.assertEqual(rule["drop_after"], -1)
        with self.assertRaises(ValueError):
            https_server.parse_rule("no_such_field=1")
        with self.assertRaises(ValueError):
            https_server.parse_rule("times=0")
        with self.assertRaises(ValueError):
            https_server.parse_rule("status=abc")

    def test_rules_are_used_in_order_each_for_its_times_then_cleared(self):
        state = https_server.ServerState(tempfile.gettempdir())
        first = https_server.parse_rule("status=503&times=2")
        second = https_server.parse_rule("status=404")
        state.set_rules("/p", [first, second])
        taken = [state.take_rule("/p") for _ in range(4)]
        self.assertEqual([rule and rule["status"] for rule in taken], [503, 503, 404, None])
        self.assertIsNone(state.take_rule("/other"))
        state.set_rules("/p", [first])
        state.set_rules("/p", [])
        self.assertIsNone(state.take_rule("/p"))


class PaceTest(unittest.TestCase):
    def test_a_slow_body_keeps_its_rate_until_the_cap(self):
        now = [0.0]
        pace = https_server.Pace(2000, clock=lambda: now[0])
        self.assertEqual((pace.block(), pace.sent_block(100)), (100, 0.05))
        now[0] += 0.2  # behind the schedule: no wait
        self.assertEqual(pace.sent_block(100), 0)
        now[0] = https_server.MAX_DELAY_MS / 1000
        self.assertEqual((pace.block(), pace.sent_block(100)), (https_server.CHUNK, 0))


class PeakTest(unittest.TestCase):
    def test_peak_counts_only_overlapping_requests_under_the_prefix(self):
        state = https_server.ServerState(tempfile.gettempdir())
        entry = lambda path: {"path": path}
        a, b, c, other = entry("/t/x/a"), entry("/t/x/b"), entry("/t/x/c"), entry("/t/y/a")
        for step in ((state.begin, a), (state.begin, other), (state.begin, b), (state.end, a),
                     (state.begin, c), (state.end, b), (state.end, c), (state.end, other)):
            step[0](step[1])
        self.assertEqual(state.peak("/t/x/"), 2)
        self.assertEqual(state.peak("/t/"), 3)
        self.assertEqual(state.peak("/t/y/"), 1)
        self.assertEqual(state.peak("/none/"), 0)
        self.assertEqual([e["path"] for e in state.logged("/t/x/")], ["/t/x/a", "/t/x/b", "/t/x/c"])


class UsersTest(unittest.TestCase):
    def test_dead_and_malformed_users_are_dropped(self):
        with tempfile.TemporaryDirectory() as users:
            for name in (str(os.getpid()), "999999999", "junk"):
                open(os.path.join(users, name), "w").close()
            self.assertEqual(server_ctl.live_users(users), [os.getpid()])
            self.assertEqual(os.listdir(users), [str(os.getpid())])


if __name__ == "__main__":
    unittest.main()
