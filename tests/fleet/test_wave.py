"""A wave against fake boxes on a virtual clock: each box's verdict, the
scripts it ran, and the journal, which must tell the same."""

import os
import unittest

import fake_fleet as fake
from skein_fleet import journal, service
from skein_fleet.state import (FAILED, PLANNED, ROLLBACK_SENT, ROLLED_BACK, SKIPPED, UNTOUCHED, UPDATE_SENT,
                               UPDATED, BoxState, Rollout)
from skein_fleet.wave import Settings, Wave

INTERVAL, TIMEOUT = 5, 60
update_only = (lambda path: not path.startswith("/update"))
nothing = (lambda path: False)


def page_for_update(path, reply):
    return fake.PAGE if path.startswith("/update") else reply


def crashed_after(*paths):
    """A box already sent these requests by a run that then stopped."""
    def set_up(box):
        for path in paths:
            box.get(path)
            box.clock.sleep(10)
    return set_up


# name, the box, its phase, "skip" for skein_unreachable=skip,
# expected outcome, detail, the versions its scripts ran.
CASES = [
    ("takes and completes", {}, None, "", UPDATED, "", ["2.0"]),
    ("fails and is rolled back", dict(fails=("2.0",)), None, "", ROLLED_BACK,
     "update to 2.0 did not complete: Update failed; rolled back to 1.0", ["2.0", "1.0"]),
    ("its rollback fails too", dict(fails=("2.0", "1.0")), None, "", FAILED,
     "update to 2.0 did not complete: Update failed; rollback did not complete: Update failed", ["2.0", "1.0"]),
    ("still running at the limit", dict(script=100), None, "", FAILED,
     "update still running after 60 s; rollback queued behind it", ["2.0", "1.0"]),
    ("its queue is full", dict(wire=fake.refused, acts=update_only), None, "", FAILED,
     "not updated: HTTP 503: Too many updates waiting", []),
    ("answers late, completes", dict(wire=fake.late), None, "", UPDATED, "", ["2.0"]),
    ("answers late, fails", dict(wire=fake.late, fails=("2.0",)), None, "", ROLLED_BACK,
     "update to 2.0 did not complete: Update failed; rolled back to 1.0", ["2.0", "1.0"]),
    ("answers /update with a page", dict(wire=page_for_update, acts=update_only), None, "", FAILED,
     "not updated: no clean answer to /update: foreign reply: a page, not the service's reply: Welcome (HTTP 200);"
     " the box names 1.0, Update complete", []),
    ("down, counted as failed", dict(wire=fake.down, acts=nothing), None, "", FAILED,
     "not updated: unreachable: Connection refused", []),
    ("down, skipped", dict(wire=fake.down, acts=nothing), None, "skip", SKIPPED, "unreachable: Connection refused", []),
    ("silent once it took /update", dict(silent_after_update=True), None, "skip", FAILED,
     "update to 2.0 no answer within 60 s (no answer: no whole reply within 10 s); not rolled back: its version "
     "and rollback version are unknown and unknown", ["2.0"]),
    ("silent from /update on", dict(silent_after_update=True, wire=fake.late), None, "", FAILED,
     "no clean answer to /update: no answer: no whole reply within 10 s; no answer since within 60 s (no answer: "
     "no whole reply within 10 s): it may have taken the update; not rolled back", ["2.0"]),
    ("named 2.0 already and fails", dict(version="2.0", status=service.WAITING, fails=("2.0",)), None, "", FAILED,
     "update to 2.0 did not complete: Update failed; not rolled back: it named 2.0 before the update", ["2.0"]),
    ("resumed: it took the update", dict(setup=crashed_after("/update?version=2.0")), UPDATE_SENT, "", UPDATED, "",
     ["2.0"]),
    ("resumed: the update never came", {}, UPDATE_SENT, "", UPDATED, "", ["2.0"]),
    ("resumed: its rollback runs", dict(fails=("2.0",), setup=crashed_after("/update?version=2.0", "/rollback")),
     ROLLBACK_SENT, "", ROLLED_BACK, "the update failed; rolled back to 1.0", ["2.0", "1.0"]),
]


class WaveTest(unittest.TestCase):
    def run_wave(self, boxes, clock, phases=None, unreachable="fail", directory=None, workers=4):
        """Runs one wave of the rollout of 2.0 from 1.0; returns the states
        by name after checking that the journal tells the same."""
        directory = directory or fake.temporary_directory(self)
        rollout = Rollout("2.0")
        book = journal.Journal.create(directory, "2.0")
        for name, box in boxes.items():
            phase = (phases or {}).get(name) or PLANNED
            state = rollout.boxes[name] = BoxState(name, "1.0" if phase != PLANNED else box.version, box.status,
                                                   wave=1, phase=phase)
            book.write("plan", box=name, **{"from": state.before}, status=state.status, outcome=UNTOUCHED, wave=1)
            if phase != PLANNED:
                book.write("sending", box=name, request="/rollback" if phase == ROLLBACK_SENT else "/update")
        wave = Wave(rollout, list(boxes), fake.reach(boxes), Settings(INTERVAL, TIMEOUT, workers, unreachable), book,
                    os.path.join(directory, "stop"), fake.get_from(boxes), clock, clock.sleep)
        states = wave.run()
        told = journal.replay(journal.read(book.path))[1]
        for name, state in states.items():
            self.assertEqual((told[name].outcome, told[name].detail), (state.outcome, state.detail), name)
        self.stopped = wave.stopped
        return states

    def test_each_box(self):
        for name, setting, phase, unreachable, outcome, detail, runs in CASES:
            with self.subTest(name):
                clock, setting = fake.Clock(), dict(setting)
                setup = setting.pop("setup", None)
                box = fake.Box(clock, **setting)
                if setup:
                    setup(box)
                state = self.run_wave({"box": box}, clock, {"box": phase}, unreachable)["box"]
                self.assertEqual((state.outcome, state.detail), (outcome, detail))
                self.assertEqual([version for _, version in box.runs], runs)

    def test_a_silent_box_holds_back_no_other_box(self):
        clock = fake.Clock()
        start = clock()
        boxes = {"silent": fake.Box(clock, silent_after_update=True), "failing": fake.Box(clock, fails=("2.0",))}
        states = self.run_wave(boxes, clock)
        self.assertEqual(states["failing"].outcome, ROLLED_BACK)
        rollback = [moment for moment, path in boxes["failing"].requests if path == "/rollback"][0]
        self.assertLess(rollback - start, 2 * INTERVAL)
        self.assertGreaterEqual(clock() - start, TIMEOUT)

    def test_the_stop_file_stops_the_updates_not_yet_sent(self):
        clock, directory = fake.Clock(), fake.temporary_directory(self)
        boxes = {name: fake.Box(clock) for name in ("first", "second", "third")}

        def stop(path, reply):
            open(os.path.join(directory, "stop"), "w").close()
            return reply
        boxes["first"].wire = stop
        states = self.run_wave(boxes, clock, directory=directory, workers=1)
        self.assertEqual([states[name].outcome for name in boxes], [UPDATED, UNTOUCHED, UNTOUCHED])
        self.assertEqual([len(box.sent("/update")) for box in boxes.values()], [1, 0, 0])
        self.assertTrue(self.stopped.endswith("stop exists"))


if __name__ == "__main__":
    unittest.main()
