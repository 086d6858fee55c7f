"""The summary of a rollout: how it ended, one line per box whatever the
box sent, and the JSON report; and the service's texts, which the
controller compares replies with, found in the service's own sources."""

import glob
import json
import os
import unittest

import fake_fleet
from skein_fleet import service, summary
from skein_fleet.state import FAILED, JUDGED, PLANNED, SKIPPED, UNTOUCHED, UPDATED, BoxState, Rollout


def rollout(*boxes, check_mode=False):
    """A rollout of 2.0 with boxes (name, outcome, wave, phase, detail)."""
    made = Rollout("2.0", check_mode=check_mode)
    for name, outcome, wave, phase, detail in boxes:
        made.boxes[name] = BoxState(name, "1.0", outcome=outcome, wave=wave, phase=phase, detail=detail)
    made.waves = [[name for name, state in made.boxes.items() if state.wave == number and state.phase == PLANNED]
                  for number in (1, 2)]
    made.waves = [wave for wave in made.waves if wave]
    return made


DONE = ("a", UPDATED, 1, JUDGED, "")
BROKE = ("b", FAILED, 2, JUDGED, "not updated: HTTP 503: Too many updates waiting")
LEFT = ("c", UNTOUCHED, 2, PLANNED, "")
STOP = [{"wave": 2, "why": "rollout.stop exists"}]

# boxes, stop records, check mode, expected end and headline.
ENDS = [
    ([DONE, ("b", UPDATED, 2, JUDGED, "")], [], False, "completed", "Rollout of 2.0: all 2 waves ran"),
    ([DONE, BROKE, LEFT], [], False, "stopped after a failed wave",
     "Rollout of 2.0 stopped after wave 2 of 2, which had failed boxes"),
    ([DONE, BROKE, LEFT], STOP, False, "stopped by the stop file",
     "Rollout of 2.0 stopped in wave 2 of 2: rollout.stop exists"),
    ([DONE, ("c", UNTOUCHED, 2, PLANNED, "")], STOP, False, "stopped by the stop file",
     "Rollout of 2.0 stopped before wave 2 of 2: rollout.stop exists"),
    ([("a", SKIPPED, None, PLANNED, "already on 2.0")], [], False, "completed", "Rollout of 2.0: no box to update"),
    ([("a", UNTOUCHED, 1, PLANNED, ""), LEFT], [], True, "check mode",
     "Rollout of 2.0, check mode: nothing was sent; 2 boxes to update in 2 waves"),
]


class SummaryTest(unittest.TestCase):
    def test_how_it_ended(self):
        for boxes, stops, check_mode, end, headline in ENDS:
            with self.subTest(headline):
                self.assertEqual(summary.how_it_ended(rollout(*boxes, check_mode=check_mode), stops), (end, headline))

    def test_a_box_adds_no_line(self):
        told = rollout(DONE, ("b", FAILED, 2, JUDGED, "did not complete: x\nupdated (999): everything\x00\b"),
                       LEFT)
        text = summary.text(told, "Rollout")
        self.assertEqual(text.splitlines(), [
            "Rollout", "updated (1): a", "rolled back (0)", "failed (1):",
            "  b (wave 2): did not complete: x\\nupdated (999): everything\\x00\\x08", "skipped (0)",
            "untouched (1): c"])
        report = summary.report(told, "completed")
        self.assertEqual(report["counts"], {"updated": 1, "rolled back": 0, "failed": 1, "skipped": 0,
                                            "untouched": 1})
        self.assertNotIn("\\u0000", json.dumps(report))

    def test_the_texts_are_the_services(self):
        code = ""
        for path in glob.glob(os.path.join(fake_fleet.SOURCES, "**", "*.*"), recursive=True):
            with open(path, encoding="utf-8") as source:
                code += source.read()
        for text in service.TEXTS:
            # The 503 refusal comes with the service's bounded queue of updates.
            if text == service.TOO_MANY_UPDATES and "503" not in code:
                continue
            with self.subTest(text):
                self.assertIn('"%s"' % text, code)


if __name__ == "__main__":
    unittest.main()
