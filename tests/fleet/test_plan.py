"""The plan against fake boxes: which boxes a rollout of 2.0 leaves alone,
how the journals of earlier rollouts count, the faults of the controller's
own that stop it, and what a resume goes on with."""

import os
import unittest

import fake_fleet as fake
from skein_fleet import client, journal, plan, service
from skein_fleet.state import ROLLED_BACK, SKIPPED, UNTOUCHED, UPDATE_SENT, UPDATED

# The last verdicts of earlier rollouts, by box: the version it left the box on.
ON_2 = [("updated", "2.0")]
FAILED_SINCE = [("updated", "2.0"), ("failed", None)]

# name, the box (version, status, misbehaviour), earlier verdicts,
# skein_unreachable, expected outcome and detail.
CASES = [
    ("on another version", ("1.0", service.COMPLETE, None), [], "fail", UNTOUCHED, ""),
    ("names 2.0, complete", ("2.0", service.COMPLETE, None), [], "fail", SKIPPED, "already on 2.0"),
    ("restarted since its update to 2.0", ("2.0", service.WAITING, None), ON_2, "fail", SKIPPED, "already on 2.0"),
    ("restarted in the middle of it", ("2.0", service.WAITING, None), [], "fail", UNTOUCHED, ""),
    ("restarted, failed since", ("2.0", service.WAITING, None), FAILED_SINCE, "fail", UNTOUCHED, ""),
    ("failed after its update to 2.0", ("2.0", service.FAILED, None), ON_2, "fail", UNTOUCHED, ""),
    ("updating", ("2.0", service.IN_PROGRESS, None), ON_2, "fail", UNTOUCHED, ""),
    ("down, counted as failed", ("1.0", service.COMPLETE, fake.down), [], "fail", UNTOUCHED, ""),
    ("down, skipped", ("1.0", service.COMPLETE, fake.down), [], "skip", SKIPPED, "unreachable: Connection refused"),
    ("a page instead of a status", ("1.0", service.COMPLETE, lambda path, reply: fake.PAGE), [], "skip", SKIPPED,
     "foreign reply: a page, not the service's reply: Welcome (HTTP 200)"),
]


class PlanTest(unittest.TestCase):
    def setUp(self):
        self.clock = fake.Clock()
        self.directory = fake.temporary_directory(self)

    def earlier(self, verdicts):
        book = journal.Journal.create(self.directory, "2.0")
        for name, outcome, on in verdicts:
            book.write("sending", box=name, request="/update?version=2.0", to="2.0")
            book.write("verdict", box=name, outcome=outcome, detail="", on=on)

    def make(self, boxes, unreachable="fail", waves=(1, "100%")):
        return plan.make(list(fake.reach(boxes).values()), "2.0", unreachable, list(waves), 4, self.directory,
                         fake.get_from(boxes))

    def test_each_box(self):
        lead = fake.Box(self.clock)
        for name, (version, status, wire), verdicts, unreachable, outcome, detail in CASES:
            self.earlier([(name,) + verdict for verdict in verdicts])
            with self.subTest(name):
                rollout = self.make({"lead": lead, name: fake.Box(self.clock, version, status, wire=wire)},
                                    unreachable)
                state = rollout.boxes[name]
                self.assertEqual((state.outcome, state.detail), (outcome, detail))
                self.assertEqual((state.wave, state.attempt), (2 if outcome == UNTOUCHED else None, len(verdicts) + 1))

    def test_wave_sizes(self):
        for waves, count, sizes in [([1, "10%", "100%"], 21, [1, 2, 18]), ([2], 5, [2, 2, 1]),
                                    ("30%", 10, [3, 3, 3, 1]), ([0], 4, [4])]:
            self.assertEqual(plan.wave_sizes(waves, count), sizes)

    def test_faults_of_the_controller_stop_it(self):
        cases = [
            ("a box refuses its certificate", {"a": fake.Box(self.clock), "b": fake.Box(
                self.clock, wire=fake.refuses_controller)}, "1 boxes refused this controller's certificate"),
            ("no box answers", {"a": fake.Box(self.clock, wire=fake.down)}, "no box could be read"),
        ]
        for name, boxes, message in cases:
            with self.subTest(name), self.assertRaisesRegex(plan.ControllerFault, message):
                self.make(boxes, "skip")
        missing = client.Box("a", "https://a:8443", cert=os.path.join(self.directory, "none.pem"))
        with self.assertRaisesRegex(plan.ControllerFault, "cannot use the controller's certificate files"):
            plan.make([missing], "2.0", "skip", [1], 4, self.directory, fake.get_from({}))

    def test_a_resume_goes_on_where_the_journal_ends(self):
        boxes = {name: fake.Box(self.clock) for name in ("done", "failed", "in-flight", "next")}
        rollout = self.make(boxes, waves=(2, 2))
        book = plan.start(rollout, self.directory)
        book.write("verdict", box="done", outcome=UPDATED, detail="")
        book.write("verdict", box="failed", outcome=ROLLED_BACK, detail="rolled back to 1.0")
        book.write("sending", box="in-flight", request="/update?version=2.0", to="2.0")
        boxes["next"].version = "2.0"  # updated by hand meanwhile
        records = journal.read(book.path)
        resumed = plan.resume(list(fake.reach(boxes).values()), records, "", "fail", 4, self.directory,
                              fake.get_from(boxes))
        self.assertEqual([(state.outcome, state.phase, state.wave) for state in resumed.boxes.values()], [
            (UPDATED, "judged", 1), (ROLLED_BACK, "judged", 1), (UNTOUCHED, UPDATE_SENT, 2),
            (SKIPPED, "planned", None)])
        self.assertEqual(resumed.waves, [["in-flight"]])
        with self.assertRaisesRegex(plan.ControllerFault, "not of 3.0"):
            plan.resume([], records, "3.0", "fail", 4, self.directory, fake.get_from(boxes))


if __name__ == "__main__":
    unittest.main()
